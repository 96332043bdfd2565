#pragma once

#include <optional>
#include <string>
#include <vector>

// What txloader-cli was asked to do.
struct TCliOptions {
    enum class TMode { Upload, List, Version, Help };
    TMode Mode = TMode::Upload;
    std::vector<std::string> Interfaces; // addresses or system names, in the order given
    int WaitSeconds = 0;                 // 0: the write request's usual three attempts
    bool Json = false;
    bool Quiet = false;
    bool Station = false; // every unit that appears, one after another
    int Count = 0;        // with Station: stop after this many units on each card; 0: no end
    std::string Log;      // with Station: the file each unit's line is appended to
    std::string Device;   // as typed
};

// Exit statuses: the outcome of an upload, and the console's own.
enum TCliExit : int {
    ceOK = 0,
    ceTimeout = 1,
    ceDeviceError = 2,
    ceUnknownReply = 3,
    ceNotSent = 4,
    ceUsage = 64,
    ceInterrupted = 130,
};

// Options from the arguments (UTF-8, without the program name); on a usage
// error, nothing, with Error saying what is wrong in one line.
std::optional<TCliOptions> ParseCliOptions(const std::vector<std::string> &Arguments, std::string &Error);

// --help: the usage and the exit statuses.
const char *CliHelpText();
