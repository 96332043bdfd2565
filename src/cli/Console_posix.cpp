#include "Console.h"

#include "SocketPoll.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

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

bool WriteText(TStream Stream, const QString &Text)
{
    const QByteArray Bytes = Text.toUtf8();
    const int Fd = Stream == TStream::Out ? STDOUT_FILENO : STDERR_FILENO;
    qsizetype Done = 0;
    for (int Tries = 0; Done < Bytes.size() && Tries < 1000; ++Tries) {
        const ssize_t N = ::write(Fd, Bytes.constData() + Done, size_t(Bytes.size() - Done));
        if (N > 0)
            Done += N;
        else if (N < 0 && errno != EINTR)
            break; // EPIPE among them: nobody reads it
    }
    return Done == Bytes.size();
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
