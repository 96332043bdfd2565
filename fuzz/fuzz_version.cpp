// libFuzzer target: the input as a version block, as an ELF or PE file in memory, and as a
// file on disk read by TVersionInfo. Any crash, sanitizer report or hang is a finding.

#include "ByteSource.h"
#include "ExeVersionBlock.h"
#include "VerInf.h"
#include "VersionBlock.h"

#include <QFile>
#include <QString>

#include <string>
#include <unistd.h>

namespace {

volatile std::uint32_t Sink; // keeps the reads of every answer

void Touch(std::span<const std::uint8_t> bytes)
{
    std::uint32_t sum = 0;
    for (const std::uint8_t b : bytes) {
        sum += b;
    }
    Sink = sum;
}

// Queries path and then every child path below it, as far as a real block nests.
void Explore(std::span<const std::uint8_t> block, const std::string &path, int depth)
{
    if (const auto value = QueryVersionValue(block, path)) {
        Touch(value->Data);
        (void)ParseFixedFileInfo(*value);
    }
    if (const auto text = QueryVersionText(block, path)) {
        Sink = static_cast<std::uint32_t>(text->size());
    }
    if (depth >= 4) {
        return;
    }
    const auto keys = VersionChildKeys(block, path);
    for (std::size_t i = 0; i < keys.size() && i < 32; ++i) {
        Explore(block, path + "\\" + keys[i], depth + 1);
    }
}

void Walk(std::span<const std::uint8_t> block)
{
    (void)VersionBlockLength(block);
    Explore(block, "\\", 0);
    // The paths TVersionInfo composes, case and separators varied.
    for (const char *path : {"\\VarFileInfo\\Translation", "StringFileInfo\\\\041904e3\\productname",
                             "\\StringFileInfo\\\\Comments", "\\a\\b\\c\\d\\e\\f\\g\\h\\i\\j"}) {
        (void)QueryVersionText(block, path);
    }
}

// The file TVersionInfo reads; one per process, removed at exit.
struct TScratchFile {
    QString Path = QStringLiteral("/tmp/fuzz_version.%1").arg(getpid());
    ~TScratchFile() { QFile::remove(Path); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::span<const std::uint8_t> input(data, size);
    Walk(input);

    const TMemorySource file(input);
    if (const auto block = ExtractVersionBlock(file)) {
        Walk(*block);
    }
    (void)ReadElfSection(file, VersionSectionName, MaxVersionBlockSize);
    (void)ReadPeVersionResource(file, MaxVersionBlockSize);

    // The same bytes through the file reader and TVersionInfo.
    static const TScratchFile scratch;
    const QString &path = scratch.Path;
    QFile out(path);
    if (out.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
        out.write(reinterpret_cast<const char *>(data), static_cast<qint64>(size)) ==
            static_cast<qint64>(size)) {
        out.close();
        const TVersionInfo info(path);
        Sink = static_cast<std::uint32_t>(info.ProductName().size() + info.FileVersion().size() +
                                          info.LegalCopyright().size() + info.Comments().size() +
                                          info.Translation().size() + (info.Valid() ? 1 : 0));
    }
    return 0;
}
