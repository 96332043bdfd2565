#include "ReceiveThread.h"

#include "UdpSocket.h"

#include <QMetaObject>

#include <algorithm>
#include <chrono>
#include <cstring>

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

void TReceiveThread::Execute()
{
    std::uint8_t buffer[sizeof FData.Data];
    for (;;) {
        std::uint32_t address = 0;
        std::uint16_t port = 0;
        const long received = FSocket.ReceiveFrom(buffer, sizeof buffer, address, port);
        const auto receivedAt = std::chrono::steady_clock::now();
        // Longer datagrams are cut to what Data holds.
        const std::size_t kept =
            std::min<std::size_t>(static_cast<std::size_t>(std::max(received, 0L)), sizeof buffer);
        std::unique_lock lock(FLock);
        if (FStop)
            break;
        if (received < 0) {
            // Timeout or error: pause so that a failing socket cannot spin.
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
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
        FPending = true;
        lock.unlock();
        QMetaObject::invokeMethod(this, &TReceiveThread::NotifyListener, Qt::QueuedConnection);
    }
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
    FData.Len = 0;
    FPending = false;
    const bool readerWaits = FReaderWaiting;
    lock.unlock();
    if (readerWaits)
        FChanged.notify_all();
}
