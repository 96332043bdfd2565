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

TAckLedger::TVerdict TAckLedger::Judge(std::uint16_t ack, unsigned awaited, unsigned highestSent, bool prompt)
{
    if (awaited == 0)
        return ack == 0 ? TVerdict::Reply : TVerdict::NotAReply;
    // Block numbers are 16 bits on the wire: the latest block sent that carries this number.
    const unsigned wrapped = highestSent - ((highestSent - ack) & 0xFFFFu);
    const bool sent = wrapped >= 1 && wrapped <= highestSent && highestSent - wrapped <= 0xFFFFu;
    if (ack != 0 || FNumbered) {
        if (!sent)
            return TVerdict::NotAReply; // a number never sent proves nothing
        FNumbered = true;
        // A late ACK of an earlier block still proves that block.
        Set(wrapped, TState::Proven);
        return wrapped == awaited ? TVerdict::Reply : TVerdict::NotAReply;
    }
    if (!prompt)
        return TVerdict::NotAReply;
    Set(awaited, TState::Provisional);
    return TVerdict::Provisional;
}

unsigned TAckLedger::FirstUnproven() const
{
    for (std::size_t block = 1; block < FBlocks.size(); ++block) {
        if (FBlocks[block] == TState::Provisional)
            return unsigned(block);
    }
    return 0;
}

void TAckLedger::Set(unsigned block, TState state)
{
    if (FBlocks.size() <= block)
        FBlocks.resize(std::size_t(block) + 1, TState::None);
    if (FBlocks[block] == TState::None)
        ++FAcknowledged;
    if (FBlocks[block] != TState::Proven)
        FBlocks[block] = state;
}

bool IsSingleHostAddress(std::uint32_t address)
{
    // 0/8 and 224/3 (multicast and reserved), and the all-ones broadcast within it.
    const std::uint32_t top = address >> 24;
    return top != 0 && top < 224;
}

std::optional<std::uint32_t> DirectedBroadcast(std::uint32_t address, std::uint32_t netmask)
{
    if ((~netmask & 0xFFFFFFFFu) <= 1)
        return std::nullopt;
    return address | ~netmask;
}

TTftpResult DecideResult(bool timedOut, int replyOpcode)
{
    if (timedOut)
        return trTimeout;
    if (replyOpcode == OpError)
        return trDeviceError;
    if (replyOpcode == OpAck)
        return trOK;
    return trUnknownError;
}

std::optional<std::uint32_t> ParseDottedQuad(std::string_view text)
{
    std::uint32_t result = 0;
    std::size_t pos = 0;
    for (int group = 0; group < 4; ++group) {
        if (group > 0) {
            if (pos >= text.size() || text[pos] != '.')
                return std::nullopt;
            ++pos;
        }
        unsigned value = 0;
        std::size_t digits = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
            value = value * 10 + static_cast<unsigned>(text[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255)
            return std::nullopt;
        result = (result << 8) | value;
    }
    if (pos != text.size())
        return std::nullopt;
    return result;
}

std::string FormatDottedQuad(std::uint32_t address)
{
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        if (shift != 24)
            text += '.';
        text += std::to_string((address >> shift) & 0xFF);
    }
    return text;
}

} // namespace tftp
