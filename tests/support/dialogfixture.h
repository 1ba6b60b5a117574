#pragma once
// The window as the program sets it up, for one test: the channel handed over, the command line
// without arguments, a configuration file of the test's own, and the dialog state of a program
// that has just started (reset again when the test ends).

#include "dialog/main.h"
#include "platform/savelock.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

struct DialogFixture {
    static constexpr const char* Config = "<config>\r\n"
                                          "  sender.as2_id=LOCALID, receiver.as2_id=REMOTEID\r\n"
                                          "  <module classname=\"org.corvane.processor.receiver."
                                          "AS2DirectoryPollingModule\"\r\n"
                                          "</config>\r\n";

    // configPath: the service's configuration file; empty: one of the fixture's own, holding
    // Config.
    explicit DialogFixture(TCommandHandler& channel, const QString& configPath = QString())
        : configPath(configPath.isEmpty() ? dir.filePath(QStringLiteral("config.xml"))
                                          : configPath) {
        if (configPath.isEmpty())
            writeConfig(Config);
        form = std::make_unique<TMainForm>();
        form->Open(channel, {DefaultRemotePartnerName, this->configPath.toStdString()});
    }
    ~DialogFixture() {
        form.reset();
        QFile::remove(QString::fromStdString(TSaveLock::PathFor(configPath.toStdString())));
    }

    void writeConfig(const QByteArray& bytes) const {
        QFile file(configPath);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(bytes);
    }
    QByteArray config() const {
        QFile file(configPath);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }

    QTemporaryDir dir;
    QString configPath;
    std::unique_ptr<TMainForm> form;
};
