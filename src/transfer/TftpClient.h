#pragma once

#include "Ipv4.h"
#include "ReceiveThread.h"
#include "TftpResult.h"
#include "UploadDriver.h"

#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <span>
#include <string>

// The window's driver of an upload: sends an image to a device by TFTP write,
// one packet in flight, with the machine's attempts and limits. A receive
// thread reads the socket and hands each datagram to the UI thread, whose
// events stay served while the upload waits in a nested event loop. One
// client, one upload.
class TTftpClient : public QObject
{
    Q_OBJECT
public:
    // Local: the address of the interface facing the device, 0 for any.
    TTftpClient(TIpv4 Local, std::span<const std::uint8_t> Image, const TUploadLimits &Limits,
                QObject *parent = nullptr);
    ~TTftpClient() override;

    TTftpResult Upload(TIpv4 Device, const std::string &FileName);
    // How it ended, and what the PC saw of it.
    TOutcome Outcome() const { return FDriver.Outcome(); }
    TUploadEvidence Evidence() const { return FDriver.Evidence(); }
    // Whether the device answered, and the hardware address of the unit that did.
    bool DeviceHeard() const { return FDriver.DeviceHeard(); }
    std::optional<TMac> DeviceMac() const { return FDriver.DeviceMac(); }

private:
    void SendAndWait();
    void TimeoutTimerFired();
    void DataReceived(TReceiveThread *Sender, const TReceiveData &Data);

    TUploadDriver FDriver;
    int FTimeoutMs;
    QTimer FTimer;
    QEventLoop FWaitLoop;
    std::unique_ptr<TReceiveThread> FReceiveThread;
};
