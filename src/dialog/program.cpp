#include "channel/cmds.h"
#include "dialog/main.h"
#include "platform/exceptions.h"
#include "platform/msgbox.h"
#include "platform/tcpclient.h"

#include <QApplication>
#include <cstdio>
#include <memory>

namespace {

int Run(int argc, char** argv) {
    // The command line as the program got it: QApplication takes its own options (-reverse,
    // -style X, ...) out of argv, and the first argument names the remote partner whatever it is.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vantrel Lite Configuration"));
    QObject::connect(&app, &QCoreApplication::aboutToQuit, [] { SetApplicationTerminating(true); });

    // The window first, then the command channel; showing the window (in the event loop) loads.
    auto form = std::make_unique<TMainForm>();
    MainForm = form.get();
    form->Arguments = arguments;
    QObject::connect(form.get(), &QDialog::finished, &app, &QCoreApplication::quit);

    auto handler = std::make_unique<TCommandHandler>();
    CommandHandler = handler.get();
    form->SetCommandHandler(*handler);

    form->show();
    const int result = QApplication::exec();

    CommandHandler = nullptr;
    MainForm = nullptr;
    return result;
}

} // namespace

int main(int argc, char** argv) {
    try {
        // The platform's socket layer lives for the whole run (Winsock start-up and release).
        TSocketLayer sockets;
        return Run(argc, argv);
    } catch (const Exception& e) {
        // Only the socket layer's start-up or release can get here; the handlers have their guard.
        std::fprintf(stderr, "vantrel-config: %s\n", e.Message.c_str());
        return 1;
    }
}
