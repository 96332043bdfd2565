#pragma once

#include "TftpClient.h"

#include <QString>

// Why an upload to DeviceAddress from the interface LocalAddress (empty: any)
// ended in a timeout, told from the evidence the PC holds once it is over, in
// this order: nothing could be sent (port 69 not bound, and the like); the
// system refused the send; the device said nothing listens on port 69; nobody
// answered ARP for the address; the address lies outside the interface's
// subnet; otherwise the usual causes. Reads the neighbour and interface tables
// and sends nothing.
QString TimeoutReason(const TUploadEvidence &Evidence, const QString &LocalAddress,
                      const QString &DeviceAddress);
