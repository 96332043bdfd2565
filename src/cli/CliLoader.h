#pragma once

#include "UploadDriver.h" // TUploadLimits

#include <string>
#include <vector>

// txloader-cli: the window's engine for scripts and test stations. Runs with
// Arguments (UTF-8, without the program name) and returns the exit status.
// Limits: the uploads' limits, as the program's entry point gives them.
int RunCli(const std::vector<std::string> &Arguments, const TUploadLimits &Limits);
