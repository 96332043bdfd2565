#include "UploadDriver.h"

#include "LocalAddresses.h"
#include "TftpPacket.h"

namespace {
// Room for a burst of stray datagrams with the device's reply queued behind it.
constexpr int ReceiveBufferBytes = 1 << 20;
} // namespace

bool DeviceAddressUsable(TIpv4 Device, TIpv4 Local, TUploadEvidence &Evidence)
{
    switch (CheckDeviceAddress(Device, Local)) {
    case TDeviceAddressCheck::NotOneDevice:
        Evidence.AddressUnusable = true;
        return false;
    case TDeviceAddressCheck::OwnAddress:
        Evidence.AddressIsOwn = true;
        return false;
    case TDeviceAddressCheck::Usable:
        break;
    }
    return true;
}

std::unique_ptr<TUdpSocket> OpenUploadSocket(TIpv4 Local, TUploadEvidence &Evidence)
{
    auto Socket = std::make_unique<TUdpSocket>();
    Socket->SetReceiveBuffer(ReceiveBufferBytes);
    // An unbound socket would send from another port, perhaps out of another
    // interface; such an upload sends nothing.
    if (!Socket->IsOpen() || !Socket->Bind(Local, tftp::Port)) {
        Evidence.BindError = Socket->IsOpen() ? Socket->LastBindError() : TBindError::Other;
        return nullptr;
    }
    // The chosen interface is the only way out, also when another one reaches
    // the same subnet.
    if (Local != 0 && !Socket->KeepToInterfaceOf(Local)) {
        Evidence.InterfaceNotKept = true;
        Evidence.InterfaceLookupError = Socket->InterfaceLookupError();
        return nullptr;
    }
    return Socket;
}

TUploadMachine::TStep PerformSends(TUdpSocket &Socket, TIpv4 Device, TUploadMachine &Machine,
                                   TUploadMachine::TStep Step)
{
    // Each refusal ends an attempt or gives way to waiting, so this ends
    // within the attempts of one packet; the bound only makes that plain.
    for (int Tries = 0; Step.Kind == TUploadMachine::TStep::TKind::Send && Tries < 1000; ++Tries) {
        if (Socket.SendTo(Step.Packet.data(), Step.Packet.size(), Device, tftp::Port))
            return {TUploadMachine::TStep::TKind::Wait, {}, Step.Until, trTimeout};
        Step = Machine.SendRefused(Socket.LastSendError(), TUploadMachine::TClock::now());
    }
    return Step;
}

TUploadEvidence WithSetUp(TUploadEvidence Exchange, const TUploadEvidence &SetUp)
{
    Exchange.AddressUnusable = SetUp.AddressUnusable;
    Exchange.AddressIsOwn = SetUp.AddressIsOwn;
    Exchange.BindError = SetUp.BindError;
    Exchange.InterfaceNotKept = SetUp.InterfaceNotKept;
    Exchange.InterfaceLookupError = SetUp.InterfaceLookupError;
    Exchange.ReceiverError = SetUp.ReceiverError;
    return Exchange;
}
