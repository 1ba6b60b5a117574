#include "cmds.h"
#include "main.h"
#include "msgbox.h"
#include "tcpclient.h"

#include <QApplication>
#include <memory>

int main(int argc, char** argv) {
    // The platform's socket layer lives for the whole run (Winsock start-up and release).
    TSocketLayer sockets;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vantrel Lite Configuration"));
    QObject::connect(&app, &QCoreApplication::aboutToQuit, [] { SetApplicationTerminating(true); });

    auto form = std::make_unique<TMainForm>();
    MainForm = form.get();
    QObject::connect(form.get(), &QDialog::finished, &app, &QCoreApplication::quit);

    auto handler = std::make_unique<TCommandHandler>();
    CommandHandler = handler.get();

    form->show();
    const int result = QApplication::exec();

    CommandHandler = nullptr;
    MainForm = nullptr;
    return result;
}
