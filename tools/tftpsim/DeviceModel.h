#pragma once

#include "SimRandom.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

// What the device does with a datagram. Silent to Restart are also the faults --fault names (Drop
// as lose): hang answers nothing more, its timer neither; refuse is ERROR, then as hang; restart
// forgets the transfer and takes no block before another WRQ. Drop, close, hang and restart keep
// no packet.
enum class DeviceAction {
    Ack,
    Silent,
    Error,
    Unknown,
    Zero,
    OneByte,
    Oversize,
    Flood,
    Drop,
    Close,
    Hang,
    Refuse,
    Restart,
    Repeat,
    Ignore
};

// As the simulator's log names it.
const char *ActionName(DeviceAction action);

// Fault for the next Count receptions of one packet; Count < 0 means all of them.
struct FaultStep {
    DeviceAction Kind = DeviceAction::Silent;
    int Count = 1;
};

// What the device is: what it takes, how it numbers its ACKs and where it misbehaves.
struct TDeviceConfig {
    // Keyed by packet: 0 is the WRQ, n is DATA block n. Steps run in the order given.
    std::map<unsigned, std::vector<FaultStep>> Faults;
    double DropFraction = 0; // of WRQ and DATA, lost before they reach it
    std::uint64_t Seed = 1;  // of those losses and the flood's junk
    unsigned FloodCount = 1000;
    unsigned OversizeBytes = 3000;
    std::uint8_t OneByteValue = 0; // the byte the onebyte fault sends
    bool ZeroAcks = false;         // every ACK carries block number 0
    int AckSkew = 0;               // a DATA block's ACK carries its number plus this
    bool EightBitAcks = false;     // ACK numbers counted in 8 bits
    bool InOrder = false;          // takes only the next block, as an RFC 1350 receiver does
    bool RepeatLastAck = false;    // with InOrder: answers any other block with its last ACK again
    double ResendMs = 0;           // re-sends its last ACK after this long without a new packet; 0: never
    bool OneTransfer = false;      // a WRQ once blocks came is a late copy of the first, not a new transfer
    std::uint16_t ErrorCode = 0;   // of the ERROR the error and refuse faults send
    std::string ErrorMessage = "simulated error";
    int ReplyPort = -1; // answers from this port of its address (0: any free one); -1: the one it listens on
};

// The device without sockets or clock: told each datagram that reaches it and when, it says what it
// answers and keeps what it stored.
class TDeviceModel
{
public:
    using TTime = std::chrono::steady_clock::time_point;
    using TBytes = std::vector<std::uint8_t>;

    struct TAnswer {
        DeviceAction Action = DeviceAction::Ignore;
        std::vector<TBytes> Replies; // to the sender, in this order
    };

    struct TTransfer {
        bool Started = false, Complete = false;
        std::string File, Mode;
        TBytes Bytes;
        std::vector<bool> Seen; // by block number; empty before any DATA
        unsigned Packets = 0, Repeats = 0;
        TTime Begin{}, End{};   // End: when it became complete
        unsigned NextBlock = 1; // the block an in-order device takes next
    };

    explicit TDeviceModel(TDeviceConfig config);

    // A datagram reached it at At: what it does.
    TAnswer Receive(std::span<const std::uint8_t> datagram, TTime at);
    // When its last ACK goes again unless a packet comes first; none when it will not.
    std::optional<TTime> ResendAt() const;
    // Its last ACK, once ResendAt has come.
    std::optional<TBytes> Resend(TTime now);

    bool Closed() const { return FClosed; } // every datagram meets a closed port
    const TTransfer &Transfer() const { return FTransfer; }

private:
    DeviceAction TakeFault(unsigned packet);
    void OnWriteRequest(std::span<const std::uint8_t> datagram, TTime at);
    void OnData(unsigned block, std::span<const std::uint8_t> payload, TTime at);
    TAnswer Reply(DeviceAction action, unsigned block, TTime at);

    TDeviceConfig FConfig; // its faults count down as they are used
    SimRandom FDropRandom, FJunkRandom;
    TTransfer FTransfer;
    bool FClosed = false, FHung = false;
    bool FRestarted = false;          // takes no block before a WRQ
    std::optional<unsigned> FLastAck; // its number
    TTime FAckTimer{};                // the re-send timer runs from here
};
