#pragma once
// Runs as2-standin for a test and talks to it over real sockets, as a client of its own. Nothing
// here uses the dialog's code, so the stand-in's suites test it from the other side of the wire.

#include <QByteArray>
#include <QDomElement>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <csignal>
#include <memory>
#include <string>

// A blocking TCP client to 127.0.0.1 with a time limit on every wait.
class Client {
public:
    // A small receiveBuffer keeps the service's writes from fitting into the socket buffers.
    explicit Client(quint16 port, int receiveBuffer = 0);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    bool connected() const { return fd_ >= 0; }
    bool send(const QByteArray& bytes);
    // Everything until the service closes the connection, or until the time limit.
    QByteArray readToEnd(int timeoutMs = 5000);
    // At least one byte, when any arrives within the time limit.
    QByteArray readSome(int timeoutMs = 5000);
    // True when the service closed (or reset) the connection within the time limit.
    bool closedByPeer(int timeoutMs);
    void shutdownWrite();
    void close();
    // Closes with a reset, as a client that dies does.
    void abort();

private:
    int fd_ = -1;
};

// The command line as the dialog frames it: envelope and CR LF.
QByteArray framed(const QByteArray& command);

// The reply wrapped and parsed the way the dialog does; a null element when it does not parse.
QDomElement parsedReply(QDomDocument& doc, const QByteArray& replyLine);
// The text of each child of the root; "<mixed>" for a child whose text the dialog cannot read.
QStringList childTexts(const QDomElement& root);

class StandIn {
public:
    // The data folder must outlive the service.
    explicit StandIn(QString dataDir);
    ~StandIn();
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;

    // Starts `as2-standin --port 0 --data DIR` and waits for its port; false when it did not
    // come up (errorText() tells why).
    bool start(const QStringList& extra = {});
    // The next start runs it as the user "nobody" (the test must run as root): a data folder
    // that user may read but not write is one it cannot store to.
    void runAsNobody() { asNobody_ = true; }
    // A signal (SIGTERM by default), then the exit code (-1 when it did not end cleanly within
    // the time limit).
    int stop(int signal = SIGTERM, int timeoutMs = 5000);
    bool restart() { return stop() == 0 && start(); }

    // Writes the sample data folder (as2-standin --init); false when that failed.
    bool initSample() const;

    quint16 port() const { return port_; }
    std::string portText() const { return std::to_string(port_); }
    const QString& dataDir() const { return dataDir_; }
    // What it wrote on standard error, kept in a file of the data folder.
    QString errorText() const;
    QString logFile() const;

    // One command on a fresh connection: all bytes received, CR LF included.
    QByteArray command(const QByteArray& text) const;
    // Bytes sent exactly as given.
    QByteArray raw(const QByteArray& bytes) const;

private:
    QString dataDir_;
    std::unique_ptr<QProcess> process_;
    quint16 port_ = 0;
    bool asNobody_ = false;
};

// The built as2-standin; empty when the build has none.
QString standinProgram();

// Runs a program to its end (at most 30 s); its exit code, or -1.
int runProgram(const QString& program, const QStringList& args, QByteArray* errors = nullptr);
