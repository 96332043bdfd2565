#pragma once

#include "DeviceModel.h"
#include "SimOptions.h"

#include <netinet/in.h>

#include <chrono>
#include <cstdio>
#include <span>

// One device on a socket: takes WRQ and DATA on its bound socket, and its model answers from it.
class Simulator
{
public:
    using Clock = std::chrono::steady_clock;

    Simulator(const SimOptions &options, Clock::time_point start);
    ~Simulator();

    // Binds, serves until --once, --idle-timeout or a signal; returns the exit code.
    int Run();

private:
    bool Bind();
    void Serve(std::span<const std::uint8_t> datagram, const sockaddr_in &from, Clock::time_point at);
    void SendTo(std::span<const std::uint8_t> bytes, const sockaddr_in &to);
    void StopListening();
    void Log(Clock::time_point at, std::span<const std::uint8_t> datagram, DeviceAction action);
    void SaveFile();
    void PrintSummary();

    const SimOptions &FOptions;
    Clock::time_point FStart;
    TDeviceModel FDevice;
    int FSocket = -1;
    int FReplySocket = -1; // what replies leave from
    sockaddr_in FPeer{};   // the last one answered: its timer's ACK goes there
    unsigned FResent = 0;
    unsigned FDropped = 0;
    std::FILE *FLog = nullptr;
};
