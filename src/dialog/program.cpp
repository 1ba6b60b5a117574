#include "channel/cmds.h"
#include "dialog/main.h"
#include "platform/msgbox.h"

#include <QApplication>
#include <memory>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vantrel Lite Configuration"));
    QObject::connect(&app, &QCoreApplication::aboutToQuit, [] { SetApplicationTerminating(true); });

    // The window first, then the command channel; showing the window (in the event loop) loads.
    auto form = std::make_unique<TMainForm>();
    MainForm = form.get();
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
