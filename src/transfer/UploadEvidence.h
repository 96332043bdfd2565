#pragma once

#include "Ipv4.h"
#include "UdpSocket.h" // TBindError

#include <cstddef>
#include <cstdint>
#include <string>

// What the PC itself saw of an upload, for telling the user why it failed.
struct TUploadEvidence {
    // Found before anything was sent; the upload then ends at once.
    bool AddressUnusable = false;            // the host names no single device: a broadcast, say
    bool AddressIsOwn = false;               // the host is an address of this PC
    TBindError BindError = TBindError::None; // port 69 could not be bound
    bool InterfaceNotKept = false;           // sends could not be kept to the chosen interface
    int InterfaceLookupError = 0;            // of it, the system could not name the interface: its code
    int ReceiverError = 0;                   // the receive thread did not start: the system's code

    // Of the packet the upload ended on: 0 the WRQ, n DATA block n.
    unsigned Block = 0;
    int SendError = 0;            // the system refused its last send: its code (errno, WSA)
    unsigned PortUnreachable = 0; // reports that nothing listens on the device's port 69
    unsigned StrayAcks = 0;       // ACKs from the device that did not acknowledge it
    unsigned ZeroAcks = 0;        // of them, ACK 0 for a DATA block: no block number at all

    // Of the whole upload.
    unsigned Blocks = 0;            // DATA blocks of the image
    unsigned BlocksAcked = 0;       // of them acknowledged by the device, each by its own number
    std::uint16_t WrqReplyPort = 0; // the port the device answered the WRQ from; 0: no answer
    unsigned Foreign = 0;           // datagrams from other addresses, dropped unread
    TIpv4 ForeignAddress = 0;       // the first of their senders
    unsigned Retries = 0;           // packets sent again
    bool AnySent = false;           // a datagram left for the device
    bool Interrupted = false;       // cancelled
    // The device's last ERROR: its code (-1: none) and message as it came, cut.
    int DeviceErrorCode = -1;
    std::string DeviceErrorMessage;

    bool NothingCouldBeSent() const
    {
        return BindError != TBindError::None || InterfaceNotKept || ReceiverError != 0;
    }
    bool AddressRefused() const { return AddressUnusable || AddressIsOwn; }
    // Nothing reached the network: no socket, no address to send to, or every send refused.
    bool NotSent() const { return NothingCouldBeSent() || AddressRefused() || (!AnySent && !Interrupted); }
};

// How far an upload has come, as it goes.
struct TUploadProgress {
    unsigned Blocks = 0;
    unsigned BlocksAcked = 0;
    std::size_t BytesAcked = 0;
    unsigned Retries = 0;
    bool AwaitingDevice = true; // the WRQ has had no answer yet
};
