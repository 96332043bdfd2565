#include "TftpClient.h"

#include "InterfaceInfo.h"
#include "LoadData.h"
#include "UdpSocket.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <algorithm>
#include <cerrno>
#include <new>
#include <system_error>

namespace {
constexpr int ReceiveTimeoutMs = 100;
// An ACK 0 that stands in for a block's ACK must come about as soon as the
// device's replies do: this many times its slowest reply so far, at least
// MinPromptMs. A device repeating ACK 0 because block 1 never reached it
// does so on its own timer, some hundreds of milliseconds on.
constexpr int PromptFactor = 4;
constexpr int MinPromptMs = 250;
// Room for a burst of stray datagrams with the device's reply queued behind it.
constexpr int ReceiveBufferBytes = 1 << 20;

// True when Host is the subnet broadcast of the interface that LocalAddress
// names, or of any interface when LocalAddress is empty: every device on
// that subnet would take the firmware.
bool IsLocalBroadcast(std::uint32_t Host, const QString &LocalAddress)
{
    TNetInterfaceList List;
    List.SetUseDown(true);
    List.SetUseLoopBack(true);
    List.SetUsePPP(true);
    List.Refresh();
    for (int i = 0; i < List.Count(); ++i) {
        if (!LocalAddress.isEmpty() && List.Strings(i) != LocalAddress)
            continue;
        const auto address = tftp::ParseDottedQuad(List.Strings(i).toStdString());
        const auto netmask = tftp::ParseDottedQuad(List.Objects(i)->Netmask.toStdString());
        if (!address || !netmask)
            continue;
        const auto directed = tftp::DirectedBroadcast(*address, *netmask);
        const auto reported = tftp::ParseDottedQuad(List.Objects(i)->Broadcast.toStdString());
        if (directed && (Host == *directed || (reported && Host == *reported)))
            return true;
    }
    return false;
}
} // namespace

TTftpClient::TTftpClient(const QString &LocalAddress, QObject *parent)
    : TTftpClient(LocalAddress, FirmwareBytes(), TimeoutMs, parent)
{}

TTftpClient::TTftpClient(const QString &LocalAddress, std::span<const std::uint8_t> Image, int ReplyTimeoutMs,
                         QObject *parent)
    : QObject(parent), FImage(Image), FTimeoutMs(ReplyTimeoutMs), FLocalAddress(LocalAddress)
{
    FTimer.setTimerType(Qt::PreciseTimer);
    FTimer.setSingleShot(true);
    FTimer.setInterval(FTimeoutMs);
    connect(&FTimer, &QTimer::timeout, this, &TTftpClient::TimeoutTimerFired);

    FSocket = std::make_unique<TUdpSocket>();
    std::optional<std::uint32_t> local = 0; // any address
    if (!LocalAddress.isEmpty())
        local = tftp::ParseDottedQuad(LocalAddress.toStdString());
    FSocket->SetReceiveTimeout(ReceiveTimeoutMs);
    FSocket->SetReceiveBuffer(ReceiveBufferBytes);
    // An unbound socket would send from another port, perhaps out of another
    // interface; such a client sends nothing.
    if (!FSocket->IsOpen() || !local || !FSocket->Bind(*local, tftp::Port)) {
        FEvidence.BindError = FSocket->IsOpen() && local ? FSocket->LastBindError() : TBindError::Other;
        return;
    }
    // The chosen interface is the only way out, also when another one reaches
    // the same subnet.
    if (*local != 0 && !FSocket->KeepToInterfaceOf(*local)) {
        FEvidence.InterfaceNotKept = true;
        return;
    }
    // Without a reader no reply could be seen: better to send nothing at all.
    try {
        FReceiveThread = std::make_unique<TReceiveThread>(*FSocket);
    } catch (const std::system_error &error) {
        FEvidence.ReceiverError = error.code().value() ? error.code().value() : -1;
        return;
    } catch (const std::bad_alloc &) {
        FEvidence.ReceiverError = ENOMEM;
        return;
    }
    FReceiveThread->OnReceiveData = [this](TReceiveThread *Sender, const TReceiveData &Data) {
        DataReceived(Sender, Data);
    };
    FSocketReady = true;
}

void TTftpClient::SetServeEvents(bool Serve)
{
    FServeEvents = Serve;
    if (FReceiveThread)
        FReceiveThread->SetPosted(Serve);
}

