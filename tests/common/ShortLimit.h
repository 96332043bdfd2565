#pragma once

#ifndef TXL_WINE
#define TXL_WINE 0 // cmake/TxlTesting.cmake defines it for the Windows tests, which run under Wine
#endif

// A limit per attempt for the tests that wait out a device that does not
// answer; the tool's own 3,000 ms is proven in virtual time, by the upload
// machine's tables. Under Wine a window's events come later: 500 ms there.
inline constexpr int ShortTimeoutMs = TXL_WINE ? 500 : 250;
