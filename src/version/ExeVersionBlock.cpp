#include "ExeVersionBlock.h"

#include "VersionBlock.h"

#include <array>

std::optional<std::vector<std::uint8_t>> ExtractVersionBlock(const TByteSource &file)
{
    std::array<std::uint8_t, 4> magic{};
    if (!file.Read(0, magic)) {
        return std::nullopt;
    }
    std::optional<std::vector<std::uint8_t>> data;
    if (magic == std::array<std::uint8_t, 4>{0x7F, 'E', 'L', 'F'}) {
        data = ReadElfSection(file, VersionSectionName, MaxVersionBlockSize);
    } else if (magic[0] == 'M' && magic[1] == 'Z') {
        data = ReadPeVersionResource(file, MaxVersionBlockSize);
    }
    const auto length = data ? VersionBlockLength(*data) : std::nullopt;
    if (!length) {
        return std::nullopt;
    }
    data->resize(*length);
    return data;
}
