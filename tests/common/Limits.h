#pragma once

// What a test cannot show where it runs, told in one place: a test asks whether a limit holds and
// skips with its reason written at the test, as in TXL_SKIP_IF(wine::BindIgnored, "...").

#include "ShortLimit.h" // TXL_WINE

#include <QSysInfo>
#include <QTest>

namespace wine {
inline constexpr bool Runs = TXL_WINE;
// Wine 8.0 rebinds a UDP socket bound to an address other than 127.0.0.1 or 0.0.0.0 to 0.0.0.0
// (the port is kept): the source address picked among several, and a refused bind, do not show.
inline constexpr bool BindIgnored = Runs;
// It never hands a receive the ICMP port-unreachable report.
inline constexpr bool NoPortUnreachable = Runs;
// It reports an interface without carrier as up, its media state unknown.
inline constexpr bool NoCarrierState = Runs;
} // namespace wine

// The test programs of a Windows build are PE files: there is no ELF section to take away.
inline const bool PeProgram = QSysInfo::kernelType() == QStringLiteral("winnt");

#define TXL_SKIP_IF(Limit, Why)                                                                              \
    do {                                                                                                     \
        if (Limit)                                                                                           \
            QSKIP(Why);                                                                                      \
    } while (false)
