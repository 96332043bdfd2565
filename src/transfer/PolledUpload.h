#pragma once

#include "Ipv4.h"
#include "TftpResult.h"
#include "UdpSocket.h"
#include "UploadEvidence.h"
#include "UploadMachine.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

// The console's driver of an upload: no thread and no event loop of its own.
// Whoever runs it waits on Socket() (with PollSockets, together with other
// uploads' sockets) until Until(), and calls Readable or Timeout; a reply is
// answered straight from there.
class TPollWake;

class TPolledUpload
{
public:
    using TTime = TUploadMachine::TTime;

    // Binds port 69 of Local (0: any address) at once.
    explicit TPolledUpload(
        TIpv4 Local, std::span<const std::uint8_t> Image,
        TUploadMachine::TMs AttemptTimeout = TUploadMachine::TMs(TUploadMachine::AttemptMs));

    // Before Start: the write request goes out every attempt's limit until the
    // device answers or this has passed.
    void SetWaitForDevice(TUploadMachine::TMs Wait) { FWaitForDevice = Wait; }
    // Sends the write request, unless nothing can be sent; then it is done at once.
    void Start(TIpv4 Device, const std::string &FileName, TTime Now);

    bool Done() const { return FStep.Kind == TUploadMachine::TStep::TKind::Done; }
    TTftpResult Result() const { return FStep.Result; }
    // When it was over.
    TTime FinishedAt() const { return FFinishedAt; }
    TUploadEvidence Evidence() const;
    TUploadProgress Progress() const;

    // What to wait on, and until when; no socket once done.
    TUdpSocket *Socket() const { return Done() ? nullptr : FSocket.get(); }
    TTime Until() const { return FStep.Until; }
    // The socket has datagrams or reports queued.
    void Readable(TTime Now);
    // Until() has come.
    void Timeout(TTime Now);
    // Ends it after the packet in flight; nothing more is sent.
    void Cancel(TTime Now);

private:
    void Take(TUploadMachine::TStep Step, TTime Now);
    void TakeReports(TTime Now);

    std::span<const std::uint8_t> FImage;
    TUploadMachine::TMs FAttemptTimeout;
    TUploadMachine::TMs FWaitForDevice{0};
    TIpv4 FLocal;
    TIpv4 FDevice = 0;
    std::unique_ptr<TUdpSocket> FSocket;
    std::optional<TUploadMachine> FMachine;
    TUploadMachine::TStep FStep;
    unsigned FReportsTaken = 0;
    TTime FFinishedAt{};
    TUploadEvidence FEvidence; // what the set-up found
};

// Runs Uploads side by side on this thread, each waiting on its own socket,
// until every one is done; once Stop() holds, each ends after the packet in
// flight. Tick, when given, runs every TickMs and once at the end.
void RunPolled(std::span<TPolledUpload *const> Uploads, TPollWake &Wake, const std::function<bool()> &Stop,
               int TickMs = 0, const std::function<void()> &Tick = {});
