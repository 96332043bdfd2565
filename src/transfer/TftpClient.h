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

class TUdpSocket;

// Sends the built-in firmware image to a device by TFTP write, one packet in
// flight, up to three attempts of 3,000 ms each per packet. Lives on the UI
// thread and keeps its events served while it waits. One client, one upload.
class TTftpClient : public QObject
{
    Q_OBJECT
public:
    // LocalAddress: dotted address of the interface facing the device, empty for any.
    explicit TTftpClient(const QString &LocalAddress, QObject *parent = nullptr);
    // Same, sending Image instead of the built-in firmware (tests and benchmarks).
    TTftpClient(const QString &LocalAddress, std::span<const std::uint8_t> Image, QObject *parent = nullptr);
    ~TTftpClient() override;

    TTftpResult Upload(const QString &Host, const QString &FileName);
    // Why the socket could not be bound to port 69 (then nothing is sent); None when it was.
    TBindError BindError() const { return FBindError; }

    static constexpr int TimeoutMs = 3000;
    static constexpr int Attempts = 3;

private:
    TTftpResult SendWriteRequest();
    TTftpResult SendDataBlock(unsigned Block, std::size_t Offset, std::size_t Count);
    TTftpResult SendWithRetry();
    TTftpResult SendAndWait();
    void TimeoutTimerFired();
    void DataReceived(TReceiveThread *Sender, const TReceiveData &Data);
    bool WaitOver() const;

    std::span<const std::uint8_t> FImage;
    QString FLocalAddress; // dotted, empty for any
    QString FHost;
    QString FFileName;
    std::unique_ptr<TUdpSocket> FSocket;
    bool FSocketReady = false;     // opened and bound where asked; otherwise nothing is sent
    std::uint32_t FRemoteAddr = 0; // host order; port is always 69
    QTimer FTimer;
    QEventLoop FWaitLoop;
    bool FTimedOut = false;
    std::uint8_t FPacket[tftp::PacketBufferSize] = {};
    std::size_t FPacketLen = 0;
    int FReplyOpcode = -1;
    unsigned FBlock = 0;
    std::unique_ptr<TReceiveThread> FReceiveThread;
    TBindError FBindError = TBindError::None;
};
