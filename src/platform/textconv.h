#pragma once
// The model, the wire and the configuration file hold UTF-8 bytes; only the controls hold QString.

#include <QString>
#include <string>

QString ToQString(const std::string& utf8);
std::string ToStdString(const QString& text);
