// The yardstick for vantrel-link's start-up: a bare QCoreApplication program that sends the
// queries of `vantrel-link show` (both partners with their partnerships) to 127.0.0.1 at the port
// given as its argument, one connection per command as the service wants, reads each reply line,
// prints the replies and ends.

#include <QCoreApplication>
#include <QTcpSocket>
#include <cstdio>

namespace {

QByteArray Ask(quint16 port, const QByteArray& command) {
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(5000))
        return {};
    socket.write("<command id=\"userID\" password=\"qxv\">" + command + "</command>\r\n");
    QByteArray reply;
    while (!reply.contains("\r\n") && socket.waitForReadyRead(5000))
        reply += socket.readAll();
    return reply;
}

} // namespace

int main(int argc, char** argv) {
    const QCoreApplication app(argc, argv);
    const quint16 port =
        argc > 1 ? static_cast<quint16>(QString::fromLocal8Bit(argv[1]).toUInt()) : quint16(4321);
    QByteArray out;
    for (const char* partner : {"AS2Local", "AS2Remote"}) {
        out += Ask(port, QByteArray("Partner View ") + partner);
        out += Ask(port, "Partnership List");
        for (const char* partnership : {"AS2Local-AS2Remote", "AS2Remote-AS2Local"})
            out += Ask(port, QByteArray("Partnership View ") + partnership);
    }
    std::fwrite(out.constData(), 1, static_cast<size_t>(out.size()), stdout);
    return out.isEmpty() ? 1 : 0;
}
