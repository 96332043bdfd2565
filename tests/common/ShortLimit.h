#pragma once

// A limit per attempt for the tests that wait out a device that does not
// answer; the tool's own 3,000 ms is proven in virtual time, by the upload
// machine's tables.
inline constexpr int ShortTimeoutMs = 500;
