#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class TPollWake;

// The console the loader talks to; the platform file behind it is chosen by the build.

enum class TStream { Out, Err };

// The program's arguments, without its name, in UTF-8.
std::vector<std::string> ProgramArguments(int argc, char *argv[]);
// True when Stream goes to a terminal (a console window), not a file or pipe.
bool IsTerminal(TStream Stream);
// Writes UTF-8 Text so that Russian reads right: as UTF-16 to a Windows
// console, whatever its code page, as UTF-8 everywhere else. Output nobody
// reads any more (a closed pipe) is dropped: false then.
bool WriteText(TStream Stream, std::string_view Text);
// Keeps a standard stream that was closed at start closed for writing, so
// that no file or socket the program opens later takes its place.
void HoldClosedStreams();
// From now on Ctrl+C, a closed terminal or a request to end is caught rather
// than fatal, and wakes Wake; a closed pipe no longer ends the program.
void CatchInterrupt(TPollWake &Wake);
// True once one of them has come.
bool Interrupted();

// A file that lines are added to at its end, each whole, with one write, and on
// disk before Append returns: a station killed at any moment leaves whole lines,
// and two stations may share one file.
class TAppendFile
{
public:
    // Opens Path (UTF-8) for appending, making it if it is not there.
    explicit TAppendFile(const std::string &Path);
    ~TAppendFile();
    TAppendFile(const TAppendFile &) = delete;
    TAppendFile &operator=(const TAppendFile &) = delete;

    bool IsOpen() const { return FHandle != -1; }
    // Why it could not be opened, in the system's words.
    const std::string &Error() const { return FError; }
    bool Append(std::string_view Line);

private:
    std::intptr_t FHandle = -1;
    std::string FError;
};