void TTftpClient::Cancel()
{
    FCancelled = true;
    if (FReceiveThread)
        FReceiveThread->Interrupt();
    if (FServeEvents)
        QMetaObject::invokeMethod(this, &TTftpClient::QuitWaitLoop, Qt::QueuedConnection);
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

TUploadEvidence TTftpClient::Evidence() const
{
    TUploadEvidence evidence = FEvidence;
    evidence.PortUnreachable = FSocket->PortUnreachableReports() - FPortUnreachableBefore;
    evidence.BlocksAcked = FLedger.Acknowledged();
    evidence.NumberedAcks = FLedger.Numbered();
    return evidence;
}

TTftpResult TTftpClient::Upload(const QString &Host, const QString &FileName)
{
    FHost = Host;
    FFileName = FileName;
    if (FHost.isEmpty() || FFileName.isEmpty())
        return trUnknownError;
    // Only a well-formed dotted quad is a device address: anything else must not
    // turn into a broadcast or an octal-read neighbour.
    const std::optional<std::uint32_t> remote = tftp::ParseDottedQuad(FHost.toStdString());
    if (!remote)
        return trUnknownError;
    // Nor is an address that reaches no device (0.x.x.x would even answer
    // us with our own packets) or every device at once.
    if (!tftp::IsSingleHostAddress(*remote) || IsLocalBroadcast(*remote, FLocalAddress)) {
        FEvidence.AddressUnusable = true;
        return trUnknownError;
    }
    FRemoteAddr = *remote;
    FRemoteText = QString::fromStdString(tftp::FormatDottedQuad(FRemoteAddr));
    FEvidence.Blocks = unsigned(FImage.size() / tftp::BlockSize + 1);
    // Nothing can reach the device: no point in waiting out three attempts.
    if (!FSocketReady)
        return trTimeout;

    FBlock = 0;
    TTftpResult result = SendWriteRequest();
    if (result != trOK)
        return result;
    ReportProgress();

    FBlock = 1;
    std::size_t offset = 0;
    while (offset < FImage.size()) {
        const std::size_t count = std::min(FImage.size() - offset, tftp::BlockSize);
        result = SendDataBlock(FBlock, offset, count);
        if (result == trOK)
            result = ProveEarlierBlocks();
        if (result != trOK)
            return result;
        ReportProgress();
        ++FBlock;
        offset += tftp::BlockSize;
        if (offset == FImage.size()) {
            // A full last block needs an empty one to end.
            result = SendDataBlock(FBlock, offset, 0);
            if (result == trOK)
                result = ProveEarlierBlocks();
            ReportProgress();
            return result;
        }
        if (FServeEvents)
            QCoreApplication::processEvents();
    }
    return trOK;
}

TTftpResult TTftpClient::SendWriteRequest()
{
    const QByteArray name = FFileName.toLatin1();
    const auto length = tftp::BuildWriteRequest(FPacket, std::string_view(name.constData(), name.size()));
    if (!length)
        return trUnknownError;
    FPacketLen = *length;
    // Waiting for a device that is not up yet: the usual spacing, for as long as asked.
    const int attempts = std::max(Attempts, (FWaitForDeviceMs + FTimeoutMs - 1) / FTimeoutMs);
    return SendWithRetry(attempts);
}

TTftpResult TTftpClient::SendDataBlock(unsigned Block, std::size_t Offset, std::size_t Count)
{
    const auto length = tftp::BuildDataPacket(FPacket, Block, FImage, Offset, Count);
    if (!length)
        return trUnknownError;
    FPacketLen = *length;
    return SendWithRetry(Attempts);
}

TTftpResult TTftpClient::ProveEarlierBlocks()
{
    // Once the device numbers its ACKs, the blocks an ACK 0 let through go out
    // again, each until its own ACK comes; then the upload goes on from here.
    const unsigned current = FBlock;
    while (FLedger.Numbered()) {
        const unsigned block = FLedger.FirstUnproven();
        if (block == 0 || block >= current)
            break;
        FBlock = block;
        ++FEvidence.Retries;
        const std::size_t offset = std::size_t(block - 1) * tftp::BlockSize;
        const TTftpResult result =
            SendDataBlock(block, offset, std::min(FImage.size() - offset, tftp::BlockSize));
        if (result != trOK)
            return result;
    }
    FBlock = current;
    return trOK;
}

TTftpResult TTftpClient::SendWithRetry(int Attempts)
{
    // The evidence belongs to the packet that fails.
    FEvidence.Block = FBlock;
    FEvidence.SendError = 0;
    FEvidence.StrayAcks = 0;
    FPortUnreachableBefore = FSocket->PortUnreachableReports();
    TTftpResult result = trTimeout;
    for (int attempt = 0; attempt < Attempts && !FCancelled; ++attempt) {
        if (attempt > 0) {
            ++FEvidence.Retries;
            ReportProgress();
        }
        result = SendAndWait();
        if (result == trOK)
            break;
    }
    return result;
}

TTftpResult TTftpClient::SendAndWait()
{
    if (FCancelled) {
        FEvidence.Interrupted = true;
        return trTimeout;
    }
    FTimedOut = false;
    FReplyOpcode = -1;
    FSentAt = Clock::now();
    if (FServeEvents)
        FTimer.start(FTimeoutMs);
    if (FSocket->SendTo(FPacket, FPacketLen, FRemoteAddr, tftp::Port)) {
        FEvidence.AnySent = true;
        FHighestSent = std::max(FHighestSent, FBlock);
    } else {
        FEvidence.SendError = FSocket->LastSendError();
        // Until a first datagram has gone out no reply can come: a refusal
        // ends the attempt at once.
        if (!FEvidence.AnySent) {
            FTimer.stop();
            return trTimeout;
        }
    }
    WaitForReply();
    FTimer.stop();
    if (FCancelled) {
        FEvidence.Interrupted = true;
        return trTimeout;
    }
    return tftp::DecideResult(FTimedOut, FReplyOpcode);
}

void TTftpClient::WaitForReply()
{
    // The timer and the receive thread's deliveries end the event loop.
    if (FServeEvents) {
        if (!FWaitLoop)
            FWaitLoop = std::make_unique<QEventLoop>();
        if (!WaitOver())
            FWaitLoop->exec();
        return;
    }
    const Clock::time_point deadline = FSentAt + std::chrono::milliseconds(FTimeoutMs);
    while (!WaitOver()) {
        if (!FReceiveThread->DeliverNext(deadline) && Clock::now() >= deadline)
            FTimedOut = true;
    }
}

bool TTftpClient::WaitOver() const
{
    return FTimedOut || FReplyOpcode > 0 || FCancelled;
}

void TTftpClient::TimeoutTimerFired()
{
    FTimedOut = true;
    FTimer.stop();
    QuitWaitLoop();
}

void TTftpClient::DataReceived(TReceiveThread *, const TReceiveData &Data)
{
    const std::span<const std::uint8_t> datagram(
        Data.Data, static_cast<std::size_t>(std::clamp<std::int32_t>(Data.Len, 0, sizeof Data.Data)));
    const int opcode = tftp::ReplyOpcode(datagram);
    // A datagram without an opcode ends nothing, so it must not stop the clock either.
    if (opcode <= 0)
        return;
    // Only the device answers for the device; any port of it will do.
    if (Data.Address != FRemoteText) {
        if (FEvidence.Foreign++ == 0)
            FEvidence.ForeignAddress = Data.Address;
        return;
    }
    const Clock::duration took = Data.ReceivedAt - FSentAt;
    if (opcode == tftp::OpAck) {
        // An ACK too short to carry a number says no more than ACK 0.
        const auto prompt =
            std::clamp<Clock::duration>(PromptFactor * FSlowestReply, std::chrono::milliseconds(MinPromptMs),
                                        std::chrono::milliseconds(FTimeoutMs));
        if (FLedger.Judge(tftp::AckBlock(datagram).value_or(0), FBlock, FHighestSent, took <= prompt) ==
            tftp::TAckLedger::TVerdict::NotAReply) {
            ++FEvidence.StrayAcks;
            return;
        }
        if (FBlock == 0)
            FEvidence.WrqReplyPort = Data.Port;
        FSlowestReply = std::max(FSlowestReply, took);
    }
    FReplyOpcode = opcode;
    FTimedOut = false;
    FTimer.stop();
    QuitWaitLoop();
}

void TTftpClient::ReportProgress()
{
    if (!OnProgress)
        return;
    TUploadProgress progress;
    progress.Blocks = unsigned(FImage.size() / tftp::BlockSize + 1);
    progress.BlocksAcked = FLedger.Acknowledged();
    progress.BytesAcked = std::min(FImage.size(), std::size_t(progress.BlocksAcked) * tftp::BlockSize);
    progress.Retries = FEvidence.Retries;
    progress.AwaitingDevice = FEvidence.WrqReplyPort == 0;
    OnProgress(progress);
}

void TTftpClient::QuitWaitLoop()
{
    if (FWaitLoop)
        FWaitLoop->quit();
}
