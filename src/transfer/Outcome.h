#pragma once

#include "Diagnosis.h"
#include "Ipv4.h"
#include "TftpResult.h"
#include "UploadEvidence.h"
#include "UploadMachine.h"

#include <optional>
#include <string>

// What an upload's outcome means, in the user's words (UTF-8): the window and
// the console say the same. Nothing here asks the system: what the PC's tables
// said comes in a TDiagnosis.

// The status bar's words before and during an upload.
extern const char StatusReady[];
extern const char StatusLoading[];

struct TTelling {
    std::string Status;            // one of the status texts
    std::string Word;              // the same without "Статус: ", for a line of its own
    std::string Reason;            // why it did not end in OK; empty when the status says it all
    TTftpResult Shown = trTimeout; // which of the four results the status shows
};

// The status and the reason for an upload to Device from the interface Local
// (0: any) that ended in Outcome. Addresses are quoted in plain dotted form.
//
// A failure is told in this order: the device's address names no device or is
// the PC's own; port 69 could not be had, the sends not kept to the interface,
// no reader started; it was interrupted; the interface's address is gone; the
// interface is switched off or has no carrier; the system refused the send;
// the device said nothing listens on port 69 (after some blocks, or from the
// start); what the device's own answers show (a TFTP server's, ACKs numbered 0,
// a block lost on the way, numbers that confirm nothing, a transfer that broke
// off); datagrams from other addresses alone; the address lies outside the
// interface's subnet with no gateway to it; nobody answered ARP for it; it
// lies outside the subnet; otherwise the usual causes. A device's ERROR is
// told with its code and its words.
TTelling Tell(TOutcome Outcome, const TUploadEvidence &Evidence, const TDiagnosis &Diagnosis, TIpv4 Local,
              TIpv4 Device);

// Which unit an upload went to, once the device at Device answered: its hardware
// address, or why that is not known.
std::string UnitText(TIpv4 Device, const std::optional<TMac> &Mac);

// The device's ERROR message as it may be shown: plain text, cut to a readable length.
std::string DeviceErrorText(const std::string &Message);

// Why nothing goes out through the interface that holds Local: it is switched off.
std::string InterfaceOffReason(TIpv4 Local);
// Why nothing goes out: the PC lists no interface to send through.
std::string NoInterfaceReason();
