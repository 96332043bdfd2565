#pragma once

// What the window's and the console's drivers of an upload share: the checks
// before anything is sent, the socket, the machine, and carrying out its steps.
// A driver brings the inputs from its own loop; a step's packet leaves at once,
// before the machine hears anything more, so no reply is ever taken for a
// packet that has not left yet.

#include "Ipv4.h"
#include "Neighbour.h"
#include "UdpSocket.h"
#include "UploadEvidence.h"
#include "UploadMachine.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

// The limits of an upload, given once by each program's entry point.
struct TUploadLimits {
    TUploadMachine::TMs AttemptTimeout{TUploadMachine::AttemptMs};
    int Attempts = TUploadMachine::AttemptCount;
    TUploadMachine::TMs WaitForDevice{0}; // the console's --wait
};

// What keeps Device from being uploaded to from Local (0: any interface): a
// broadcast, say, or this PC's own address. Asks the interface table.
TSetUp CheckedAddress(TIpv4 Device, TIpv4 Local);

class TUploadDriver
{
public:
    using TTime = TUploadMachine::TTime;
    using TStep = TUploadMachine::TStep;

    // Binds port 69 of Local (0: any address) at once, kept to its interface.
    TUploadDriver(TIpv4 Local, std::span<const std::uint8_t> Image, const TUploadLimits &Limits);
    ~TUploadDriver();
    TUploadDriver(const TUploadDriver &) = delete;
    TUploadDriver &operator=(const TUploadDriver &) = delete;

    // No reader of the replies could start (the system's code): nothing will be sent.
    void ReaderFailed(int Code);
    // Asked once, when the device first answers, with the hardware address its packets
    // go to: false ends the upload there, before another packet leaves.
    void SetAdmission(std::function<bool(const std::optional<TMac> &Mac)> Admit)
    {
        FAdmit = std::move(Admit);
    }
    // Sends the write request to Device, unless nothing can be sent: then it is done at once.
    void Start(TIpv4 Device, const std::string &FileName, TTime Now);

    // The inputs, each answered at once; none once done.
    void Datagram(TIpv4 From, std::uint16_t Port, std::span<const std::uint8_t> Bytes, TTime At);
    void Timeout(TTime Now);
    // Ends it after the packet in flight; nothing more is sent.
    void Cancel(TTime Now);
    // Brings the machine the reports of a closed port that the socket counted since.
    void TakeReports(TTime Now);

    bool Done() const { return FStep.Kind == TStep::TKind::Done; }
    // The last step asked for a Send: its reply cannot be here yet.
    bool JustSent() const { return FJustSent; }
    TTime Until() const { return FStep.Until; }
    TTime FinishedAt() const { return FFinishedAt; }
    // When it was over, by the calendar.
    std::chrono::system_clock::time_point EndedAt() const { return FEndedAt; }
    // Whether the device answered, and whether the admission let the upload go on then.
    bool DeviceHeard() const { return FHeard; }
    bool Admitted() const { return FAdmitted; }
    // The hardware address of the unit that answered: what the neighbour table held
    // when it first answered and still holds at the end; nothing when that changed,
    // or cannot be read, or the device never answered.
    std::optional<TMac> DeviceMac() const { return FFirstMac == FLastMac ? FFirstMac : std::nullopt; }
    TOutcome Outcome() const;
    TTftpResult Result() const { return FStep.Result; }
    TUploadEvidence Evidence() const;
    TUploadProgress Progress() const;
    TIpv4 Local() const { return FLocal; }
    TIpv4 Device() const { return FDevice; }
    // Where the replies come; none when nothing can be sent, or once done.
    TUdpSocket *Socket() const { return Done() ? nullptr : FSocket.get(); }
    // Wakes a reader blocked on the socket, for good.
    void ShutdownReceive()
    {
        if (FSocket)
            FSocket->ShutdownReceive();
    }

private:
    void Take(TStep Step, TTime Now);

    std::span<const std::uint8_t> FImage;
    TUploadLimits FLimits;
    TIpv4 FLocal;
    TIpv4 FDevice = 0;
    TSetUp FSetUp; // what opening the socket found
    std::unique_ptr<TUdpSocket> FSocket;
    std::optional<TUploadMachine> FMachine;
    TStep FStep;
    bool FJustSent = false;
    bool FHeard = false;
    bool FAdmitted = true;
    std::function<bool(const std::optional<TMac> &)> FAdmit;
    std::optional<TMac> FFirstMac, FLastMac;
    std::chrono::system_clock::time_point FEndedAt{};
    unsigned FReportsTaken = 0;
    TTime FFinishedAt{};
};
