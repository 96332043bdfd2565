#include "UploadDriver.h"

#include "LocalAddresses.h"
#include "SystemAdvice.h"
#include "TftpPacket.h"

namespace {
using TKind = TUploadMachine::TStep::TKind;
// Room for a burst of stray datagrams with the device's reply queued behind it.
constexpr int ReceiveBufferBytes = 1 << 20;
} // namespace

TSetUp CheckedAddress(TIpv4 Device, TIpv4 Local)
{
    TSetUp Found;
    const TDeviceAddressCheck Check = CheckDeviceAddress(Device, Local);
    Found.AddressUnusable = Check == TDeviceAddressCheck::NotOneDevice;
    Found.AddressIsOwn = Check == TDeviceAddressCheck::OwnAddress;
    return Found;
}

TUploadDriver::TUploadDriver(TIpv4 Local, std::span<const std::uint8_t> Image, const TUploadLimits &Limits)
    : FImage(Image), FLimits(Limits), FLocal(Local)
{
    FStep.Kind = TKind::Wait;
    auto Socket = std::make_unique<TUdpSocket>();
    Socket->SetReceiveBuffer(ReceiveBufferBytes);
    // An unbound socket would send from another port, perhaps out of another
    // interface; such an upload sends nothing.
    if (!Socket->IsOpen() || !Socket->Bind(Local, tftp::Port)) {
        FSetUp.BindError = Socket->IsOpen() ? Socket->LastBindError() : TBindError::Other;
        if (FSetUp.BindError == TBindError::NoPermission)
            DescribePortRefusal(FSetUp);
        return;
    }
    // The chosen interface is the only way out, also when another one reaches
    // the same subnet.
    if (Local != 0 && !Socket->KeepToInterfaceOf(Local)) {
        FSetUp.InterfaceError = Socket->LastInterfaceError() ? Socket->LastInterfaceError() : -1;
        return;
    }
    FSocket = std::move(Socket);
}

TUploadDriver::~TUploadDriver() = default;

void TUploadDriver::ReaderFailed(int Code)
{
    FSetUp.ReceiverError = Code ? Code : -1;
    FSocket.reset();
}

void TUploadDriver::Start(TIpv4 Device, const std::string &FileName, TTime Now)
{
    FDevice = Device;
    FMachine.emplace(TUploadMachine::TConfig{Device, FImage, FileName, FLimits.AttemptTimeout,
                                             FLimits.Attempts, FLimits.WaitForDevice});
    const TSetUp Checked = CheckedAddress(Device, FLocal);
    FSetUp.AddressUnusable = Checked.AddressUnusable;
    FSetUp.AddressIsOwn = Checked.AddressIsOwn;
    // Nothing can reach the device: no point in waiting out the attempts.
    if (FSetUp.NothingCanBeSent() || !FSocket) {
        Take(FMachine->SetUpFailed(FSetUp, Now), Now);
        return;
    }
    FReportsTaken = FSocket->PortUnreachableReports();
    Take(FMachine->Start(Now), Now);
}

void TUploadDriver::Take(TStep Step, TTime Now)
{
    // The unit that answers is known by where its packets go: read as it first answers.
    if (!FHeard && FMachine->Evidence().DeviceHeard) {
        FHeard = true;
        FFirstMac = QueryNeighbourEntry(FLocal, FDevice).Mac;
        if (FAdmit && !FAdmit(FFirstMac)) {
            FAdmitted = false;
            Step = FMachine->Cancel(Now);
        }
    }
    FJustSent = Step.Kind == TKind::Send;
    // Each refusal ends an attempt or gives way to waiting, so this ends
    // within the attempts of one packet; the bound only makes that plain.
    for (int Tries = 0; Step.Kind == TKind::Send && Tries < 1000; ++Tries) {
        if (FSocket->SendTo(Step.Packet.data(), Step.Packet.size(), FDevice, tftp::Port))
            Step = {TKind::Wait, {}, Step.Until, trTimeout};
        else
            Step = FMachine->SendRefused(FSocket->LastSendError(), TUploadMachine::TClock::now());
    }
    FStep = Step;
    if (!Done())
        return;
    FFinishedAt = Now;
    FEndedAt = std::chrono::system_clock::now();
    // Still there at the end: the same unit answered throughout.
    if (FHeard)
        FLastMac = QueryNeighbourEntry(FLocal, FDevice).Mac;
}

void TUploadDriver::TakeReports(TTime Now)
{
    if (!FMachine)
        return;
    // The socket counts them as it meets them; they belong to the packet awaited.
    const unsigned Reports = FSocket ? FSocket->PortUnreachableReports() : FReportsTaken;
    for (; FReportsTaken != Reports && !Done(); ++FReportsTaken)
        Take(FMachine->PortUnreachable(Now), Now);
    FReportsTaken = Reports;
}

void TUploadDriver::Datagram(TIpv4 From, std::uint16_t Port, std::span<const std::uint8_t> Bytes, TTime At)
{
    TakeReports(At);
    if (FMachine && !Done())
        Take(FMachine->Datagram(From, Port, Bytes, At), At);
}

void TUploadDriver::Timeout(TTime Now)
{
    TakeReports(Now);
    if (FMachine && !Done())
        Take(FMachine->Timeout(Now), Now);
}

void TUploadDriver::Cancel(TTime Now)
{
    if (FMachine && !Done())
        Take(FMachine->Cancel(Now), Now);
}

TOutcome TUploadDriver::Outcome() const
{
    return FMachine ? FMachine->Outcome() : TOutcome::NotSent;
}

TUploadEvidence TUploadDriver::Evidence() const
{
    if (FMachine)
        return FMachine->Evidence();
    TUploadEvidence SetUpOnly;
    SetUpOnly.SetUp = FSetUp;
    return SetUpOnly;
}

TUploadProgress TUploadDriver::Progress() const
{
    return FMachine ? FMachine->Progress() : TUploadProgress();
}
