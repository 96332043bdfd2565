#pragma once

#include "SimOptions.h"
#include "SimRandom.h"

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <span>
#include <string>
#include <vector>

// One device: takes WRQ and DATA on its bound socket and answers from it.
class Simulator
{
public:
    using Clock = std::chrono::steady_clock;

    Simulator(const SimOptions &options, Clock::time_point start);
    ~Simulator();

    // Binds, serves until --once, --idle-timeout or a signal; returns the exit code.
    int Run();

private:
    enum class Action {
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
        Repeat,
        Ignore
    };

    struct Transfer {
        bool Started = false;
        bool Complete = false;
        bool Reported = false; // summary already printed for this state
        bool HasData = false;
        std::string File;
        std::string Mode;
        std::vector<std::uint8_t> Bytes;
        std::vector<bool> Seen; // by block number
        unsigned Packets = 0;
        unsigned Repeats = 0;
        Clock::time_point Begin;
        double Seconds = 0;     // fixed at completion
        unsigned NextBlock = 1; // the block an in-order device takes next
    };

    struct LastAck {
        bool Sent = false;
        unsigned Block = 0;
        sockaddr_in To{};
        Clock::time_point At;
    };

    struct FaultState {
        std::size_t Step = 0;
        int Used = 0;
    };

    static Action FaultAction(FaultKind kind);
    bool Bind();
    void Serve(std::span<const std::uint8_t> datagram, const sockaddr_in &from, Clock::time_point at);
    Action TakeFault(unsigned packet);
    void OnWriteRequest(std::span<const std::uint8_t> datagram, Clock::time_point at);
    void OnData(unsigned block, std::span<const std::uint8_t> payload, Clock::time_point at);
    void Reply(Action action, unsigned block, const sockaddr_in &to, Clock::time_point received);
    void SendTo(std::span<const std::uint8_t> bytes, const sockaddr_in &to);
    void SendLastAck();
    void StopListening();
    bool ResendDue(Clock::time_point now) const;
    void Log(Clock::time_point at, std::span<const std::uint8_t> datagram, Action action);
    void SaveFile();
    void PrintSummary();

    const SimOptions &FOptions;
    Clock::time_point FStart;
    int FSocket = -1;
    int FReplySocket = -1; // what replies leave from
    LastAck FLastAck;
    unsigned FResent = 0;
    std::FILE *FLog = nullptr;
    SimRandom FDropRandom;
    SimRandom FJunkRandom;
    std::map<unsigned, FaultState> FFaultState;
    Transfer FTransfer;
    unsigned FDropped = 0;
};
