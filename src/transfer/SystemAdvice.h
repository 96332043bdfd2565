#pragma once

#include "UploadEvidence.h"

// What the user needs to know when the system refused this program UDP port 69:
// on Linux the helper that binds it, whether this user may run it, and who that
// is; Windows has no helper. The platform file behind it is chosen by the build.
void DescribePortRefusal(TSetUp &SetUp);
