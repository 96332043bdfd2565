#pragma once

#include "TftpClient.h"

#include <QString>

// Why an upload to DeviceAddress from the interface LocalAddress (empty: any)
// ended in a timeout, told from the evidence the PC holds once it is over, in
// this order: nothing could be sent (port 69 not bound, and the like); it was
// interrupted; the interface is switched off or has no carrier; the system
// refused the send; the device said nothing listens on port 69; what the
// device's own answers show (a TFTP server's, numbers that confirm nothing,
// a transfer that broke off); datagrams from other addresses alone; the
// address lies outside the interface's subnet with no gateway to it; nobody
// answered ARP for it; it lies outside the subnet; otherwise the usual
// causes. Addresses are quoted in plain dotted form. Reads the interface,
// neighbour and route tables and sends nothing.
QString TimeoutReason(const TUploadEvidence &Evidence, const QString &LocalAddress,
                      const QString &DeviceAddress);
