#include "LoadData.h"

std::span<const std::uint8_t> FirmwareBytes()
{
    return {FirmwareImage, FirmwareSize};
}
