#pragma once

#include "TftpResult.h"

#include <QString>

// The status the window shows for an upload's result, and the console says.
QString StatusText(TTftpResult Result);
