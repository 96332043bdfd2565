#include "VersionSource.h"

#include "ExeVersionBlock.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

class TFileSource : public TByteSource
{
public:
    explicit TFileSource(QFile &file) : FFile(file), FSize(static_cast<std::uint64_t>(file.size())) {}
    std::uint64_t Size() const override { return FSize; }
    bool Read(std::uint64_t offset, std::span<std::uint8_t> out) const override
    {
        if (offset > FSize || out.size() > FSize - offset || !FFile.seek(static_cast<qint64>(offset))) {
            return false;
        }
        const auto want = static_cast<qint64>(out.size());
        return FFile.read(reinterpret_cast<char *>(out.data()), want) == want;
    }

private:
    QFile &FFile;
    std::uint64_t FSize;
};

std::optional<std::vector<std::uint8_t>> LoadBlock(const QString &fileName)
{
    // Only regular files: opening a FIFO or a device could block for good.
    if (fileName.isEmpty() || !QFileInfo(fileName).isFile()) {
        return std::nullopt;
    }
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    return ExtractVersionBlock(TFileSource(file));
}

} // namespace

std::uint32_t VersionInfoSize(const QString &fileName, std::uint32_t &handle)
{
    handle = 0;
    const auto block = LoadBlock(fileName);
    return block ? static_cast<std::uint32_t>(block->size()) : 0;
}

bool ReadVersionInfo(const QString &fileName, std::uint32_t, std::uint32_t size, std::uint8_t *area)
{
    // The file is read again, as the system call does; if it changed in between and the
    // block no longer fits, the read fails.
    const auto block = LoadBlock(fileName);
    if (!block || block->size() > size) {
        return false;
    }
    std::fill(std::copy(block->begin(), block->end(), area), area + size, std::uint8_t{0});
    return true;
}
