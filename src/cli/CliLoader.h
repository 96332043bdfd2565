#pragma once

#include <QStringList>

// txloader-cli: the window's engine for scripts and test stations. Runs with
// Arguments (without the program name) and returns the exit status.
int RunCli(const QStringList &Arguments);
