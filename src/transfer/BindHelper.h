#pragma once

// Port 69 for a process that may not bind it itself: the small helper
// txloader-bind69 (BindHelperMain.c), which alone holds the capability, binds
// it and hands the socket over. POSIX only.

#include "UdpSocket.h"

#include <cstdint>
#include <string>

// The helper this program runs: beside its executable (a build tree), else
// where the package puts it, in lib/txloader beside the executable's bin.
std::string BindHelperPath();
// Runs the helper at Path instead; empty: the one above again. For tests.
void SetBindHelperPath(const std::string &Path);

// A UDP socket bound to Address:69 and kept to the interface that holds it,
// from the helper; -1 when it gave none, Error then says why.
int BindThroughHelper(std::uint32_t Address, TBindError &Error);
// The socket a helper sent on Channel, or -1 when it ended without one or sent
// nothing within TimeoutMs.
int ReceiveHelperSocket(int Channel, int TimeoutMs);
