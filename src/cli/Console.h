#pragma once

#include <QString>

class TPollWake;

// The console the loader talks to; the platform file behind it is chosen by the build.

enum class TStream { Out, Err };

// True when Stream goes to a terminal (a console window), not a file or pipe.
bool IsTerminal(TStream Stream);
// Writes Text so that Russian reads right: as UTF-16 to a Windows console,
// whatever its code page, as UTF-8 everywhere else. Output nobody reads any
// more (a closed pipe) is dropped: false then.
bool WriteText(TStream Stream, const QString &Text);
// Keeps a standard stream that was closed at start closed for writing, so
// that no file or socket the program opens later takes its place.
void HoldClosedStreams();
// From now on Ctrl+C, a closed terminal or a request to end is caught rather
// than fatal, and wakes Wake; a closed pipe no longer ends the program.
void CatchInterrupt(TPollWake &Wake);
// True once one of them has come.
bool Interrupted();
