#pragma once

#include "Ipv4.h"
#include "TftpPacket.h"

#include <QObject>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

// One received datagram as handed to the listener (a copy per delivery).
struct TReceiveData {
    std::uint16_t Port = 0; // sender's port, host order
    TIpv4 Address = 0;      // sender's address
    std::int32_t Len = 0;   // bytes in Data; never more than sizeof(Data)
    std::uint8_t Data[tftp::ReceiveBufferSize] = {};
    std::chrono::steady_clock::time_point ReceivedAt; // when the receive call returned it
};

class TReceiveThread;
class TUdpSocket;
using TReceiveDataEvent = std::function<void(TReceiveThread *Sender, TReceiveData Data)>;

// Reads datagrams from a socket it does not own and delivers each one to
// OnReceiveData on the thread that created it, through
// that thread's event loop, waiting until the listener has run before it
// reads the next one.
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
    std::thread FThread;
};
