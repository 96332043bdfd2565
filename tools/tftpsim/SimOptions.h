#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

enum class FaultKind { Silent, Error, Unknown, Zero, OneByte, Oversize, Flood, Lose, Close };

// Fault for the next Count receptions of one packet; Count < 0 means all of them.
struct FaultStep {
    FaultKind Kind = FaultKind::Silent;
    int Count = 1;
};

struct SimOptions {
    std::string BindAddress;
    std::uint16_t Port = 69;
    std::string OutFile;
    std::string LogFile;
    bool Once = false;
    bool SummaryEach = false;
    double IdleTimeoutSec = 0; // 0: none
    // Keyed by packet: 0 is the WRQ, n is DATA block n. Steps run in the order given.
    std::map<unsigned, std::vector<FaultStep>> Faults;
    double DropFraction = 0;
    std::uint64_t Seed = 1;
    double DelayMs = 0;
    unsigned FloodCount = 1000;
    unsigned OversizeBytes = 3000;
    std::uint8_t OneByteValue = 0; // the byte the onebyte fault sends
    unsigned Copies = 1;           // every datagram sent goes out this many times
    bool ZeroAcks = false;         // every ACK carries block number 0
    int AckSkew = 0;               // a DATA block's ACK carries its number plus this
    bool InOrder = false;          // takes only the next block, as an RFC 1350 receiver does
    bool RepeatLastAck = false;    // with InOrder: answers any other block with its last ACK again
    double ResendMs = 0;           // re-sends its last ACK after this long without a new packet; 0: never
    std::uint16_t ErrorCode = 0;   // of the ERROR the error fault sends
    std::string ErrorMessage = "simulated error";
    int ReplyPort = -1;   // answers from this port of its address (0: any free one); -1: the bound one
    std::string HashFile; // --sha256: print a file's digest and exit
};

const char *FaultKindName(FaultKind kind);

// Fills options from argv; on failure returns the reason.
std::optional<std::string> ParseOptions(int argc, char **argv, SimOptions &options);

extern const char *const UsageText;
