#pragma once

#include "Ipv4.h"
#include "TftpResult.h"
#include "UploadEvidence.h"

#include <QString>

// What an upload's outcome means, in the user's words: the window and the
// console say the same.

// The status the window shows for an upload's result, and the console says.
QString StatusText(TTftpResult Result);

// Why an upload to Device from the interface Local (0: any) did not end in
// OK, told from the evidence the PC holds once it is over; empty when the
// status says it all (an unknown reply). Reads the interface, neighbour and
// route tables and sends nothing. Addresses are quoted in plain dotted form.
//
// A timeout is told in this order: nothing could be sent (port 69 not bound,
// and the like); it was interrupted; the interface's address is gone; the
// interface is switched off or has no carrier; the system refused the send;
// the device said nothing listens on port 69 (from the start, or after some
// blocks); what the device's own answers show (a TFTP server's, ACKs numbered
// 0, numbers that confirm nothing, a transfer that broke off); datagrams from
// other addresses alone; the address lies outside the interface's subnet with
// no gateway to it; nobody answered ARP for it; it lies outside the subnet;
// otherwise the usual causes.
QString FailureReason(TTftpResult Result, const TUploadEvidence &Evidence, TIpv4 Local, TIpv4 Device);

// Why nothing goes out through the interface that holds Local: it is switched off.
QString InterfaceOffReason(TIpv4 Local);

// The device's ERROR message as it may be shown: printable ASCII as it is,
// every other byte (and the backslash) escaped, cut to a readable length.
QString DeviceErrorText(const std::string &Message);
