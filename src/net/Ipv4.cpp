#include "Ipv4.h"

#include <bit>

namespace ipv4 {

std::optional<TIpv4> Parse(std::string_view Text)
{
    TIpv4 Result = 0;
    std::size_t Pos = 0;
    for (int Group = 0; Group < 4; ++Group) {
        if (Group > 0) {
            if (Pos >= Text.size() || Text[Pos] != '.')
                return std::nullopt;
            ++Pos;
        }
        unsigned Value = 0;
        std::size_t Digits = 0;
        while (Pos < Text.size() && Text[Pos] >= '0' && Text[Pos] <= '9' && Digits < 4) {
            Value = Value * 10 + static_cast<unsigned>(Text[Pos] - '0');
            ++Pos;
            ++Digits;
        }
        if (Digits == 0 || Digits > 3 || Value > 255)
            return std::nullopt;
        Result = (Result << 8) | Value;
    }
    if (Pos != Text.size())
        return std::nullopt;
    return Result;
}

std::string Format(TIpv4 Address)
{
    std::string Text;
    for (int Shift = 24; Shift >= 0; Shift -= 8) {
        if (Shift != 24)
            Text += '.';
        Text += std::to_string((Address >> Shift) & 0xFF);
    }
    return Text;
}

bool IsSingleHost(TIpv4 Address)
{
    // 0/8 and 224/3 (multicast and reserved), the all-ones broadcast within it.
    const TIpv4 Top = Address >> 24;
    return Top != 0 && Top < 224;
}

std::optional<TIpv4> DirectedBroadcast(TIpv4 Address, TIpv4 Netmask)
{
    if ((~Netmask & 0xFFFFFFFFu) <= 1)
        return std::nullopt;
    return Address | ~Netmask;
}

int PrefixLength(TIpv4 Netmask)
{
    return std::popcount(Netmask);
}

} // namespace ipv4
