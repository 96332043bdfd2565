#include "Simulator.h"

#include "Sha256.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

namespace {

constexpr int OpData = 3;
constexpr int MaxPollMs = 500;

volatile std::sig_atomic_t StopSignal = 0;

void OnStopSignal(int signal)
{
    StopSignal = signal;
}

double Seconds(Simulator::Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// Waits until a moment of the steady clock (CLOCK_MONOTONIC on Linux). A timer
// wake-up comes some 50 us late on a busy virtual machine, which over 121
// replies would be charged to the client under test, so the last stretch is
// spent spinning instead.
void WaitUntil(Simulator::Clock::time_point at)
{
    constexpr auto spin = std::chrono::microseconds(200);
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>((at - spin).time_since_epoch()).count();
    const timespec until{time_t(ns / 1000000000), long(ns % 1000000000)};
    if (ns > 0) {
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
        }
    }
    for (int i = 0; i < 10000000 && Simulator::Clock::now() < at; ++i) {
    }
}

std::string JsonString(std::string_view text)
{
    std::string out = "\"";
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (byte < 0x20 || byte >= 0x7f) {
            // Names come off the wire in any encoding; keep the line valid JSON and ASCII.
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

// When the kernel took the datagram in, on the steady clock. Waking up to read
// it takes a while on a busy machine; timing from arrival keeps that out of the delay.
Simulator::Clock::time_point ArrivalTime(msghdr &message)
{
    const auto now = Simulator::Clock::now();
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS)
            continue;
        timespec stamp{}, realNow{};
        std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
        clock_gettime(CLOCK_REALTIME, &realNow);
        const auto age = std::chrono::seconds(realNow.tv_sec - stamp.tv_sec) +
                         std::chrono::nanoseconds(realNow.tv_nsec - stamp.tv_nsec);
        // A wall clock stepped meanwhile could give any age; only trust a plausible one.
        if (age >= std::chrono::nanoseconds(0) && age < std::chrono::seconds(1))
            return now - std::chrono::duration_cast<Simulator::Clock::duration>(age);
    }
    return now;
}

} // namespace

Simulator::Simulator(const SimOptions &options, Clock::time_point start)
    : FOptions(options), FStart(start), FDevice(options)
{}

Simulator::~Simulator()
{
    if (FReplySocket >= 0 && FReplySocket != FSocket)
        close(FReplySocket);
    if (FSocket >= 0)
        close(FSocket);
    if (FLog)
        std::fclose(FLog);
}

