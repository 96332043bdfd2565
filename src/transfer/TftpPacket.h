#pragma once

// Pure TFTP write-transfer codec: no sockets, no Qt event loop.

#include "TftpResult.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tftp {

inline constexpr std::uint16_t OpWrq = 2;
inline constexpr std::uint16_t OpData = 3;
inline constexpr std::uint16_t OpAck = 4;
inline constexpr std::uint16_t OpError = 5;
inline constexpr std::uint16_t Port = 69;
inline constexpr std::size_t BlockSize = 512;
inline constexpr std::size_t PacketBufferSize = 1024;
inline constexpr std::string_view Mode = "octet";

// Writes a WRQ for fileName into out. Returns its length, or nothing when the
// name is empty, holds a NUL, or the packet would not fit into out.
std::optional<std::size_t> BuildWriteRequest(std::span<std::uint8_t> out, std::string_view fileName);

// Writes DATA with the low 16 bits of block and count image bytes from offset.
// Returns its length, or nothing when the slice lies outside the image or the
// packet would not fit into out.
std::optional<std::size_t> BuildDataPacket(std::span<std::uint8_t> out, unsigned block,
                                           std::span<const std::uint8_t> image, std::size_t offset,
                                           std::size_t count);

// Opcode of a received datagram: its first two bytes, big-endian. A datagram
// shorter than two bytes has none, which reads as 0, like a zero opcode.
int ReplyOpcode(std::span<const std::uint8_t> datagram);

// Block number of an ACK (opcode 4 and at least 4 bytes); nothing otherwise.
std::optional<std::uint16_t> AckBlock(std::span<const std::uint8_t> datagram);

// Tells an ACK that is a late copy from a reply. Replies come twice when the
// network duplicates them, or when a device repeats its last ACK; taken as the
// reply to the next block, a copy would let a lost block go unnoticed. Once
// the device has shown that it numbers its ACKs, by an ACK carrying the number
// of a DATA block sent so far, an ACK of an earlier block is such a copy.
// Until then every ACK counts: ACK 0, the WRQ's reply, shows nothing, so a
// device whose ACKs all carry 0 is taken as before.
class TAckJudge
{
public:
    // awaited: the DATA block whose reply is awaited, 0 for the WRQ.
    bool IsLateCopy(std::uint16_t ack, unsigned awaited);

private:
    bool numbered = false;
};

// False for addresses that cannot name one device: 0.0.0.0/8, the limited
// broadcast, multicast (224.0.0.0/4) and the reserved 240.0.0.0/4. Host order.
bool IsSingleHostAddress(std::uint32_t address);

// The directed broadcast of the subnet address/netmask, or nothing for /31
// and /32, whose every address is a host. Host order.
std::optional<std::uint32_t> DirectedBroadcast(std::uint32_t address, std::uint32_t netmask);

// Verdict of one attempt once its wait has ended.
TTftpResult DecideResult(bool timedOut, int replyOpcode);

// Strict dotted-quad parser: exactly four groups of 1 to 3 decimal digits,
// each 0..255, leading zeros decimal ("010" is ten). Result in host order.
std::optional<std::uint32_t> ParseDottedQuad(std::string_view text);

// Host-order address as dotted-decimal text without leading zeros.
std::string FormatDottedQuad(std::uint32_t address);

} // namespace tftp
