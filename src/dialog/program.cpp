#include "channel/cmds.h"
#include "dialog/main.h"
#include "model/serviceconfig.h"
#include "platform/msgbox.h"
#include "platform/system.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

namespace {

// Qt aborts with advice about reinstalling when it cannot open a display. While the application
// is made, Qt's messages are held: a fatal one becomes our line, then the messages before it (its
// reason), and exit code 1; the others are passed on once the application stands.
std::vector<std::pair<QtMsgType, QString>> HeldMessages;

void HoldStartUpMessage(QtMsgType type, const QMessageLogContext& /*context*/,
                        const QString& message) {
    if (type == QtFatalMsg) {
        const QByteArray display = qgetenv("DISPLAY");
        if (display.isEmpty())
            std::fputs("vantrel-config: cannot open a display; run it from a desktop session or "
                       "set DISPLAY\n",
                       stderr);
        else
            std::fprintf(stderr, "vantrel-config: cannot open the display %s\n",
                         display.constData());
        for (const auto& held : HeldMessages)
            std::fprintf(stderr, "%s\n", held.second.toLocal8Bit().constData());
        std::_Exit(1); // nothing of Qt's half-made state may run on the way out
    }
    HeldMessages.emplace_back(type, message);
}

std::unique_ptr<QApplication> MakeApplication(int& argc, char** argv) {
    const QtMessageHandler previous = qInstallMessageHandler(HoldStartUpMessage);
    auto app = std::make_unique<QApplication>(argc, argv);
    qInstallMessageHandler(previous);
    for (const auto& [type, message] : HeldMessages)
        qt_message_output(type, QMessageLogContext(), message);
    HeldMessages.clear();
    return app;
}

} // namespace

int main(int argc, char** argv) {
    PrepareProcess();
    // The command line as the program got it: QApplication takes its own options (-reverse,
    // -style X, ...) out of argv, and the first argument names the remote partner whatever it is.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const std::unique_ptr<QApplication> app = MakeApplication(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vantrel Lite Configuration"));
    QObject::connect(app.get(), &QCoreApplication::aboutToQuit,
                     [] { SetApplicationTerminating(true); });

    // The window first, then the command channel; showing the window (in the event loop) loads.
    auto form = std::make_unique<TMainForm>();
    MainForm = form.get();
    QObject::connect(form.get(), &QDialog::finished, app.get(), &QCoreApplication::quit);

    auto handler = std::make_unique<TCommandHandler>();
    CommandHandler = handler.get();
    form->Open(*handler, TDialogOptions::FromProgram(arguments));
    WatchStopSignals(form.get(), [&form] { form->StopRequested(); });

    form->show();
    const int result = QApplication::exec();

    CommandHandler = nullptr;
    MainForm = nullptr;
    return result;
}
