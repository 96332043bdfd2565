#include "ReceiveThread.h"

#include "TftpPacket.h"
#include "UdpSocket.h"

#include <QMetaObject>

#include <algorithm>
#include <cstring>

namespace {
constexpr std::size_t ReceiveBufferSize = 2049;
}

TReceiveThread::TReceiveThread(TUdpSocket &Socket) : FSocket(Socket)
{
    start();
}

TReceiveThread::~TReceiveThread()
{
    Stop();
    wait();
    // A NotifyListener still queued for this object is discarded by ~QObject.
}

void TReceiveThread::Stop()
{
    QMutexLocker lock(&FLock);
    FStop = true;
    // Releases a delivery that waits for a UI thread which is busy destroying us.
    FDelivered.wakeAll();
}

void TReceiveThread::run()
{
    std::uint8_t buffer[ReceiveBufferSize];
    do {
        std::uint32_t address = 0;
        std::uint16_t port = 0;
        const long received = FSocket.ReceiveFrom(buffer, sizeof buffer, address, port);
        if (received > 0) {
            QMutexLocker lock(&FLock);
            if (FStop)
                break;
            // Longer datagrams are cut to what Data holds; the reply's opcode is all that counts.
            const std::size_t kept =
                std::min<std::size_t>({static_cast<std::size_t>(received), sizeof buffer, sizeof FData.Data});
            std::memcpy(FData.Data, buffer, kept);
            FData.Len = static_cast<std::int32_t>(kept);
            FData.Port = port;
            FData.Address = QString::fromStdString(tftp::FormatDottedQuad(address));
            FData.Valid = true;
            FPending = true;
            QMetaObject::invokeMethod(this, &TReceiveThread::NotifyListener, Qt::QueuedConnection);
            while (FPending && !FStop)
                FDelivered.wait(&FLock);
            if (FStop)
                break;
        }
        QThread::msleep(1);
    } while (!FStop);
}

void TReceiveThread::NotifyListener()
{
    TReceiveData copy;
    {
        QMutexLocker lock(&FLock);
        if (!FPending)
            return;
        copy = FData;
    }
    // The reading thread is parked until FPending clears, so FData stays put meanwhile.
    if (OnReceiveData)
        OnReceiveData(this, copy);
    QMutexLocker lock(&FLock);
    FData.Valid = false;
    FData.Len = 0;
    FPending = false;
    FDelivered.wakeAll();
}
