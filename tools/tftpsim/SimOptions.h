#pragma once

#include "DeviceModel.h"

#include <cstdint>
#include <optional>
#include <string>

// The device, and how the simulator serves it.
struct SimOptions : TDeviceConfig {
    std::string BindAddress;
    std::uint16_t Port = 69;
    std::string OutFile;
    std::string LogFile;
    bool Once = false;
    bool SummaryEach = false;
    double IdleTimeoutSec = 0; // 0: none
    double DelayMs = 0;
    unsigned Copies = 1;  // every datagram sent goes out this many times
    std::string HashFile; // --sha256: print a file's digest and exit
};

// Fills options from argv; on failure returns the reason.
std::optional<std::string> ParseOptions(int argc, char **argv, SimOptions &options);

extern const char *const UsageText;
