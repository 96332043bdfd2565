#include "TftpClient.h"

#include "InterfaceInfo.h"
#include "LoadData.h"
#include "UdpSocket.h"

#include <QCoreApplication>

#include <algorithm>
#include <cerrno>
#include <new>
#include <system_error>

namespace {
constexpr int ReceiveTimeoutMs = 100;
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
    evidence.PortUnreachable = FSocket->PortUnreachableReports();
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
    if (!tftp::IsSingleHostAddress(*remote) || IsLocalBroadcast(*remote, FLocalAddress))
        return trUnknownError;
    FRemoteAddr = *remote;
    // Nothing can reach the device: no point in waiting out three attempts.
    if (!FSocketReady)
        return trTimeout;

    FBlock = 0;
    TTftpResult result = SendWriteRequest();
    if (result != trOK)
        return result;

    FBlock = 1;
    std::size_t offset = 0;
    while (offset < FImage.size()) {
        const std::size_t count = std::min(FImage.size() - offset, tftp::BlockSize);
        result = SendDataBlock(FBlock, offset, count);
        if (result != trOK)
            return result;
        ++FBlock;
        offset += tftp::BlockSize;
        if (offset == FImage.size())
            return SendDataBlock(FBlock, offset, 0); // a full last block needs an empty one to end
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
    return SendWithRetry();
}

TTftpResult TTftpClient::SendDataBlock(unsigned Block, std::size_t Offset, std::size_t Count)
{
    const auto length = tftp::BuildDataPacket(FPacket, Block, FImage, Offset, Count);
    if (!length)
        return trUnknownError;
    FPacketLen = *length;
    return SendWithRetry();
}

TTftpResult TTftpClient::SendWithRetry()
{
    FEvidence.SendError = 0;
    TTftpResult result = trTimeout;
    for (int attempt = 0; attempt < Attempts; ++attempt) {
        result = SendAndWait();
        if (result == trOK)
            break;
    }
    return result;
}

TTftpResult TTftpClient::SendAndWait()
{
    FTimedOut = false;
    FTimer.start(FTimeoutMs);
    FReplyOpcode = -1;
    if (FSocket->SendTo(FPacket, FPacketLen, FRemoteAddr, tftp::Port)) {
        FAnySent = true;
    } else {
        FEvidence.SendError = FSocket->LastSendError();
        // Until a first datagram has gone out no reply can come: a refusal
        // ends the attempt at once.
        if (!FAnySent) {
            FTimer.stop();
            return trTimeout;
        }
    }
    // The timer and the receive thread's deliveries end this loop.
    if (!WaitOver())
        FWaitLoop.exec();
    FTimer.stop();
    return tftp::DecideResult(FTimedOut, FReplyOpcode);
}

bool TTftpClient::WaitOver() const
{
    return FTimedOut || FReplyOpcode > 0;
}

void TTftpClient::TimeoutTimerFired()
{
    FTimedOut = true;
    FTimer.stop();
    FWaitLoop.quit();
}

void TTftpClient::DataReceived(TReceiveThread *, const TReceiveData &Data)
{
    const std::span<const std::uint8_t> datagram(
        Data.Data, static_cast<std::size_t>(std::clamp<std::int32_t>(Data.Len, 0, sizeof Data.Data)));
    const int opcode = tftp::ReplyOpcode(datagram);
    // A datagram without an opcode ends nothing, so it must not stop the clock either.
    if (opcode <= 0)
        return;
    // A late copy of an earlier reply is no reply: the wait and its clock go on.
    if (const auto ack = tftp::AckBlock(datagram); ack && FAckJudge.IsLateCopy(*ack, FBlock))
        return;
    FReplyOpcode = opcode;
    FTimedOut = false;
    FTimer.stop();
    FWaitLoop.quit();
}
