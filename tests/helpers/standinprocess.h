#pragma once
// Test helper: the real as2-standin on a free port with its own data folder, stopped when the
// helper goes, also when the test fails.

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <string>

class StandinProcess {
public:
    // The binary, from the build; empty when it is not built.
    static QString binary() {
        const QString path = qEnvironmentVariable("VANTREL_STANDIN");
        return QFileInfo::exists(path) ? path : QString();
    }

    // Writes the sample data folder first when `sample` is set. False when it could not start.
    bool start(bool sample = true) {
        if (binary().isEmpty() || !data.isValid())
            return false;
        if (sample && QProcess::execute(binary(), {QStringLiteral("--init"), data.path()}) != 0)
            return false;
        process.start(binary(), {QStringLiteral("--port"), QStringLiteral("0"),
                                 QStringLiteral("--data"), data.path()});
        if (!process.waitForStarted() || !process.waitForReadyRead(5000))
            return false;
        port = process.readLine().trimmed().toStdString();
        return !port.empty();
    }

    ~StandinProcess() {
        process.terminate();
        if (!process.waitForFinished(3000))
            process.kill();
    }

    QString file(const QString& name) const { return data.filePath(name); }

    QTemporaryDir data;
    QProcess process;
    std::string port;
};
