#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// The one firmware image this tool can load, compiled in from firmware/.
extern const std::uint8_t FirmwareImage[];
extern const std::size_t FirmwareSize;
// True when the build carries the repository's placeholder instead of a real
// image; the windows then say so, and packaging refuses it unless allowed.
extern const bool FirmwareIsPlaceholder;
// Appended to the window caption and the About box's comments of such a build.
inline constexpr char TestImageMark[] = " (тестовый образ)";

// Announced in the write request; its first 14 characters go into the main window's caption.
inline constexpr char FirmwareFileName[] = "ZRM-40K_06_V48.xfw";
inline constexpr char DefaultDeviceAddress[] = "192.168.0.200";

// The built-in image as a span, for code that also accepts other images.
std::span<const std::uint8_t> FirmwareBytes();
