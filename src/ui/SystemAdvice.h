#pragma once

#include <QString>

// What a user can do when the system refuses this program UDP port 69;
// the platform file behind it is chosen by the build.
QString NoPortPermissionAdvice();
