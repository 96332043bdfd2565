#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

// One received datagram as handed to the listener (a copy per delivery).
struct TReceiveData {
    bool Valid = false;
    std::uint16_t Port = 0; // sender's port, host order
    QString Address;        // sender's address, dotted
    std::int32_t Len = 0;   // bytes in Data; never more than sizeof(Data)
    std::uint8_t Data[1024] = {};
    std::chrono::steady_clock::time_point ReceivedAt; // when the receive call returned it
};

class TReceiveThread;
class TUdpSocket;
using TReceiveDataEvent = std::function<void(TReceiveThread *Sender, TReceiveData Data)>;

// Reads datagrams from a socket it does not own and delivers each one that
// carries an opcode to OnReceiveData on the thread that created it, waiting
// until the listener has run before it reads the next one. The delivery is
// posted to that thread's event loop, or, for a thread that serves no events,
// taken there by DeliverNext.
//
// The reader is a plain thread with no event loop of its own: it needs no
// file descriptors, so running short of them cannot stop it from starting.
class TReceiveThread : public QObject
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
    bool IsRunning() const;
    // Waits up to TimeoutMs for the loop to end; true when it has.
    bool Wait(int TimeoutMs);

    // Deliveries are posted to the creating thread's event loop (the default),
    // or wait there for DeliverNext.
    void SetPosted(bool Posted) { FPosted = Posted; }
    // On the creating thread: waits until Deadline for a datagram and runs the
    // listener on it; false when none came by then or Interrupt was called.
    bool DeliverNext(std::chrono::steady_clock::time_point Deadline);
    // Ends a DeliverNext that waits now, from any thread.
    void Interrupt();

    TReceiveDataEvent OnReceiveData;

private:
    void Execute();
    void NotifyListener();

    TUdpSocket &FSocket;
    TReceiveData FData;
    mutable std::mutex FLock;
    std::condition_variable FChanged;
    bool FStop = false;          // guarded by FLock
    bool FPending = false;       // guarded by FLock
    bool FReaderWaiting = false; // guarded by FLock: the reader waits for FPending to clear
    bool FRunning = true;        // guarded by FLock
    bool FInterrupted = false;   // guarded by FLock
    std::atomic<bool> FPosted{true};
    std::thread FThread;
};
