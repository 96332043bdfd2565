#pragma once

// Reading of a version-information block (VS_VERSIONINFO) as the platform's query call
// understands it. Bytes in, answers out: no files and no Qt, so the same code serves
// every platform and can be fuzzed on its own.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// wLength is 16 bits wide, so no block is larger than this.
inline constexpr std::size_t MaxVersionBlockSize = 0xFFFF;

// The value stored at a path; Data points into the block.
struct TVersionValue {
    std::span<const std::uint8_t> Data;
    bool Text = false; // wType 1: UTF-16 text
};

// VS_FIXEDFILEINFO, host byte order.
struct TFixedFileInfo {
    std::uint32_t Signature = 0;
    std::uint32_t StrucVersion = 0;
    std::uint32_t FileVersionMS = 0;
    std::uint32_t FileVersionLS = 0;
    std::uint32_t ProductVersionMS = 0;
    std::uint32_t ProductVersionLS = 0;
    std::uint32_t FileFlagsMask = 0;
    std::uint32_t FileFlags = 0;
    std::uint32_t FileOS = 0;
    std::uint32_t FileType = 0;
    std::uint32_t FileSubtype = 0;
    std::uint32_t FileDateMS = 0;
    std::uint32_t FileDateLS = 0;
};

// Length of the block that starts at data[0] (its root wLength) when the root is sound:
// at least a header, inside data, keyed "VS_VERSION_INFO". Bytes past it are not the block's.
std::optional<std::size_t> VersionBlockLength(std::span<const std::uint8_t> data);

// Answers a path such as "\", "\VarFileInfo\Translation" or "\StringFileInfo\041904E3\Comments":
// backslash-separated keys, matched ignoring case; empty components are skipped.
std::optional<TVersionValue> QueryVersionValue(std::span<const std::uint8_t> block, std::string_view path);

// The text stored at a path, up to its terminator, as UTF-8.
std::optional<std::string> QueryVersionText(std::span<const std::uint8_t> block, std::string_view path);

// Keys of the children of the node at path, in block order (up to the first unreadable child).
std::vector<std::string> VersionChildKeys(std::span<const std::uint8_t> block, std::string_view path);

// The record at "\" when it is long enough and carries the 0xFEEF04BD signature.
std::optional<TFixedFileInfo> ParseFixedFileInfo(const TVersionValue &value);

// UTF-16LE up to the first zero unit (or the end) as UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16LeToUtf8(std::span<const std::uint8_t> bytes);
