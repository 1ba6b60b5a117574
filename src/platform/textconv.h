#pragma once
// The model, the wire and the configuration file hold UTF-8 bytes; only the controls hold QString.

#include <QString>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

inline QString ToQString(const std::string& utf8) {
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}
inline std::string ToStdString(const QString& text) {
    return text.toStdString();
}

// The first lone surrogate of the text, or 0 when there is none. UTF-8 cannot hold one: the
// conversion gives "?" in its place.
char16_t LoneSurrogate(const QString& text);

// A place in a text: its byte offset, and its line and column, both from 1. Lines break at CR LF,
// CR or LF, as XML counts them; the column counts bytes.
struct TTextSpot {
    std::size_t Offset = 0;
    int Line = 1;
    std::size_t Column = 1;
};
TTextSpot SpotAt(std::string_view text, std::size_t offset);

// The first byte that begins no valid UTF-8 sequence (stray, cut short, overlong, a surrogate,
// above U+10FFFF), or nothing. Qt's decoders replace such bytes silently, and its XML reader
// places them nowhere near where they stand.
std::optional<TTextSpot> FirstInvalidUtf8(std::string_view text);
