#pragma once

#include <QString>

// The console the loader talks to; the platform file behind it is chosen by the build.

enum class TStream { Out, Err };

// True when Stream goes to a terminal (a console window), not a file or pipe.
bool IsTerminal(TStream Stream);
// Writes Text so that Russian reads right: as UTF-16 to a Windows console,
// whatever its code page, as UTF-8 everywhere else.
void WriteText(TStream Stream, const QString &Text);
// From now on Ctrl+C (and a request to end) is caught rather than fatal.
// Call before any thread starts.
void CatchInterrupt();
// Waits up to Ms for Ctrl+C, or until WakeWaiter; true once Ctrl+C has come.
bool WaitForInterrupt(int Ms);
// From any thread: ends the wait in WaitForInterrupt early.
void WakeWaiter();
