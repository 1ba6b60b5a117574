#include "support/standin.h"

#include <QDeadlineTimer>
#include <QDomDocument>
#include <QFile>
#include <QFileInfo>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

Client::Client(quint16 port, int receiveBuffer) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ >= 0 && receiveBuffer > 0)
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        close();
}

Client::~Client() {
    close();
}

void Client::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void Client::shutdownWrite() {
    if (fd_ >= 0)
        ::shutdown(fd_, SHUT_WR);
}

void Client::abort() {
    if (fd_ < 0)
        return;
    const linger reset{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close();
}

bool Client::send(const QByteArray& bytes) {
    qsizetype sent = 0;
    while (fd_ >= 0 && sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.constData() + sent,
                                 static_cast<size_t>(bytes.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += n;
    }
    return fd_ >= 0;
}

QByteArray Client::readToEnd(int timeoutMs) {
    QByteArray out;
    QDeadlineTimer deadline(timeoutMs);
    while (fd_ >= 0) {
        pollfd p{fd_, POLLIN, 0};
        const int left = static_cast<int>(deadline.remainingTime());
        if (left <= 0 || ::poll(&p, 1, left) <= 0)
            break;
        char chunk[4096];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0)
            break;
        out.append(chunk, n);
    }
    return out;
}

QByteArray Client::readSome(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    char chunk[4096];
    if (fd_ < 0 || ::poll(&p, 1, timeoutMs) <= 0)
        return {};
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    return n > 0 ? QByteArray(chunk, n) : QByteArray();
}

bool Client::closedByPeer(int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (fd_ >= 0) {
        pollfd p{fd_, POLLIN, 0};
        const int left = static_cast<int>(deadline.remainingTime());
        if (left <= 0 || ::poll(&p, 1, left) <= 0)
            return false;
        char chunk[4096];
        if (::recv(fd_, chunk, sizeof chunk, 0) <= 0)
            return true;
    }
    return false;
}

QByteArray framed(const QByteArray& command) {
    return R"(<command id="userID" password="qxv">)" + command + "</command>\r\n";
}

QDomElement parsedReply(QDomDocument& doc, const QByteArray& replyLine) {
    const QByteArray source = "<AS2Result>\r\n" + replyLine + "\r\n</AS2Result>\r\n";
    if (!doc.setContent(source))
        return {};
    return doc.documentElement();
}

QStringList childTexts(const QDomElement& root) {
    QStringList texts;
    for (QDomNode n = root.firstChild(); !n.isNull(); n = n.nextSibling()) {
        if (!n.isElement()) {
            texts << n.nodeValue();
            continue;
        }
        const QDomNodeList kids = n.childNodes();
        if (kids.isEmpty())
            texts << QString();
        else if (kids.size() == 1 && (kids.at(0).isText() || kids.at(0).isCDATASection()))
            texts << kids.at(0).nodeValue();
        else
            texts << QStringLiteral("<mixed>");
    }
    return texts;
}

QString standinProgram() {
    const QString path = qEnvironmentVariable("VANTREL_STANDIN");
    return QFileInfo::exists(path) ? path : QString();
}

int runProgram(const QString& program, const QStringList& args, QByteArray* errors) {
    QProcess p;
    p.start(program, args);
    const bool done = p.waitForFinished(30000);
    if (errors)
        *errors = p.readAllStandardError();
    if (!done) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

StandIn::StandIn(QString dataDir) : dataDir_(std::move(dataDir)) {}

StandIn::~StandIn() {
    stop();
}

bool StandIn::start(const QStringList& extra) {
    stop();
    process_ = std::make_unique<QProcess>();
    // A file, so that everything logged is there to read at once, across restarts.
    process_->setStandardErrorFile(logFile(), QIODevice::Append);
    if (asNobody_)
        process_->setChildProcessModifier([] {
            const passwd* nobody = ::getpwnam("nobody");
            if (nobody == nullptr || ::setgroups(0, nullptr) != 0 ||
                ::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0)
                ::_exit(127);
        });
    process_->start(standinProgram(), QStringList{QStringLiteral("--port"), QStringLiteral("0"),
                                                  QStringLiteral("--data"), dataDir_} +
                                          extra);
    QDeadlineTimer deadline(10000);
    while (!process_->canReadLine() && !deadline.hasExpired() &&
           process_->state() != QProcess::NotRunning)
        process_->waitForReadyRead(100);
    bool ok = false;
    port_ = process_->canReadLine() ? process_->readLine().trimmed().toUShort(&ok) : 0;
    return ok && port_ != 0;
}

int StandIn::stop(int signal, int timeoutMs) {
    if (!process_)
        return -1;
    int code = -1;
    if (process_->state() != QProcess::NotRunning) {
        ::kill(static_cast<pid_t>(process_->processId()), signal);
        if (!process_->waitForFinished(timeoutMs)) {
            process_->kill();
            process_->waitForFinished(5000);
        } else if (process_->exitStatus() == QProcess::NormalExit) {
            code = process_->exitCode();
        }
    }
    process_.reset();
    port_ = 0;
    return code;
}

bool StandIn::initSample() const {
    return runProgram(standinProgram(), {QStringLiteral("--init"), dataDir_}) == 0;
}

QString StandIn::logFile() const {
    return dataDir_ + QStringLiteral("/standin.log");
}

QString StandIn::errorText() const {
    QFile log(logFile());
    return log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString();
}

QByteArray StandIn::command(const QByteArray& text) const {
    return raw(framed(text));
}

QByteArray StandIn::raw(const QByteArray& bytes) const {
    Client c(port_);
    if (!c.send(bytes))
        return {};
    return c.readToEnd();
}
