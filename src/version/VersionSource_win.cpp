#include "VersionSource.h"

#include <QDir>

#include <windows.h>

// The wide forms of the version calls: file names go to the system as UTF-16, so no ANSI
// code page can mangle a path, and the block comes back as stored in the file.

namespace {

std::wstring NativeName(const QString &fileName)
{
    return QDir::toNativeSeparators(fileName).toStdWString();
}

} // namespace

std::uint32_t VersionInfoSize(const QString &fileName, std::uint32_t &handle)
{
    DWORD systemHandle = 0;
    handle = 0;
    if (fileName.isEmpty())
        return 0;
    const DWORD size = ::GetFileVersionInfoSizeW(NativeName(fileName).c_str(), &systemHandle);
    handle = systemHandle;
    return size;
}

bool ReadVersionInfo(const QString &fileName, std::uint32_t handle, std::uint32_t size, std::uint8_t *area)
{
    if (fileName.isEmpty())
        return false;
    return ::GetFileVersionInfoW(NativeName(fileName).c_str(), handle, size, area) != 0;
}
