#include "platform/savelock.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

std::string TSaveLock::PathFor(const std::string& configPath) {
    const QFileInfo config(QFile::decodeName(QByteArray::fromStdString(configPath)));
    // One lock however the path is spelled, as far as the file exists.
    const QString canonical = config.canonicalFilePath();
    const QByteArray hash =
        QCryptographicHash::hash(
            QFile::encodeName(canonical.isEmpty() ? config.absoluteFilePath() : canonical),
            QCryptographicHash::Sha256)
            .toHex()
            .left(16);
    return Folder() + "/vantrel-" + hash.toStdString() + ".lock";
}
