#include "ByteOrder.h"
#include "ExeVersionBlock.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::uint32_t RtVersion = 16;
constexpr std::uint32_t HighBit = 0x80000000;
constexpr std::size_t ResourceDirectory = 2; // index in the optional header's data directories
// The Windows loader refuses images with more sections than this.
constexpr std::size_t MaxSections = 96;

struct TPeSection {
    std::uint32_t VirtualAddress = 0;
    std::uint32_t RawSize = 0;
    std::uint32_t RawOffset = 0;
};

class TPeImage
{
public:
    explicit TPeImage(const TByteSource &file) : FFile(file) {}

    bool Open()
    {
        std::array<std::uint8_t, 64> dos{};
        if (!FFile.Read(0, dos) || dos[0] != 'M' || dos[1] != 'Z') {
            return false;
        }
        const std::uint64_t nt = Load32(dos, 0x3C);
        std::array<std::uint8_t, 24> coff{};
        if (!FFile.Read(nt, coff) || Load32(coff, 0) != 0x00004550) { // "PE\0\0"
            return false;
        }
        const std::uint16_t sectionCount = Load16(coff, 6);
        const std::uint16_t optionalSize = Load16(coff, 20);
        const std::uint64_t optional = nt + coff.size();
        std::array<std::uint8_t, 2> magic{};
        if (!FFile.Read(optional, magic)) {
            return false;
        }
        std::size_t directories = 0;
        switch (Load16(magic, 0)) {
        case 0x10B:
            directories = 96;
            break; // PE32
        case 0x20B:
            directories = 112;
            break; // PE32+
        default:
            return false;
        }
        std::array<std::uint8_t, 4> count{};
        std::array<std::uint8_t, 8> dir{};
        if (optionalSize < directories + 8 * (ResourceDirectory + 1) ||
            !FFile.Read(optional + directories - 4, count) || Load32(count, 0) <= ResourceDirectory ||
            !FFile.Read(optional + directories + 8 * ResourceDirectory, dir)) {
            return false;
        }
        FResourceRva = Load32(dir, 0);
        FResourceSize = Load32(dir, 4);
        if (FResourceRva == 0 || FResourceSize == 0 || sectionCount > MaxSections) {
            return false;
        }
        const std::uint64_t table = optional + optionalSize;
        for (std::size_t i = 0; i < sectionCount; ++i) {
            std::array<std::uint8_t, 40> sh{};
            if (!FFile.Read(table + 40 * i, sh)) {
                return false;
            }
            FSections.push_back({Load32(sh, 12), Load32(sh, 16), Load32(sh, 20)});
        }
        return true;
    }

    // Reads an address range of the loaded image, which must lie inside one section's file data.
    bool ReadRva(std::uint64_t rva, std::span<std::uint8_t> out) const
    {
        for (const TPeSection &s : FSections) {
            if (rva >= s.VirtualAddress && rva - s.VirtualAddress < s.RawSize &&
                out.size() <= s.RawSize - (rva - s.VirtualAddress)) {
                return FFile.Read(s.RawOffset + (rva - s.VirtualAddress), out);
            }
        }
        return false;
    }

    // Reads inside the resource directory; offsets there count from its start.
    bool ReadResource(std::uint64_t offset, std::span<std::uint8_t> out) const
    {
        return offset <= FResourceSize && out.size() <= FResourceSize - offset &&
               ReadRva(FResourceRva + offset, out);
    }

    // Name and data fields of the entry at index i of the directory at offset dir.
    std::optional<std::pair<std::uint32_t, std::uint32_t>> Entry(std::uint32_t dir, std::uint32_t i) const
    {
        std::array<std::uint8_t, 8> e{};
        if (!ReadResource(std::uint64_t{dir} + 16 + 8 * std::uint64_t{i}, e)) {
            return std::nullopt;
        }
        return std::pair{Load32(e, 0), Load32(e, 4)};
    }

    std::uint32_t EntryCount(std::uint32_t dir) const
    {
        std::array<std::uint8_t, 16> h{};
        return ReadResource(dir, h) ? std::uint32_t{Load16(h, 12)} + Load16(h, 14) : 0;
    }

    // The subdirectory behind the first entry of dir.
    std::optional<std::uint32_t> FirstSubdirectory(std::uint32_t dir) const
    {
        const auto e = EntryCount(dir) > 0 ? Entry(dir, 0) : std::nullopt;
        if (!e || !(e->second & HighBit)) {
            return std::nullopt;
        }
        return e->second & ~HighBit;
    }

private:
    const TByteSource &FFile;
    std::uint32_t FResourceRva = 0;
    std::uint32_t FResourceSize = 0;
    std::vector<TPeSection> FSections;
};

} // namespace

std::optional<std::vector<std::uint8_t>> ReadPeVersionResource(const TByteSource &file, std::size_t maxSize)
{
    TPeImage pe(file);
    if (!pe.Open()) {
        return std::nullopt;
    }
    // The tree has exactly three levels (type, name, language), walked once each, so an
    // entry pointing back up cannot make it loop: it just fails the next level's check.
    std::optional<std::uint32_t> names;
    const std::uint32_t types = pe.EntryCount(0);
    for (std::uint32_t i = 0; i < types && !names; ++i) {
        const auto e = pe.Entry(0, i);
        if (!e) {
            return std::nullopt;
        }
        if (e->first == RtVersion) {
            if (!(e->second & HighBit)) {
                return std::nullopt;
            }
            names = e->second & ~HighBit;
        }
    }
    const auto languages = names ? pe.FirstSubdirectory(*names) : std::nullopt;
    const auto leaf = languages && pe.EntryCount(*languages) > 0 ? pe.Entry(*languages, 0) : std::nullopt;
    if (!leaf || (leaf->second & HighBit)) {
        return std::nullopt;
    }
    std::array<std::uint8_t, 16> dataEntry{};
    if (!pe.ReadResource(leaf->second, dataEntry)) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> data(std::min<std::size_t>(Load32(dataEntry, 4), maxSize));
    if (!pe.ReadRva(Load32(dataEntry, 0), data)) {
        return std::nullopt;
    }
    return data;
}
