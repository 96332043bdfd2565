#pragma once

#include "ProductFacts.h" // FirmwareFileName, TestImageMark

#include <cstddef>
#include <cstdint>
#include <span>

// The one firmware image this tool can load, compiled in from firmware/.
extern const std::uint8_t FirmwareImage[];
extern const std::size_t FirmwareSize;
// True when the build carries the repository's placeholder instead of a real
// image; the windows then say so, and packaging refuses it unless allowed.
extern const bool FirmwareIsPlaceholder;
// Its SHA-256 in hex, as the build computed it.
extern const char FirmwareSha256[];

inline constexpr char DefaultDeviceAddress[] = "192.168.0.200";

// The built-in image as a span, for code that also accepts other images.
std::span<const std::uint8_t> FirmwareBytes();
