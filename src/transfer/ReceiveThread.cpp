#include "ReceiveThread.h"

#include "TftpPacket.h"
#include "UdpSocket.h"

#include <QMetaObject>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {
constexpr std::size_t ReceiveBufferSize = 2049;
}

TReceiveThread::TReceiveThread(TUdpSocket &Socket) : FSocket(Socket), FThread([this] { Execute(); }) {}

TReceiveThread::~TReceiveThread()
{
    Stop();
    if (FThread.joinable())
        FThread.join();
    // A NotifyListener still queued for this object is discarded by ~QObject.
}

void TReceiveThread::Stop()
{
    std::lock_guard lock(FLock);
    FStop = true;
    // Releases a delivery that waits for a UI thread which is busy destroying us.
    FChanged.notify_all();
}

bool TReceiveThread::IsRunning() const
{
    std::lock_guard lock(FLock);
    return FRunning;
}

bool TReceiveThread::Wait(int TimeoutMs)
{
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, std::chrono::milliseconds(TimeoutMs), [this] { return !FRunning; });
}

void TReceiveThread::Execute()
{
    std::uint8_t buffer[ReceiveBufferSize];
    for (;;) {
        std::uint32_t address = 0;
        std::uint16_t port = 0;
        const long received = FSocket.ReceiveFrom(buffer, sizeof buffer, address, port);
        const auto receivedAt = std::chrono::steady_clock::now();
        // Longer datagrams are cut to what Data holds; the reply's opcode is all that counts.
        const std::size_t kept = std::min<std::size_t>(
            {static_cast<std::size_t>(std::max(received, 0L)), sizeof buffer, sizeof FData.Data});
        std::unique_lock lock(FLock);
        if (FStop)
            break;
        if (received < 0) {
            // Timeout or error: pause so that a failing socket cannot spin.
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        // Without an opcode a datagram can end no wait; a stream of them must
        // not cost the UI thread a hand-over each.
        if (tftp::ReplyOpcode({buffer, kept}) == 0)
            continue;
        // One delivery at a time: the listener must have taken the previous one.
        // It usually has by now, so nobody needs to wake this thread for it:
        // waking a thread is what a hand-over costs most.
        FReaderWaiting = true;
        FChanged.wait(lock, [this] { return !FPending || FStop; });
        FReaderWaiting = false;
        if (FStop)
            break;
        std::memcpy(FData.Data, buffer, kept);
        FData.Len = static_cast<std::int32_t>(kept);
        FData.Port = port;
        FData.Address = address;
        FData.ReceivedAt = receivedAt;
        FData.Valid = true;
        FPending = true;
        lock.unlock();
        QMetaObject::invokeMethod(this, &TReceiveThread::NotifyListener, Qt::QueuedConnection);
    }
    std::lock_guard lock(FLock);
    FRunning = false;
    FChanged.notify_all();
}

void TReceiveThread::NotifyListener()
{
    TReceiveData copy;
    {
        std::lock_guard lock(FLock);
        if (!FPending)
            return;
        copy = FData;
    }
    // The reading thread is parked until FPending clears, so FData stays put meanwhile.
    if (OnReceiveData)
        OnReceiveData(this, copy);
    std::unique_lock lock(FLock);
    FData.Valid = false;
    FData.Len = 0;
    FPending = false;
    const bool readerWaits = FReaderWaiting;
    lock.unlock();
    if (readerWaits)
        FChanged.notify_all();
}
