#pragma once

#include "Ipv4.h"
#include "Neighbour.h"

#include <string>

// What the system said when it refused something, as facts: its code, the
// code's symbolic name where the platform has one (ENETUNREACH,
// WSAENETUNREACH), and its own words for it (UTF-8).
struct TSystemError {
    int Code = 0;
    std::string Name;
    std::string Text;
};

// What the PC's own tables say of the way to a device once an upload has
// failed: gathered by Diagnose, read by whoever tells the user why. A value
// made by hand says what a test wants the system to have said.
struct TDiagnosis {
    bool AddressPresent = true;  // the interface's address is still on the PC
    TIpv4 Netmask = 0;           // of that address; 0: unknown
    std::string DeviceInterface; // the interface that holds the device's address, if the PC does
    TLinkState Link = TLinkState::Unknown;
    bool GatewayLeadsThere = false; // a gateway on the interface's link leads to the device
    TNeighbourState Neighbour = TNeighbourState::Unknown;
    TSystemError SendError;      // of the last refused send, if any
    TSystemError InterfaceError; // of keeping the sends to the interface, if that failed
};

// Reads the interface, link, route and neighbour tables for an upload from
// Local (0: any interface) to Device; sends nothing. SendError and
// InterfaceError: the system's codes the upload met, 0 for none.
TDiagnosis Diagnose(TIpv4 Local, TIpv4 Device, int SendError, int InterfaceError);

// The platform's facts of one of its error codes (errno, or a WSA code).
TSystemError DescribeSystemError(int Code);
