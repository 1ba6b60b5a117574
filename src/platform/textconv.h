#pragma once
// The model, the wire and the configuration file hold UTF-8 bytes; only the controls hold QString.

#include <QString>
#include <string>

QString ToQString(const std::string& utf8);
std::string ToStdString(const QString& text);

// The first lone surrogate of the text, or 0 when there is none. UTF-8 cannot hold one: the
// conversion gives "?" in its place.
char16_t LoneSurrogate(const QString& text);
