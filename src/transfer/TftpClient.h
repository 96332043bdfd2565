#pragma once

#include "ReceiveThread.h"
#include "TftpPacket.h"
#include "TftpResult.h"
#include "UdpSocket.h"

#include <QEventLoop>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <span>

// What the PC itself saw of an upload, for telling the user why it failed.
struct TUploadEvidence {
    // Set when nothing could be sent at all; the upload then ends at once.
    TBindError BindError = TBindError::None; // port 69 could not be bound
    bool InterfaceNotKept = false;           // sends could not be kept to the chosen interface
    int ReceiverError = 0;                   // the receive thread did not start: the system's code
    // The system refused a send of the packet the upload ended on: its code (errno, WSA).
    int SendError = 0;
    // Reports that nothing listens on the device's port 69 (ICMP port unreachable).
    unsigned PortUnreachable = 0;

    bool NothingCouldBeSent() const
    {
        return BindError != TBindError::None || InterfaceNotKept || ReceiverError != 0;
    }
};

// Sends the built-in firmware image to a device by TFTP write, one packet in
// flight, up to three attempts of 3,000 ms each per packet. Lives on the UI
// thread and keeps its events served while it waits. One client, one upload.
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

    TTftpResult Upload(const QString &Host, const QString &FileName);
    TUploadEvidence Evidence() const;

private:
    TTftpResult SendWriteRequest();
    TTftpResult SendDataBlock(unsigned Block, std::size_t Offset, std::size_t Count);
    TTftpResult SendWithRetry();
    TTftpResult SendAndWait();
    void TimeoutTimerFired();
    void DataReceived(TReceiveThread *Sender, const TReceiveData &Data);
    bool WaitOver() const;

    std::span<const std::uint8_t> FImage;
    int FTimeoutMs;
    QString FLocalAddress; // dotted, empty for any
    QString FHost;
    QString FFileName;
    std::unique_ptr<TUdpSocket> FSocket;
    bool FSocketReady = false;     // bound where asked and heard by a receive thread
    std::uint32_t FRemoteAddr = 0; // host order; port is always 69
    QTimer FTimer;
    QEventLoop FWaitLoop;
    bool FTimedOut = false;
    std::uint8_t FPacket[tftp::PacketBufferSize] = {};
    std::size_t FPacketLen = 0;
    int FReplyOpcode = -1;
    unsigned FBlock = 0;
    tftp::TAckJudge FAckJudge;
    bool FAnySent = false;
    std::unique_ptr<TReceiveThread> FReceiveThread;
    TUploadEvidence FEvidence;
};
