#include "TftpPacket.h"

#include <algorithm>
#include <cstring>

namespace tftp {

namespace {
void PutWord(std::uint8_t *p, std::uint16_t value)
{
    p[0] = static_cast<std::uint8_t>(value >> 8);
    p[1] = static_cast<std::uint8_t>(value & 0xFF);
}
} // namespace

std::optional<std::size_t> BuildWriteRequest(std::span<std::uint8_t> out, std::string_view fileName)
{
    if (fileName.empty() || fileName.find('\0') != std::string_view::npos)
        return std::nullopt;
    const std::size_t length = 2 + fileName.size() + 1 + Mode.size() + 1;
    if (length > out.size())
        return std::nullopt;
    std::uint8_t *p = out.data();
    PutWord(p, OpWrq);
    p += 2;
    std::memcpy(p, fileName.data(), fileName.size());
    p += fileName.size();
    *p++ = 0;
    std::memcpy(p, Mode.data(), Mode.size());
    p += Mode.size();
    *p = 0;
    return length;
}

std::optional<std::size_t> BuildDataPacket(std::span<std::uint8_t> out, unsigned block,
                                           std::span<const std::uint8_t> image, std::size_t offset,
                                           std::size_t count)
{
    if (offset > image.size() || count > image.size() - offset || count > BlockSize || 4 + count > out.size())
        return std::nullopt;
    PutWord(out.data(), OpData);
    PutWord(out.data() + 2, static_cast<std::uint16_t>(block & 0xFFFF));
    if (count > 0)
        std::memcpy(out.data() + 4, image.data() + offset, count);
    return 4 + count;
}

int ReplyOpcode(std::span<const std::uint8_t> datagram)
{
    if (datagram.size() < 2)
        return 0;
    return datagram[0] * 256 + datagram[1];
}

std::optional<std::uint16_t> AckBlock(std::span<const std::uint8_t> datagram)
{
    if (datagram.size() < 4 || ReplyOpcode(datagram) != OpAck)
        return std::nullopt;
    return static_cast<std::uint16_t>(datagram[2] << 8 | datagram[3]);
}

std::optional<TErrorPacket> ParseError(std::span<const std::uint8_t> datagram)
{
    if (ReplyOpcode(datagram) != OpError)
        return std::nullopt;
    TErrorPacket error;
    if (datagram.size() < 4)
        return error;
    error.Code = static_cast<std::uint16_t>(datagram[2] << 8 | datagram[3]);
    const auto text = datagram.subspan(4, std::min(datagram.size() - 4, MaxErrorMessage));
    error.Message.assign(text.begin(), std::find(text.begin(), text.end(), 0));
    return error;
}

namespace {

// The length of the valid UTF-8 character at the start of text, and its code point; 0 for none.
std::size_t DecodeUtf8(std::string_view text, char32_t &point)
{
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    if (lead < 0x80) {
        point = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        point = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        point = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        point = lead & 0x07u;
    } else {
        return 0;
    }
    if (text.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0u) != 0x80u)
            return 0;
        point = point << 6 | (byte(i) & 0x3Fu);
    }
    // Overlong forms, surrogates and points past the last one are no characters.
    const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < least[length] || (point >= 0xD800 && point <= 0xDFFF) || point > 0x10FFFF)
        return 0;
    return length;
}

// Characters that would act on the text around them rather than show: controls, line and
// paragraph separators, bidirectional marks and overrides, other invisible formatting.
bool Acts(char32_t point)
{
    return point < 0x20 || (point >= 0x7F && point <= 0x9F) || point == 0xAD || point == 0x61C ||
           (point >= 0x200B && point <= 0x200F) || (point >= 0x2028 && point <= 0x202E) ||
           (point >= 0x2060 && point <= 0x206F) || point == 0xFEFF || (point >= 0xFFF9 && point <= 0xFFFB) ||
           (point >= 0xFDD0 && point <= 0xFDEF) || (point & 0xFFFEu) == 0xFFFEu;
}

} // namespace

std::string ShownText(std::string_view text, std::size_t maxChars)
{
    static const char hex[] = "0123456789abcdef";
    std::string shown;
    std::size_t chars = 0;
    while (!text.empty()) {
        char32_t point = 0;
        std::size_t length = DecodeUtf8(text, point);
        std::string unit;
        std::size_t unitChars = 1;
        if (length == 0 || Acts(point)) {
            length = std::max<std::size_t>(length, 1);
            for (std::size_t i = 0; i < length; ++i) {
                const auto byte = static_cast<unsigned char>(text[i]);
                unit += {'\\', 'x', hex[byte >> 4], hex[byte & 0xF]};
            }
            unitChars = 4 * length;
        } else if (point == '\\') {
            unit = "\\\\";
            unitChars = 2;
        } else {
            unit = text.substr(0, length);
        }
        if (chars + unitChars > maxChars)
            return shown + "\u2026";
        shown += unit;
        chars += unitChars;
        text.remove_prefix(length);
    }
    return shown;
}

} // namespace tftp
