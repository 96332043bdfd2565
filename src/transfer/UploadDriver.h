#pragma once

// What the window's and the console's drivers of an upload share: the checks
// before anything is sent, the socket, and carrying out the machine's sends.

#include "Ipv4.h"
#include "UdpSocket.h"
#include "UploadEvidence.h"
#include "UploadMachine.h"

#include <memory>

// False when Device cannot be uploaded to from Local (0: any interface): a
// broadcast, say, or this PC's own address. Evidence then says which.
bool DeviceAddressUsable(TIpv4 Device, TIpv4 Local, TUploadEvidence &Evidence);

// A UDP socket on port 69 of Local (0: any address), kept to Local's
// interface; nothing, with Evidence saying why, when any of that fails: an
// upload that cannot leave from there sends nothing at all.
std::unique_ptr<TUdpSocket> OpenUploadSocket(TIpv4 Local, TUploadEvidence &Evidence);

// Sends what Step asks for to port 69 of Device, telling the machine of each
// refusal, until the machine asks for something else; returns that. A driver
// carries out each Send before it brings the machine anything more.
TUploadMachine::TStep PerformSends(TUdpSocket &Socket, TIpv4 Device, TUploadMachine &Machine,
                                   TUploadMachine::TStep Step);

// The machine's evidence with what the set-up found (address, socket, thread).
TUploadEvidence WithSetUp(TUploadEvidence Exchange, const TUploadEvidence &SetUp);
