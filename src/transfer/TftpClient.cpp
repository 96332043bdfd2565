#include "TftpClient.h"

#include <algorithm>
#include <cerrno>
#include <new>
#include <system_error>

namespace {
constexpr int ReceiveTimeoutMs = 100;
using TClock = TUploadMachine::TClock;
} // namespace

TTftpClient::TTftpClient(TIpv4 Local, std::span<const std::uint8_t> Image, const TUploadLimits &Limits,
                         QObject *parent)
    : QObject(parent), FDriver(Local, Image, Limits), FTimeoutMs(int(Limits.AttemptTimeout.count()))
{
    FTimer.setTimerType(Qt::PreciseTimer);
    FTimer.setSingleShot(true);
    connect(&FTimer, &QTimer::timeout, this, &TTftpClient::TimeoutTimerFired);
    TUdpSocket *Socket = FDriver.Socket();
    if (!Socket)
        return;
    Socket->SetReceiveTimeout(ReceiveTimeoutMs);
    // Without a reader no reply could be seen: better to send nothing at all.
    try {
        FReceiveThread = std::make_unique<TReceiveThread>(*Socket);
    } catch (const std::system_error &Error) {
        FDriver.ReaderFailed(Error.code().value());
        return;
    } catch (const std::bad_alloc &) {
        FDriver.ReaderFailed(ENOMEM);
        return;
    }
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
        FDriver.ShutdownReceive();
        FReceiveThread.reset();
    }
}

TTftpResult TTftpClient::Upload(TIpv4 Device, const std::string &FileName)
{
    FDriver.Start(Device, FileName, TClock::now());
    while (!FDriver.Done())
        SendAndWait();
    return FDriver.Result();
}

void TTftpClient::SendAndWait()
{
    // The timer and the receive thread's deliveries end the nested loop; each
    // brings its input to the machine, which sends what it says at once.
    const auto Left = std::chrono::ceil<std::chrono::milliseconds>(FDriver.Until() - TClock::now());
    FTimer.start(int(std::clamp<std::chrono::milliseconds::rep>(Left.count(), 0, FTimeoutMs)));
    FWaitLoop.exec();
    FTimer.stop();
}

void TTftpClient::TimeoutTimerFired()
{
    FDriver.Timeout(TClock::now());
    FWaitLoop.quit();
}

void TTftpClient::DataReceived(TReceiveThread *, const TReceiveData &Data)
{
    FDriver.Datagram(
        Data.Address, Data.Port,
        {Data.Data, static_cast<std::size_t>(std::clamp<std::int32_t>(Data.Len, 0, sizeof Data.Data))},
        Data.ReceivedAt);
    FWaitLoop.quit();
}
