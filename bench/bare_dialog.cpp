// The yardstick for start-up: a bare Qt dialog with the same widgets as the configuration window,
// placed the same way, that writes one line to 127.0.0.1 at the port given as its argument as
// soon as its event loop runs, where the window sends its first command.

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTcpSocket>
#include <QTimer>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const quint16 port =
        argc > 1 ? static_cast<quint16>(QString::fromLocal8Bit(argv[1]).toUInt()) : quint16(4321);
    QDialog dialog;
    dialog.setWindowTitle(QStringLiteral("Vantrel Lite Configuration"));
    dialog.setFixedSize(494, 476);
    const int rows[] = {21, 53, 85, 117, 165, 197, 229, 262, 309, 341, 376, 408};
    for (int i = 0; i < 12; ++i) {
        auto* label = new QLabel(QStringLiteral("Label %1:").arg(i + 2), &dialog);
        label->setGeometry(16, rows[i] + 3, 150, 13);
        QWidget* control = nullptr;
        if (i < 10)
            control = new QLineEdit(&dialog);
        else
            control = new QSpinBox(&dialog);
        control->setGeometry(202, rows[i], i == 3 || i == 7 ? 175 : i < 10 ? 263 : 101, 21);
        label->setBuddy(control);
    }
    for (const int top : {116, 260})
        (new QPushButton(QStringLiteral("Import"), &dialog))->setGeometry(387, top, 78, 25);
    auto* ok = new QPushButton(QStringLiteral("OK"), &dialog);
    ok->setGeometry(328, 440, 75, 25);
    ok->setDefault(true);
    (new QPushButton(QStringLiteral("Cancel"), &dialog))->setGeometry(408, 440, 75, 25);
    dialog.show();

    QTcpSocket socket;
    QTimer::singleShot(0, &dialog, [&socket, port] {
        socket.connectToHost(QStringLiteral("127.0.0.1"), port);
        if (socket.waitForConnected(5000))
            socket.write("event loop\r\n");
        socket.waitForBytesWritten(5000);
    });
    return QApplication::exec();
}
