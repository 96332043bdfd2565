#pragma once

// Pure TFTP write-transfer codec: no sockets, no Qt event loop.

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
// Room for any reply read whole: an ERROR with the longest message kept; longer datagrams are cut.
inline constexpr std::size_t ReceiveBufferSize = 1024;
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

// An ERROR's code and message. The message runs to its terminating zero or
// the datagram's end, cut to MaxErrorMessage bytes; bytes as they came.
struct TErrorPacket {
    std::optional<std::uint16_t> Code; // none when the datagram is too short to hold one
    std::string Message;
};
inline constexpr std::size_t MaxErrorMessage = 512;

// Code and message of an ERROR (opcode 5); nothing for any other datagram.
std::optional<TErrorPacket> ParseError(std::span<const std::uint8_t> datagram);

// A peer's text as it may be shown, in UTF-8: valid UTF-8 as it is, but control
// and format characters (bidirectional overrides among them), bytes that are no
// UTF-8, and the backslash escaped as \xHH and \\. At most maxChars characters,
// then "…": a character or an escape is never cut.
std::string ShownText(std::string_view text, std::size_t maxChars);

} // namespace tftp
