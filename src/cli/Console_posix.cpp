#include "Console.h"

#include "SocketPoll.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace {
volatile std::sig_atomic_t Caught = 0;
TPollWake *Waker = nullptr;

void OnSignal(int)
{
    Caught = 1;
    if (Waker)
        Waker->Wake();
}
} // namespace

bool IsTerminal(TStream Stream)
{
    return ::isatty(Stream == TStream::Out ? STDOUT_FILENO : STDERR_FILENO) == 1;
}

std::vector<std::string> ProgramArguments(int argc, char *argv[])
{
    return std::vector<std::string>(argv + 1, argv + argc);
}

bool WriteText(TStream Stream, std::string_view Text)
{
    const int Fd = Stream == TStream::Out ? STDOUT_FILENO : STDERR_FILENO;
    std::size_t Done = 0;
    for (int Tries = 0; Done < Text.size() && Tries < 1000; ++Tries) {
        const ssize_t N = ::write(Fd, Text.data() + Done, Text.size() - Done);
        if (N > 0)
            Done += std::size_t(N);
        else if (N < 0 && errno != EINTR)
            break; // EPIPE among them: nobody reads it
    }
    return Done == Text.size();
}

void HoldClosedStreams()
{
    // The lowest free number goes to the next file opened: a file open for
    // reading only takes it, and writes to it fail as to the closed stream.
    for (const int Fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fcntl(Fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        const int Held = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (Held >= 0 && Held != Fd)
            ::close(Held);
    }
}

void CatchInterrupt(TPollWake &Wake)
{
    Waker = &Wake;
    struct sigaction Action {
    };
    Action.sa_handler = OnSignal;
    sigemptyset(&Action.sa_mask);
    // Ctrl+C, a request to end, and the terminal gone: the uploads end after the packet in flight.
    for (const int Signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(Signal, &Action, nullptr);
    // A reader that went away (a pipe into head) must not end the uploads still under way.
    Action.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &Action, nullptr);
}

bool Interrupted()
{
    return Caught != 0;
}

TAppendFile::TAppendFile(const std::string &Path)
{
    const int Fd = ::open(Path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (Fd < 0)
        FError = std::strerror(errno);
    FHandle = Fd;
}

TAppendFile::~TAppendFile()
{
    if (FHandle != -1)
        ::close(int(FHandle));
}

bool TAppendFile::Append(std::string_view Line)
{
    // O_APPEND puts each write at the end as one piece: lines of two writers never mix.
    ssize_t Written = -1;
    for (int Tries = 0; Tries < 100 && Written < 0; ++Tries) {
        Written = ::write(int(FHandle), Line.data(), Line.size());
        if (Written < 0 && errno != EINTR)
            return false;
    }
    return Written == ssize_t(Line.size()) && ::fdatasync(int(FHandle)) == 0;
}
