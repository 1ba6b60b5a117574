#include "platform/tcpclient.h"

#include "platform/socketwait.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QList>
#include <QNetworkProxy>
#include <QRegularExpression>
#include <QString>
#include <QTcpSocket>
#include <QtEndian>
#include <algorithm>
#include <charconv>

namespace {

// The longest slice of a wait: WhileWaiting runs at least this often.
constexpr int SliceMs = 50;
// How long a name's address is kept, as long as Qt keeps a name it looked up for a connection.
constexpr int KeepNameMs = 60000;

} // namespace

TTcpClient::TTcpClient() = default;

TTcpClient::~TTcpClient() {
    Close();
}

void TTcpClient::Open() {
    if (Active())
        return;
    IsActive = true;
    if (!Socket) {
        Socket = std::make_unique<QTcpSocket>();
        // No event loop serves it (only the waits below do), so nothing is registered with one.
        Socket->moveToThread(nullptr);
        // The service is reached directly, whatever proxy the application may set.
        Socket->setProxy(QNetworkProxy::NoProxy);
        QObject::connect(
            Socket.get(), &QTcpSocket::bytesWritten, Socket.get(),
            [this](qint64 count) { Taken += count; }, Qt::DirectConnection);
    }

    std::uint16_t port = 0;
    if (!Resolve() || !LookupPort(RemotePort, port))
        return;
    const QHostAddress remote(qFromBigEndian(KnownAddress));
    const QDeadlineTimer deadline(TimeoutMs); // negative: for ever
    // Qt waits for the connection itself in the first slice, and gives it up when that runs out;
    // it then starts again on a socket bound first, whose descriptor the other slices wait on.
    // Not shared: no local port still held by an earlier connection's TIME_WAIT is bound.
    Socket->connectToHost(remote, port);
    IsConnected = Wait(TAwait::Connection, deadline);
    if (!IsConnected && Socket->error() == QAbstractSocket::SocketTimeoutError &&
        !deadline.hasExpired() &&
        Socket->bind(QHostAddress(QHostAddress::AnyIPv4), 0, QAbstractSocket::DontShareAddress)) {
        Socket->connectToHost(remote, port);
        IsConnected = Wait(TAwait::Connection, deadline, true);
    }
    if (!IsConnected) {
        Socket->abort(); // an attempt still in progress must not complete later
        KnownHost.clear();
    }
}

bool TTcpClient::Resolve() {
    if (!RemoteHost.empty() && RemoteHost == KnownHost && !KnownUntil.hasExpired())
        return true;
    if (!LookupHost(RemoteHost, KnownAddress))
        return false;
    KnownHost = RemoteHost;
    KnownUntil.setRemainingTime(KeepNameMs);
    return true;
}

void TTcpClient::Shutdown() {
    if (IsConnected)
        Socket->abort();
    IsConnected = false;
}

void TTcpClient::Close() {
    if (IsActive)
        Socket->abort(); // also an attempt still connecting, or a socket only bound
    IsActive = IsConnected = false;
}

bool TTcpClient::Wait(TAwait what, QDeadlineTimer deadline, bool resumed) {
    for (bool first = !resumed;; first = false) {
        const QAbstractSocket::SocketState state = Socket->state();
        if (what == TAwait::Connection ? state == QAbstractSocket::ConnectedState
            : what == TAwait::Bytes    ? Socket->bytesAvailable() > 0
                                       : Socket->bytesToWrite() == 0)
            return true;
        // A closing socket still writes what it holds.
        const bool ended = what == TAwait::Connection ? state != QAbstractSocket::ConnectingState
                           : what == TAwait::Bytes    ? state != QAbstractSocket::ConnectedState
                                                      : state == QAbstractSocket::UnconnectedState;
        if (ended || deadline.hasExpired())
            return false;
        if (!first && WhileWaiting) {
            WhileWaiting();
            if (deadline.hasExpired())
                return false;
        }
        const qint64 left = deadline.remainingTime();
        const int slice = left < 0 ? SliceMs : static_cast<int>(std::min<qint64>(left, SliceMs));
        switch (what) {
        case TAwait::Connection:
            if (Socket->socketDescriptor() < 0)
                Socket->waitForConnected(slice); // ends the attempt when the slice runs out
            else if (WaitUntilWritable(Socket->socketDescriptor(), slice))
                Socket->waitForConnected(SliceMs); // made or failed: Qt finishes it at once
            break;
        case TAwait::Bytes:
            Socket->waitForReadyRead(slice);
            break;
        case TAwait::Written:
            Socket->waitForBytesWritten(slice);
            break;
        }
    }
}

