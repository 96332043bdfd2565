#pragma once

// Pure TFTP write-transfer codec: no sockets, no Qt event loop.

#include "TftpResult.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

// Keeps what the device's ACKs have shown of the blocks it holds, and judges
// each ACK against the packet awaited. A DATA block counts as proven only by
// an ACK carrying its own number. ACK 0 is the WRQ's reply; it stands in for a
// block's ACK only while the device has not shown that it numbers its ACKs,
// and only when it comes promptly: a copy of the WRQ's reply, or an ACK 0 a
// device repeats because block 1 never reached it, must not move the upload
// past a block. Once the device numbers, every block passed on ACK 0 alone
// has to be proven again.
class TAckLedger
{
public:
    enum class TVerdict {
        Reply,       // the awaited packet is acknowledged
        Provisional, // ACK 0 taken for the awaited block until the device shows its numbering
        NotAReply,   // about another packet, or nothing: the wait goes on
    };

    // ACK `ack` arrived while `awaited` (0: the WRQ) is awaited and blocks up to
    // `highestSent` have gone out; `prompt` when it came as soon as a reply to
    // the awaited packet could.
    TVerdict Judge(std::uint16_t ack, unsigned awaited, unsigned highestSent, bool prompt);
    // The device has acknowledged some DATA block by its number.
    bool Numbered() const { return FNumbered; }
    // The first block passed on ACK 0 alone and not proven since; 0 when none.
    unsigned FirstUnproven() const;
    // Blocks acknowledged so far, proven or passed on ACK 0.
    unsigned Acknowledged() const { return FAcknowledged; }

private:
    enum class TState : std::uint8_t { None, Provisional, Proven };
    void Set(unsigned block, TState state);

    bool FNumbered = false;
    unsigned FAcknowledged = 0;
    std::vector<TState> FBlocks; // by block number
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
