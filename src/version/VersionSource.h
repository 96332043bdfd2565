#pragma once

// Where a file's version block comes from. On Windows the system's version calls
// (VersionSource_win.cpp); elsewhere the block is read out of the executable file itself
// (VersionSource_file.cpp). Both keep the size-then-read shape of the system calls.

#include <QString>

#include <cstdint>

// Size of the file's version block in bytes, 0 when it has none or cannot be read. handle is
// whatever the read needs back.
std::uint32_t VersionInfoSize(const QString &fileName, std::uint32_t &handle);

// Fills area (size bytes) with the block; false when that fails.
bool ReadVersionInfo(const QString &fileName, std::uint32_t handle, std::uint32_t size, std::uint8_t *area);
