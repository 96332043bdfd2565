#pragma once

#include "ReceiveThread.h"
#include "TftpPacket.h"
#include "TftpResult.h"
#include "UdpSocket.h"

#include <QEventLoop>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

// What the PC itself saw of an upload, for telling the user why it failed.
struct TUploadEvidence {
    // Set when nothing could be sent at all; the upload then ends at once.
    bool AddressUnusable = false;            // the host names no single device: a broadcast, say
    TBindError BindError = TBindError::None; // port 69 could not be bound
    bool InterfaceNotKept = false;           // sends could not be kept to the chosen interface
    int ReceiverError = 0;                   // the receive thread did not start: the system's code

    // Of the packet the upload ended on: 0 the WRQ, n DATA block n.
    unsigned Block = 0;
    int SendError = 0;            // the system refused its last send: its code (errno, WSA)
    unsigned PortUnreachable = 0; // reports that nothing listens on the device's port 69
    unsigned StrayAcks = 0;       // ACKs from the device that did not acknowledge it

    // Of the whole upload.
    unsigned Blocks = 0;            // DATA blocks of the image
    unsigned BlocksAcked = 0;       // of them acknowledged by the device
    bool NumberedAcks = false;      // the device acknowledged a block by its number
    std::uint16_t WrqReplyPort = 0; // the port the device answered the WRQ from; 0: no answer
    unsigned Foreign = 0;           // datagrams from other addresses, dropped unread
    QString ForeignAddress;         // the first of their senders
    unsigned Retries = 0;           // packets sent again
    bool AnySent = false;           // a datagram left for the device
    bool Interrupted = false;       // Cancel() ended it

    bool NothingCouldBeSent() const
    {
        return BindError != TBindError::None || InterfaceNotKept || ReceiverError != 0;
    }
    // Nothing reached the network: no socket, no address to send to, or every send refused.
    bool NotSent() const { return NothingCouldBeSent() || AddressUnusable || (!AnySent && !Interrupted); }
};

// How far an upload has come, as it goes.
struct TUploadProgress {
    unsigned Blocks = 0;
    unsigned BlocksAcked = 0;
    std::size_t BytesAcked = 0;
    unsigned Retries = 0;
    bool AwaitingDevice = true; // the WRQ has had no answer yet
};

// Sends the built-in firmware image to a device by TFTP write, one packet in
// flight, up to three attempts of 3,000 ms each per packet. Keeps the events
// of its thread served while it waits, unless told that nobody needs them.
// One client, one upload.
class TTftpClient : public QObject
{
    Q_OBJECT
public:
    static constexpr int TimeoutMs = 3000;
    static constexpr int Attempts = 3;

    // LocalAddress: dotted address of the interface facing the device, empty for any.
    explicit TTftpClient(const QString &LocalAddress, QObject *parent = nullptr);
    // Same, sending Image with a limit of ReplyTimeoutMs per attempt (tests and benchmarks).
    TTftpClient(const QString &LocalAddress, std::span<const std::uint8_t> Image,
                int ReplyTimeoutMs = TimeoutMs, QObject *parent = nullptr);
    ~TTftpClient() override;

    // Before Upload: the WRQ goes out every ReplyTimeoutMs until the device
    // answers or Ms have passed (at least the usual attempts).
    void SetWaitForDevice(int Ms) { FWaitForDeviceMs = Ms; }
    // Before Upload: wait for replies without serving the thread's events, for
    // a thread without an event loop; replies then reach it sooner.
    void SetServeEvents(bool Serve);
    // Called on the upload's thread whenever it has come further.
    std::function<void(const TUploadProgress &)> OnProgress;

    TTftpResult Upload(const QString &Host, const QString &FileName);
    // From any thread: the upload ends at once, with no further packet.
    void Cancel();
    TUploadEvidence Evidence() const;

private:
    using Clock = std::chrono::steady_clock;

    TTftpResult SendWriteRequest();
    TTftpResult SendDataBlock(unsigned Block, std::size_t Offset, std::size_t Count);
    TTftpResult ProveEarlierBlocks();
    TTftpResult SendWithRetry(int Attempts);
    TTftpResult SendAndWait();
    void WaitForReply();
    void TimeoutTimerFired();
    void DataReceived(TReceiveThread *Sender, const TReceiveData &Data);
    bool WaitOver() const;
    void ReportProgress();
    void QuitWaitLoop();

    std::span<const std::uint8_t> FImage;
    int FTimeoutMs;
    int FWaitForDeviceMs = 0;
    bool FServeEvents = true;
    QString FLocalAddress; // dotted, empty for any
    QString FHost;
    QString FRemoteText; // FRemoteAddr, dotted as the receive thread writes senders
    QString FFileName;
    std::unique_ptr<TUdpSocket> FSocket;
    bool FSocketReady = false;     // bound where asked and heard by a receive thread
    std::uint32_t FRemoteAddr = 0; // host order; port is always 69
    QTimer FTimer;
    std::unique_ptr<QEventLoop> FWaitLoop; // made when first needed: only where events are served
    bool FTimedOut = false;
    std::atomic<bool> FCancelled{false};
    std::uint8_t FPacket[tftp::PacketBufferSize] = {};
    std::size_t FPacketLen = 0;
    int FReplyOpcode = -1;
    unsigned FBlock = 0;
    unsigned FHighestSent = 0;
    Clock::time_point FSentAt;
    Clock::duration FSlowestReply{};
    tftp::TAckLedger FLedger;
    unsigned FPortUnreachableBefore = 0;
    std::unique_ptr<TReceiveThread> FReceiveThread;
    TUploadEvidence FEvidence;
};
