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

} // namespace tftp
