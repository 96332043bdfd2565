#include "PolledUpload.h"

#include "SocketPoll.h"
#include "TftpPacket.h"

#include <algorithm>
#include <thread>
#include <vector>

namespace {
// Datagrams read at one readiness: a stream of junk must not keep the others waiting.
constexpr int ReadsPerWake = 64;
} // namespace

void TPolledUpload::Readable(TTime Now)
{
    std::uint8_t Buffer[tftp::ReceiveBufferSize];
    for (int i = 0; i < ReadsPerWake && !Done(); ++i) {
        TIpv4 From = 0;
        std::uint16_t Port = 0;
        TUdpSocket &Socket = *this->Socket();
        const unsigned ReportsBefore = Socket.PortUnreachableReports();
        const long Received = Socket.ReceiveNow(Buffer, sizeof Buffer, From, Port);
        TakeReports(Now);
        if (Received < 0) {
            // A report was taken in place of a datagram: more may wait behind it.
            if (!Done() && Socket.PortUnreachableReports() != ReportsBefore)
                continue;
            return;
        }
        Datagram(From, Port, {Buffer, std::min<std::size_t>(std::size_t(Received), sizeof Buffer)}, Now);
        // A packet went out: its reply cannot be here yet, and the poll sees whatever else waits.
        if (JustSent())
            return;
    }
}

void ServePolled(std::span<TPolledUpload *const> Uploads, TPollWake &Wake, TPolledUpload::TTime Until,
                 const std::function<bool()> &Stop)
{
    std::vector<TUdpSocket *> Sockets;
    std::vector<TPolledUpload *> Waiting;
    std::vector<bool> Ready;
    for (TPolledUpload *Upload : Uploads) {
        if (Upload->Done())
            continue;
        Waiting.push_back(Upload);
        Sockets.push_back(Upload->Socket());
        Until = std::min(Until, Upload->Until());
    }
    const auto Left =
        std::chrono::ceil<std::chrono::milliseconds>(Until - TUploadMachine::TClock::now()).count();
    const int WaitMs = int(std::clamp<decltype(Left)>(Left, 0, 60000));
    // A wait the system cuts short for no reason of ours must not turn into a spin.
    if (!PollSockets(Sockets, &Wake, WaitMs, Ready) && !(Stop && Stop()))
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(WaitMs, 10)));
    const TPolledUpload::TTime Now = TUploadMachine::TClock::now();
    for (std::size_t i = 0; i < Waiting.size(); ++i) {
        if (i < Ready.size() && Ready[i])
            Waiting[i]->Readable(Now);
        if (!Waiting[i]->Done() && Now >= Waiting[i]->Until())
            Waiting[i]->Timeout(Now);
    }
}

void RunPolled(std::span<TPolledUpload *const> Uploads, TPollWake &Wake, const std::function<bool()> &Stop,
               int TickMs, const std::function<void()> &Tick)
{
    using TClock = TUploadMachine::TClock;
    bool Stopped = false;
    TClock::time_point NextTick = TClock::now();
    for (;;) {
        const TClock::time_point Now = TClock::now();
        if (!Stopped && Stop && Stop()) {
            Stopped = true;
            for (TPolledUpload *Upload : Uploads)
                Upload->Cancel(Now);
        }
        const bool Waiting = std::any_of(Uploads.begin(), Uploads.end(),
                                         [](const TPolledUpload *Upload) { return !Upload->Done(); });
        if (Tick && (!Waiting || Now >= NextTick)) {
            Tick();
            NextTick = Now + std::chrono::milliseconds(TickMs);
        }
        if (!Waiting)
            return;
        ServePolled(Uploads, Wake, Tick ? NextTick : TClock::time_point::max(), Stop);
    }
}
