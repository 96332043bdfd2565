#include "PolledUpload.h"

#include "SocketPoll.h"
#include "UploadDriver.h"

#include <algorithm>
#include <thread>
#include <vector>

namespace {
using TKind = TUploadMachine::TStep::TKind;
// Datagrams read at one readiness: a stream of junk must not keep the others waiting.
constexpr int ReadsPerWake = 64;
} // namespace

TPolledUpload::TPolledUpload(TIpv4 Local, std::span<const std::uint8_t> Image,
                             TUploadMachine::TMs AttemptTimeout)
    : FImage(Image), FAttemptTimeout(AttemptTimeout), FLocal(Local)
{
    FSocket = OpenUploadSocket(FLocal, FEvidence);
}

void TPolledUpload::Start(TIpv4 Device, const std::string &FileName, TTime Now)
{
    FDevice = Device;
    FStep = {TKind::Done, {}, Now, trUnknownError};
    FFinishedAt = Now;
    if (!DeviceAddressUsable(Device, FLocal, FEvidence))
        return;
    FMachine.emplace(TUploadMachine::TConfig{Device, FImage, FileName, FAttemptTimeout,
                                             TUploadMachine::AttemptCount, FWaitForDevice});
    // Nothing can reach the device: no point in waiting out the attempts.
    if (!FSocket) {
        FStep.Result = trTimeout;
        return;
    }
    FReportsTaken = FSocket->PortUnreachableReports();
    Take(FMachine->Start(Now), Now);
}

TUploadEvidence TPolledUpload::Evidence() const
{
    return WithSetUp(FMachine ? FMachine->Evidence() : TUploadEvidence(), FEvidence);
}

TUploadProgress TPolledUpload::Progress() const
{
    return FMachine ? FMachine->Progress() : TUploadProgress();
}

void TPolledUpload::Take(TUploadMachine::TStep Step, TTime Now)
{
    // A send goes out before anything else reaches the machine.
    FStep = PerformSends(*FSocket, FDevice, *FMachine, Step);
    if (Done())
        FFinishedAt = Now;
}

void TPolledUpload::TakeReports(TTime Now)
{
    const unsigned Reports = FSocket->PortUnreachableReports();
    for (; FReportsTaken != Reports; ++FReportsTaken)
        FStep = FMachine->PortUnreachable(Now);
}

void TPolledUpload::Readable(TTime Now)
{
    std::uint8_t Buffer[2049];
    for (int i = 0; i < ReadsPerWake && !Done(); ++i) {
        TIpv4 From = 0;
        std::uint16_t Port = 0;
        const unsigned ReportsBefore = FSocket->PortUnreachableReports();
        const long Received = FSocket->ReceiveNow(Buffer, sizeof Buffer, From, Port);
        TakeReports(Now);
        if (Received < 0) {
            // A report was taken in place of a datagram: more may wait behind it.
            if (FSocket->PortUnreachableReports() != ReportsBefore)
                continue;
            return;
        }
        const std::size_t Kept = std::min<std::size_t>(std::size_t(Received), sizeof Buffer);
        const TUploadMachine::TStep Next = FMachine->Datagram(From, Port, {Buffer, Kept}, Now);
        Take(Next, Now);
        // A packet went out: its reply cannot be here yet, and the poll sees whatever else waits.
        if (Next.Kind == TKind::Send)
            return;
    }
}

void TPolledUpload::Timeout(TTime Now)
{
    if (Done())
        return;
    TakeReports(Now);
    Take(FMachine->Timeout(Now), Now);
}

void TPolledUpload::Cancel(TTime Now)
{
    if (FMachine && !Done())
        Take(FMachine->Cancel(Now), Now);
}

void RunPolled(std::span<TPolledUpload *const> Uploads, TPollWake &Wake, const std::function<bool()> &Stop,
               int TickMs, const std::function<void()> &Tick)
{
    using TClock = TUploadMachine::TClock;
    bool Stopped = false;
    TClock::time_point NextTick = TClock::now();
    std::vector<TUdpSocket *> Sockets;
    std::vector<TPolledUpload *> Waiting;
    std::vector<bool> Ready;
    for (;;) {
        TClock::time_point Now = TClock::now();
        if (!Stopped && Stop && Stop()) {
            Stopped = true;
            for (TPolledUpload *Upload : Uploads)
                Upload->Cancel(Now);
        }
        Sockets.clear();
        Waiting.clear();
        TClock::time_point Until = TClock::time_point::max();
        for (TPolledUpload *Upload : Uploads) {
            if (Upload->Done())
                continue;
            Waiting.push_back(Upload);
            Sockets.push_back(Upload->Socket());
            Until = std::min(Until, Upload->Until());
        }
        if (Tick && (Waiting.empty() || Now >= NextTick)) {
            Tick();
            NextTick = Now + std::chrono::milliseconds(TickMs);
        }
        if (Waiting.empty())
            return;
        if (Tick)
            Until = std::min(Until, NextTick);
        const auto Left = std::chrono::ceil<std::chrono::milliseconds>(Until - Now).count();
        const int WaitMs = int(std::clamp<decltype(Left)>(Left, 0, 60000));
        // A wait the system cuts short for no reason of ours must not turn into a spin.
        if (!PollSockets(Sockets, &Wake, WaitMs, Ready) && !(Stop && Stop()))
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(WaitMs, 10)));
        Now = TClock::now();
        for (std::size_t i = 0; i < Waiting.size(); ++i) {
            if (i < Ready.size() && Ready[i])
                Waiting[i]->Readable(Now);
            if (!Waiting[i]->Done() && Now >= Waiting[i]->Until())
                Waiting[i]->Timeout(Now);
        }
    }
}
