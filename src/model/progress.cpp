#include "model/progress.h"

#include "channel/cmds.h"

#include <QLocale>
#include <cctype>
#include <utility>

TShownProgress::TShownProgress(TCommandHandler& channel)
    : Channel(channel),
      OuterHook(std::exchange(channel.TcpClient.WhileWaiting, [this] { Waiting(); })) {}

TShownProgress::~TShownProgress() {
    Channel.TcpClient.WhileWaiting = std::move(OuterHook);
}

void TShownProgress::Step(const std::string& what, int done, int total, TCancel cancel) {
    const QLocale locale;
    const std::string label = total > 0 ? what + " " + locale.toString(done).toStdString() +
                                              " of " + locale.toString(total).toStdString()
                                        : what;
    if (label != Label)
        LabelSinceMs = ElapsedMs();
    Label = label;
    What = what;
    Done = done;
    Total = total;
    Stepped(cancel);
    Waiting();
}

long long TShownProgress::ElapsedMs() const {
    const auto elapsed = std::chrono::steady_clock::now() - Started;
    return std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
}

std::string TShownProgress::While() const {
    std::string doing = Label.empty() ? std::string("starting") : Label;
    doing[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(doing[0])));
    return "while " + doing;
}
