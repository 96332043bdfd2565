#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// An IPv4 address as a value, in host order. Addresses travel as values, parsed
// once where the user typed them and formatted where they are told.
using TIpv4 = std::uint32_t;

namespace ipv4 {

// Strict dotted quad: exactly four groups of 1 to 3 decimal digits, each
// 0..255, leading zeros decimal ("010" is ten), nothing around them.
std::optional<TIpv4> Parse(std::string_view Text);

// Dotted-decimal text without leading zeros.
std::string Format(TIpv4 Address);

// False for addresses that cannot name one device: 0.0.0.0/8, multicast
// (224.0.0.0/4), the reserved 240.0.0.0/4 and the limited broadcast.
bool IsSingleHost(TIpv4 Address);

// The directed broadcast of the subnet Address/Netmask, or nothing for /31
// and /32, whose every address is a host.
std::optional<TIpv4> DirectedBroadcast(TIpv4 Address, TIpv4 Netmask);

// The number of leading one bits of a netmask.
int PrefixLength(TIpv4 Netmask);

} // namespace ipv4