void TTcpClient::ShutdownSending() {
    if (Socket && IsConnected)
        ::ShutdownSending(Socket->socketDescriptor());
}

long long TTcpClient::SendBuf(const void* data, std::size_t size) {
    if (!IsConnected)
        return -1;
    Taken = 0;
    if (size == 0)
        return 0;
    if (Socket->write(static_cast<const char*>(data), static_cast<qint64>(size)) < 0)
        return 0;
    Socket->flush(); // what the system takes at once needs no wait
    // The time limit counts from the last progress: a slow peer may take a command in pieces.
    for (long long before = -1; Taken != before;) {
        const bool resumed = before >= 0;
        before = Taken;
        if (Wait(TAwait::Written, QDeadlineTimer(TimeoutMs), resumed))
            break;
    }
    // Bytes Qt held when the connection failed are dropped with it.
    return std::min(Taken, static_cast<long long>(size));
}

TReceiveResult TTcpClient::Receive(void* buffer, std::size_t size, bool peek,
                                   std::optional<QDeadlineTimer> deadline) {
    if (!IsConnected || size == 0)
        return {TReceiveStatus::Failed, 0};
    if (!Wait(TAwait::Bytes, deadline.value_or(QDeadlineTimer(TimeoutMs)))) {
        if (Socket->state() == QAbstractSocket::ConnectedState)
            return {TReceiveStatus::TimedOut, 0};
        // Qt reports a reset as a close.
        return {Socket->error() == QAbstractSocket::RemoteHostClosedError ? TReceiveStatus::Closed
                                                                          : TReceiveStatus::Failed,
                0};
    }
    const auto want =
        static_cast<qint64>(std::min(size, static_cast<std::size_t>(Socket->bytesAvailable())));
    char* bytes = static_cast<char*>(buffer);
    const qint64 count = peek ? Socket->peek(bytes, want) : Socket->read(bytes, want);
    if (count <= 0)
        return {TReceiveStatus::Failed, 0};
    return {TReceiveStatus::Data, static_cast<std::size_t>(count)};
}

bool TTcpClient::LookupPort(const std::string& port, std::uint16_t& result) {
    std::uint16_t value = 0;
    const char* const end = port.data() + port.size();
    const auto [stop, error] = std::from_chars(port.data(), end, value);
    if (error != std::errc() || stop != end)
        return false;
    result = value;
    return true;
}

bool TTcpClient::LookupHost(const std::string& host, std::uint32_t& result) {
    // Four decimal numbers of 0 to 255 joined by dots, none with a leading zero: no shorter form
    // ("127.1"), no other base.
    static const QString Octet = QStringLiteral("(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])");
    static const QRegularExpression Dotted("\\A" + Octet + "(\\." + Octet + "){3}\\z");
    if (host.empty())
        return false;
    const QString name = QString::fromStdString(host);
    QHostAddress address;
    if (host[0] >= '0' && host[0] <= '9') {
        if (!Dotted.match(name).hasMatch())
            return false;
        address.setAddress(name);
    } else {
        // An IPv6 address has no IPv4 address; Qt would look its name up instead.
        if (address.setAddress(name))
            return false;
        const QList<QHostAddress> found = QHostInfo::fromName(name).addresses();
        const auto first = std::find_if(found.begin(), found.end(), [](const QHostAddress& a) {
            return a.protocol() == QAbstractSocket::IPv4Protocol;
        });
        if (first == found.end())
            return false;
        address = *first;
    }
    result = qToBigEndian(address.toIPv4Address());
    return true;
}
