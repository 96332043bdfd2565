#pragma once

#include "Ipv4.h"
#include "ReceiveThread.h"
#include "TftpResult.h"
#include "UdpSocket.h"
#include "UploadEvidence.h"
#include "UploadMachine.h"

#include <QEventLoop>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

// The window's driver of an upload: sends the built-in firmware image to a
// device by TFTP write, one packet in flight, up to three attempts of 3,000 ms
// each per packet (the rules are TUploadMachine's). A receive thread reads the
// socket and hands each datagram to the UI thread, whose events stay served
// while the upload waits in a nested event loop. One client, one upload.
class TTftpClient : public QObject
{
    Q_OBJECT
public:
    static constexpr int TimeoutMs = TUploadMachine::AttemptMs;
    static constexpr int Attempts = TUploadMachine::AttemptCount;

    // LocalAddress: dotted address of the interface facing the device, empty for any.
    explicit TTftpClient(const QString &LocalAddress, QObject *parent = nullptr);
    // Same, sending Image with a limit of ReplyTimeoutMs per attempt (tests and benchmarks).
    TTftpClient(const QString &LocalAddress, std::span<const std::uint8_t> Image,
                int ReplyTimeoutMs = TimeoutMs, QObject *parent = nullptr);
    ~TTftpClient() override;

    // Host: the device's dotted address as typed.
    TTftpResult Upload(const QString &Host, const QString &FileName);
    // From any thread: the upload ends at once, with no further packet.
    void Cancel();
    TUploadEvidence Evidence() const;

private:
    void SendAndWait();
    void TimeoutTimerFired();
    void DataReceived(TReceiveThread *Sender, const TReceiveData &Data);
    void Cancelled();
    void Take(TUploadMachine::TStep Step);
    void TakeReports();
    void QuitWaitLoop();

    std::span<const std::uint8_t> FImage;
    int FTimeoutMs;
    QString FHost;
    QString FFileName;
    TIpv4 FLocalAddr = 0; // the interface's address; 0: any
    TIpv4 FRemoteAddr = 0;
    std::unique_ptr<TUdpSocket> FSocket; // bound where asked and heard by a receive thread, else none
    QTimer FTimer;
    std::unique_ptr<QEventLoop> FWaitLoop;
    std::atomic<bool> FCancelled{false};
    std::optional<TUploadMachine> FMachine;
    TUploadMachine::TStep FStep;
    unsigned FReportsTaken = 0; // port-unreachable reports brought to the machine
    std::unique_ptr<TReceiveThread> FReceiveThread;
    TUploadEvidence FEvidence; // what the set-up found
};
