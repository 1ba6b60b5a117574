#include "platform/textconv.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

char16_t LoneSurrogate(const QString& text) {
    if (text.isValidUtf16())
        return 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            ++i;
        else if (c.isSurrogate())
            return c.unicode();
    }
    return 0;
}

TTextSpot SpotAt(std::string_view text, std::size_t offset) {
    TTextSpot spot{offset, 1, 1};
    std::size_t begin = 0;
    for (std::size_t at = text.find_first_of("\r\n"); at < offset;
         at = text.find_first_of("\r\n", begin)) {
        begin = at + (text.compare(at, 2, "\r\n") == 0 ? 2 : 1);
        ++spot.Line;
    }
    spot.Column = offset - std::min(begin, offset) + 1;
    return spot;
}

std::optional<TTextSpot> FirstInvalidUtf8(std::string_view text) {
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        // Replies are mostly ASCII: eight bytes at a time while no high bit is set.
        if (size - i >= 8) {
            std::uint64_t eight;
            std::memcpy(&eight, text.data() + i, 8);
            if ((eight & 0x8080808080808080u) == 0) {
                i += 8;
                continue;
            }
        }
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        std::uint32_t code = lead & (0x7Fu >> length);
        bool valid = lead >= 0xC2 && lead <= 0xF4 && size - i >= length;
        for (std::size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0u) == 0x80u;
            code = (code << 6) | (next & 0x3Fu);
        }
        if (!valid || (length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
            (length == 4 && (code < 0x10000 || code > 0x10FFFF)))
            return SpotAt(text, i);
        i += length;
    }
    return std::nullopt;
}
