// The sample data folder that `as2-standin --init DIR` writes.
#pragma once

#include <QString>

namespace standin {

// The password of the sample local.p12.
inline const char* const DemoPassword = "demo";

// Refuses a folder that already holds any of the files, so that no data is overwritten.
bool writeSample(const QString& dir, QString& error);

} // namespace standin
