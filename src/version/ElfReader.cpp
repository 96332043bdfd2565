#include "ByteOrder.h"
#include "ExeVersionBlock.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::array<std::uint8_t, 4> ElfMagic = {0x7F, 'E', 'L', 'F'};
constexpr std::uint32_t ShtNobits = 8;

struct TElfSection {
    std::uint32_t Name = 0;
    std::uint32_t Type = 0;
    std::uint64_t Offset = 0;
    std::uint64_t Size = 0;
};

bool InFile(const TByteSource &file, std::uint64_t offset, std::uint64_t size)
{
    return offset <= file.Size() && size <= file.Size() - offset;
}

} // namespace

std::optional<std::vector<std::uint8_t>> ReadElfSection(const TByteSource &file, std::string_view name,
                                                        std::size_t maxSize)
{
    std::array<std::uint8_t, 64> eh{};
    if (!file.Read(0, std::span(eh).first(52)) || !std::equal(ElfMagic.begin(), ElfMagic.end(), eh.begin())) {
        return std::nullopt;
    }
    const std::uint8_t elfClass = eh[4];
    const std::uint8_t elfData = eh[5];
    if ((elfClass != 1 && elfClass != 2) || (elfData != 1 && elfData != 2)) {
        return std::nullopt;
    }
    const bool is64 = elfClass == 2;
    const bool big = elfData == 2;
    if (is64 && !file.Read(0, eh)) {
        return std::nullopt;
    }
    const std::uint64_t shoff = is64 ? Load64(eh, 0x28, big) : Load32(eh, 0x20, big);
    const std::uint16_t shentsize = Load16(eh, is64 ? 0x3A : 0x2E, big);
    const std::uint16_t shnum = Load16(eh, is64 ? 0x3C : 0x30, big);
    const std::uint16_t shstrndx = Load16(eh, is64 ? 0x3E : 0x32, big);
    const std::size_t entrySize = is64 ? 64 : 40;
    // Extended numbering (shnum 0, shstrndx 0xFFFF) is for files with 65280+ sections; not ours.
    if (shnum == 0 || shentsize < entrySize || shstrndx >= shnum ||
        !InFile(file, shoff, std::uint64_t{shnum} * shentsize)) {
        return std::nullopt;
    }

    auto section = [&](std::size_t i) -> std::optional<TElfSection> {
        std::array<std::uint8_t, 64> sh{};
        if (!file.Read(shoff + i * shentsize, std::span(sh).first(entrySize))) {
            return std::nullopt;
        }
        TElfSection s;
        s.Name = Load32(sh, 0, big);
        s.Type = Load32(sh, 4, big);
        s.Offset = is64 ? Load64(sh, 0x18, big) : Load32(sh, 0x10, big);
        s.Size = is64 ? Load64(sh, 0x20, big) : Load32(sh, 0x14, big);
        return s;
    };

    const auto names = section(shstrndx);
    if (!names || names->Type == ShtNobits || !InFile(file, names->Offset, names->Size)) {
        return std::nullopt;
    }
    // The wanted name with its terminator; a stored name must end inside the string table.
    std::vector<std::uint8_t> wanted(name.begin(), name.end());
    wanted.push_back(0);
    std::vector<std::uint8_t> stored(wanted.size());
    for (std::size_t i = 0; i < shnum; ++i) {
        const auto s = section(i);
        if (!s) {
            return std::nullopt;
        }
        if (s->Name >= names->Size || wanted.size() > names->Size - s->Name ||
            !file.Read(names->Offset + s->Name, stored) || stored != wanted) {
            continue;
        }
        if (s->Type == ShtNobits || !InFile(file, s->Offset, s->Size)) {
            return std::nullopt;
        }
        std::vector<std::uint8_t> data(static_cast<std::size_t>(std::min<std::uint64_t>(s->Size, maxSize)));
        if (!file.Read(s->Offset, data)) {
            return std::nullopt;
        }
        return data;
    }
    return std::nullopt;
}
