#pragma once

#include "UploadMachine.h"

#include <QStringList>

// txloader-cli: the window's engine for scripts and test stations. Runs with
// Arguments (without the program name) and returns the exit status.
// AttemptMs: the limit per attempt; only tests pass another than the tool's own.
int RunCli(const QStringList &Arguments, int AttemptMs = TUploadMachine::AttemptMs);
