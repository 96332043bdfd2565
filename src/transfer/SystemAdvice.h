#pragma once

#include <QString>

// What the system's refusals mean for the user, in the platform's own terms;
// the platform file behind it is chosen by the build.

// What a user can do when the system refuses this program UDP port 69 on
// Local (a dotted address; 0.0.0.0 for any).
QString NoPortPermissionAdvice(const QString &Local);

// Why the system refused to send a datagram, or another call of an upload,
// from its error code (errno, or the WSA code), as a phrase that follows a colon.
QString SendErrorText(int Code);