bool Simulator::Bind()
{
    FSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (FSocket < 0) {
        std::fprintf(stderr, "tftpsim: socket: %s\n", std::strerror(errno));
        return false;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(FOptions.Port);
    inet_pton(AF_INET, FOptions.BindAddress.c_str(), &local.sin_addr);
    if (bind(FSocket, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "tftpsim: cannot bind %s:%u: %s\n", FOptions.BindAddress.c_str(),
                     unsigned(FOptions.Port), std::strerror(errno));
        return false;
    }
    const int on = 1;
    setsockopt(FSocket, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    FReplySocket = FSocket;
    if (FOptions.ReplyPort >= 0) {
        // A device that answers from a port of its own, as TFTP servers do.
        sockaddr_in reply = local;
        reply.sin_port = htons(std::uint16_t(FOptions.ReplyPort));
        FReplySocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
        if (FReplySocket < 0 || bind(FReplySocket, reinterpret_cast<sockaddr *>(&reply), sizeof reply) != 0) {
            std::fprintf(stderr, "tftpsim: cannot bind the reply port %d: %s\n", FOptions.ReplyPort,
                         std::strerror(errno));
            return false;
        }
    }
    socklen_t len = sizeof local;
    getsockname(FSocket, reinterpret_cast<sockaddr *>(&local), &len);
    char address[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &local.sin_addr, address, sizeof address);
    std::fprintf(stderr, "listening %s:%u\n", address, unsigned(ntohs(local.sin_port)));
    std::fflush(stderr);
    return true;
}

int Simulator::Run()
{
    if (!FOptions.LogFile.empty()) {
        FLog = std::fopen(FOptions.LogFile.c_str(), "w");
        if (!FLog) {
            std::fprintf(stderr, "tftpsim: cannot open %s: %s\n", FOptions.LogFile.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }

    // Signals stay blocked except inside ppoll, so a stop request is never lost
    // between the check and the wait, and never interrupts a reply half-way.
    struct sigaction action {
    };
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigset_t stopSet, waitMask;
    sigemptyset(&stopSet);
    sigaddset(&stopSet, SIGTERM);
    sigaddset(&stopSet, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSet, &waitMask);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGINT);

    if (!Bind())
        return 1;
    // The default 50 us of timer slack per sleep would add up to several
    // milliseconds over an upload and be charged to the client under test.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    std::vector<std::uint8_t> buffer(65536);
    Clock::time_point lastDatagram = Clock::now();
    while (!StopSignal) {
        int waitMs = MaxPollMs;
        const auto now = Clock::now();
        if (const auto ack = FDevice.Resend(now)) {
            SendTo(*ack, FPeer);
            ++FResent;
        }
        if (const auto due = FDevice.ResendAt())
            waitMs = std::clamp(int(Seconds(*due - now) * 1000) + 1, 1, waitMs);
        if (FOptions.IdleTimeoutSec > 0) {
            const double left = FOptions.IdleTimeoutSec - Seconds(Clock::now() - lastDatagram);
            if (left <= 0)
                break;
            waitMs = std::min(waitMs, int(left * 1000) + 1);
        }
        pollfd fd{FSocket, POLLIN, 0};
        const timespec wait{waitMs / 1000, long(waitMs % 1000) * 1000000L};
        const int ready = ppoll(&fd, 1, &wait, &waitMask);
        if (ready <= 0 || !(fd.revents & POLLIN))
            continue;

        sockaddr_in from{};
        iovec data{buffer.data(), buffer.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
        msghdr message{.msg_name = &from,
                       .msg_namelen = sizeof from,
                       .msg_iov = &data,
                       .msg_iovlen = 1,
                       .msg_control = control,
                       .msg_controllen = sizeof control,
                       .msg_flags = 0};
        const ssize_t got = recvmsg(FSocket, &message, MSG_DONTWAIT);
        if (got < 0)
            continue;
        lastDatagram = ArrivalTime(message);
        Serve({buffer.data(), std::size_t(got)}, from, lastDatagram);
        if (FOptions.Once && FDevice.Transfer().Complete)
            break;
    }

    const auto &transfer = FDevice.Transfer();
    if (transfer.Started && !transfer.Complete)
        SaveFile();
    if (!transfer.Complete || !FOptions.SummaryEach) // --each told of a complete one at once
        PrintSummary();
    return transfer.Complete ? 0 : 3;
}

void Simulator::Serve(std::span<const std::uint8_t> datagram, const sockaddr_in &from, Clock::time_point at)
{
    const bool wasComplete = FDevice.Transfer().Complete;
    const auto answer = FDevice.Receive(datagram, at);
    if (answer.Action == DeviceAction::Drop || answer.Action == DeviceAction::Close) // as if it never came
        ++FDropped;
    const bool completed = !wasComplete && FDevice.Transfer().Complete;
    if (completed) // before the reply, so the file is there once the last ACK is
        SaveFile();
    if (!answer.Replies.empty()) {
        if (FOptions.DelayMs > 0)
            WaitUntil(at + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double, std::milli>(FOptions.DelayMs)));
        for (const auto &reply : answer.Replies)
            SendTo(reply, from);
        FPeer = from;
    }
    Log(at, datagram, answer.Action);
    if (answer.Action == DeviceAction::Close)
        StopListening();
    if (completed && FOptions.SummaryEach)
        PrintSummary();
}

void Simulator::StopListening()
{
    // A restarting device: its port is closed, so the system answers with port unreachable.
    if (FReplySocket != FSocket)
        close(FReplySocket);
    close(FSocket);
    FSocket = FReplySocket = -1;
}

void Simulator::SendTo(std::span<const std::uint8_t> bytes, const sockaddr_in &to)
{
    // Loss on the way back is what --drop is for; a failed send is just another lost reply.
    for (unsigned copy = 0; copy < FOptions.Copies; ++copy)
        sendto(FReplySocket, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&to),
               sizeof to);
}

void Simulator::Log(Clock::time_point at, std::span<const std::uint8_t> datagram, DeviceAction action)
{
    if (!FLog)
        return;
    char opcode[8] = "-", block[8] = "-";
    if (datagram.size() >= 2)
        std::snprintf(opcode, sizeof opcode, "%u", unsigned(datagram[0] << 8 | datagram[1]));
    if (datagram.size() >= 4 && datagram[0] == 0 && datagram[1] == OpData)
        std::snprintf(block, sizeof block, "%u", unsigned(datagram[2] << 8 | datagram[3]));
    std::fprintf(FLog, "%.3f %s %s %zu %s\n", Seconds(at - FStart) * 1000, opcode, block, datagram.size(),
                 ActionName(action));
    std::fflush(FLog);
}

void Simulator::SaveFile()
{
    if (FOptions.OutFile.empty())
        return;
    std::FILE *out = std::fopen(FOptions.OutFile.c_str(), "wb");
    if (!out) {
        std::fprintf(stderr, "tftpsim: cannot write %s: %s\n", FOptions.OutFile.c_str(),
                     std::strerror(errno));
        return;
    }
    const auto &bytes = FDevice.Transfer().Bytes;
    if (!bytes.empty())
        std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fclose(out);
}

void Simulator::PrintSummary()
{
    const auto &t = FDevice.Transfer();
    const double seconds = Seconds((t.Started && !t.Complete ? Clock::now() : t.End) - t.Begin);
    std::printf("{\"file\":%s,\"mode\":%s,\"bytes\":%zu,\"sha256\":\"%s\",\"packets\":%u,\"repeats\":%u,"
                "\"seconds\":%.3f,\"complete\":%s,\"dropped\":%u,\"resent\":%u}\n",
                JsonString(t.File).c_str(), JsonString(t.Mode).c_str(), t.Bytes.size(),
                Sha256::Hex(t.Bytes).c_str(), t.Packets, t.Repeats, seconds, t.Complete ? "true" : "false",
                FDropped, FResent);
    std::fflush(stdout);
}
