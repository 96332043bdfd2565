#pragma once

#include "Ipv4.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Why port 69 could not be had on the chosen address, in terms a user can act on.
// InterfaceDown: the port-69 helper binds no switched-off interface.
enum class TBindError { None, NoPermission, AddressInUse, AddressNotAvailable, InterfaceDown, Other };

// What a driver found before the first packet that keeps anything from being sent.
struct TSetUp {
    bool AddressUnusable = false;            // the device's address names no single device: a broadcast, say
    bool AddressIsOwn = false;               // it is an address of this PC
    TBindError BindError = TBindError::None; // port 69 could not be bound
    // Where port 69 was refused for want of a privilege: the helper that binds it for the
    // program (empty where the system has none), whether this user may run it, and who that is.
    std::string BindHelper;
    bool HelperRunnable = true;
    std::string User;
    int InterfaceError = 0; // sends could not be kept to the interface: the system's code, -1 unknown
    int ReceiverError = 0;  // no reader for the replies could start: the system's code

    bool AddressRefused() const { return AddressUnusable || AddressIsOwn; }
    bool NothingCanBeSent() const
    {
        return AddressRefused() || BindError != TBindError::None || InterfaceError != 0 || ReceiverError != 0;
    }
};

// What the PC itself saw of an upload, for telling the user why it failed.
struct TUploadEvidence {
    TSetUp SetUp;

    // Of the packet the upload ended on: 0 the WRQ, n DATA block n.
    unsigned Block = 0;
    int SendError = 0;            // the system refused its last send: its code (errno, WSA)
    unsigned PortUnreachable = 0; // reports that nothing listens on the device's port 69
    unsigned StrayAcks = 0;       // ACKs from the device that did not acknowledge it
    unsigned ZeroAcks = 0;        // of them, ACK 0 for a DATA block: no block number at all
    unsigned RepeatedAcks = 0;    // of them, the block before it again: it did not arrive

    // Of the whole upload.
    unsigned Blocks = 0;            // DATA blocks of the image
    unsigned BlocksAcked = 0;       // of them acknowledged by the device, each by its own number
    std::uint16_t WrqReplyPort = 0; // the port the device answered the WRQ from; 0: no answer
    unsigned Foreign = 0;           // datagrams from other addresses, dropped unread
    TIpv4 ForeignAddress = 0;       // the first of their senders
    unsigned Retries = 0;           // packets sent again
    bool AnySent = false;           // a datagram left for the device
    bool DeviceHeard = false;       // the device answered something, at any port
    // The device's last ERROR: its code (-1: none) and message as it came, cut.
    int DeviceErrorCode = -1;
    std::string DeviceErrorMessage;
};

// How far an upload has come, as it goes.
struct TUploadProgress {
    unsigned Blocks = 0;
    unsigned BlocksAcked = 0;
    std::size_t BytesAcked = 0;
    unsigned Retries = 0;
    bool AwaitingDevice = true; // the WRQ has had no answer yet
};
