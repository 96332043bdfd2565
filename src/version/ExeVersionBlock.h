#pragma once

// Finds the version block inside an executable file when no system call does it for us:
// in an ELF file the section our build adds, in a PE file the RT_VERSION resource.

#include "ByteSource.h"

#include <optional>
#include <string_view>
#include <vector>

// The ELF section that txl_attach_version_info() fills (cmake/VersionResource.cmake).
inline constexpr std::string_view VersionSectionName = ".txl_version";

// Contents of the named section, at most maxSize bytes of it.
std::optional<std::vector<std::uint8_t>> ReadElfSection(const TByteSource &file, std::string_view name,
                                                        std::size_t maxSize);

// The data of the first RT_VERSION resource (first name, first language), at most maxSize bytes of it.
std::optional<std::vector<std::uint8_t>> ReadPeVersionResource(const TByteSource &file, std::size_t maxSize);

// The version block of an ELF or PE file, cut to its root's length; nothing when the file
// has none or the root is not sound.
std::optional<std::vector<std::uint8_t>> ExtractVersionBlock(const TByteSource &file);
