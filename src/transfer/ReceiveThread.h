#pragma once

#include <QMutex>
#include <QString>
#include <QThread>
#include <QWaitCondition>

#include <atomic>
#include <cstdint>
#include <functional>

// One received datagram as handed to the listener (a copy per delivery).
struct TReceiveData {
    bool Valid = false;
    std::uint16_t Port = 0; // sender's port, host order
    QString Address;        // sender's address, dotted
    std::int32_t Len = 0;   // bytes in Data; never more than sizeof(Data)
    std::uint8_t Data[1024] = {};
};

class TReceiveThread;
class TUdpSocket;
using TReceiveDataEvent = std::function<void(TReceiveThread *Sender, TReceiveData Data)>;

// Reads datagrams from a socket it does not own and delivers each one to
// OnReceiveData on the thread that created it, waiting until the listener has
// run before it reads the next one.
class TReceiveThread : public QThread
{
    Q_OBJECT
public:
    // Starts at once. Set OnReceiveData right after; datagrams that reach
    // delivery before that are dropped. The socket must outlive the thread.
    explicit TReceiveThread(TUdpSocket &Socket);
    // Stops and joins the thread; a delivery still queued is discarded.
    ~TReceiveThread() override;

    // Asks the loop to end after its current pass; does not wait.
    void Stop();

    TReceiveDataEvent OnReceiveData;

protected:
    void run() override; // Execute

private:
    void NotifyListener();

    TUdpSocket &FSocket;
    std::atomic<bool> FStop{false};
    TReceiveData FData;
    QMutex FLock;
    QWaitCondition FDelivered;
    bool FPending = false; // guarded by FLock
};
