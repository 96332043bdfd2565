#include "TftpClient.h"

#include "LoadData.h"
#include "UploadDriver.h"

#include <QMetaObject>

#include <algorithm>
#include <cerrno>
#include <new>
#include <system_error>

namespace {
constexpr int ReceiveTimeoutMs = 100;
using TKind = TUploadMachine::TStep::TKind;
} // namespace

TTftpClient::TTftpClient(const QString &LocalAddress, QObject *parent)
    : TTftpClient(LocalAddress, FirmwareBytes(), TimeoutMs, parent)
{}

TTftpClient::TTftpClient(const QString &LocalAddress, std::span<const std::uint8_t> Image, int ReplyTimeoutMs,
                         QObject *parent)
    : QObject(parent), FImage(Image), FTimeoutMs(ReplyTimeoutMs)
{
    FTimer.setTimerType(Qt::PreciseTimer);
    FTimer.setSingleShot(true);
    FTimer.setInterval(FTimeoutMs);
    connect(&FTimer, &QTimer::timeout, this, &TTftpClient::TimeoutTimerFired);

    const std::optional<TIpv4> Local = LocalAddress.isEmpty() ? TIpv4(0) : ipv4::Parse(LocalAddress);
    if (!Local) {
        FEvidence.BindError = TBindError::Other;
        return;
    }
    FLocalAddr = *Local;
    std::unique_ptr<TUdpSocket> Socket = OpenUploadSocket(FLocalAddr, FEvidence);
    if (!Socket)
        return;
    Socket->SetReceiveTimeout(ReceiveTimeoutMs);
    // Without a reader no reply could be seen: better to send nothing at all.
    try {
        FReceiveThread = std::make_unique<TReceiveThread>(*Socket);
    } catch (const std::system_error &Error) {
        FEvidence.ReceiverError = Error.code().value() ? Error.code().value() : -1;
        return;
    } catch (const std::bad_alloc &) {
        FEvidence.ReceiverError = ENOMEM;
        return;
    }
    FSocket = std::move(Socket);
    FReceiveThread->OnReceiveData = [this](TReceiveThread *Sender, const TReceiveData &Data) {
        DataReceived(Sender, Data);
    };
}

TTftpClient::~TTftpClient()
{
    // Wake the thread out of its receive instead of waiting out the 100 ms
    // timeout, then join it (dropping any queued delivery) before the socket goes.
    if (FReceiveThread) {
        FReceiveThread->Stop();
        FSocket->ShutdownReceive();
        FReceiveThread.reset();
    }
    FSocket.reset();
}

void TTftpClient::Cancel()
{
    FCancelled = true;
    QMetaObject::invokeMethod(this, &TTftpClient::Cancelled, Qt::QueuedConnection);
}

TUploadEvidence TTftpClient::Evidence() const
{
    return WithSetUp(FMachine ? FMachine->Evidence() : TUploadEvidence(), FEvidence);
}

TTftpResult TTftpClient::Upload(const QString &Host, const QString &FileName)
{
    FHost = Host;
    FFileName = FileName;
    if (FHost.isEmpty() || FFileName.isEmpty())
        return trUnknownError;
    // Only a well-formed dotted quad is a device address: anything else must not
    // turn into a broadcast or an octal-read neighbour.
    const std::optional<TIpv4> Remote = ipv4::Parse(FHost);
    if (!Remote || !DeviceAddressUsable(*Remote, FLocalAddr, FEvidence))
        return trUnknownError;
    FRemoteAddr = *Remote;
    const QByteArray Name = FFileName.toLatin1();
    FMachine.emplace(TUploadMachine::TConfig{FRemoteAddr,
                                             FImage,
                                             std::string(Name.constData(), std::size_t(Name.size())),
                                             TUploadMachine::TMs(FTimeoutMs),
                                             Attempts,
                                             {}});
    // Nothing can reach the device: no point in waiting out three attempts.
    if (!FSocket)
        return trTimeout;
    FReportsTaken = FSocket->PortUnreachableReports();
    FStep = FMachine->Start(TUploadMachine::TClock::now());
    if (FCancelled)
        FStep = FMachine->Cancel(TUploadMachine::TClock::now());
    while (FStep.Kind != TKind::Done)
        SendAndWait();
    return FStep.Result;
}

void TTftpClient::SendAndWait()
{
    if (FStep.Kind == TKind::Send)
        FStep = PerformSends(*FSocket, FRemoteAddr, *FMachine, FStep);
    if (FStep.Kind != TKind::Wait)
        return;
    // The timer and the receive thread's deliveries end the nested loop; each
    // brings its input to the machine and carries out what it says at once.
    const auto Left =
        std::chrono::ceil<std::chrono::milliseconds>(FStep.Until - TUploadMachine::TClock::now());
    FTimer.start(int(std::clamp<std::chrono::milliseconds::rep>(Left.count(), 0, FTimeoutMs)));
    if (!FWaitLoop)
        FWaitLoop = std::make_unique<QEventLoop>();
    FWaitLoop->exec();
    FTimer.stop();
}

void TTftpClient::Take(TUploadMachine::TStep Step)
{
    // A send goes out before anything else reaches the machine: a reply must
    // never be taken for a packet that has not left yet.
    FStep = Step.Kind == TKind::Send ? PerformSends(*FSocket, FRemoteAddr, *FMachine, Step) : Step;
    QuitWaitLoop();
}

void TTftpClient::TakeReports()
{
    // The receive thread counts them as it meets them; they belong to the packet awaited.
    const unsigned Reports = FSocket->PortUnreachableReports();
    for (; FReportsTaken != Reports; ++FReportsTaken)
        FStep = FMachine->PortUnreachable(TUploadMachine::TClock::now());
}

void TTftpClient::TimeoutTimerFired()
{
    if (!FMachine || FMachine->Done())
        return;
    TakeReports();
    Take(FMachine->Timeout(TUploadMachine::TClock::now()));
}

void TTftpClient::DataReceived(TReceiveThread *, const TReceiveData &Data)
{
    if (!FMachine || FMachine->Done())
        return;
    TakeReports();
    const std::span<const std::uint8_t> Datagram(
        Data.Data, static_cast<std::size_t>(std::clamp<std::int32_t>(Data.Len, 0, sizeof Data.Data)));
    Take(FMachine->Datagram(Data.Address, Data.Port, Datagram, Data.ReceivedAt));
}

void TTftpClient::Cancelled()
{
    if (FMachine && !FMachine->Done())
        Take(FMachine->Cancel(TUploadMachine::TClock::now()));
}

void TTftpClient::QuitWaitLoop()
{
    if (FWaitLoop)
        FWaitLoop->quit();
}
