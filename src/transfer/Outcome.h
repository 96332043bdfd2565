#pragma once

#include "TftpClient.h"
#include "TftpResult.h"

#include <QString>

// The status the window shows for an upload's result, and the console says.
QString StatusText(TTftpResult Result);

// Why an upload to DeviceAddress from LocalAddress (empty: any) failed, in the
// user's words; empty when the status says it all (OK, the device's ERROR, an
// unknown reply).
QString FailureReason(TTftpResult Result, const TUploadEvidence &Evidence, const QString &LocalAddress,
                      const QString &DeviceAddress);
