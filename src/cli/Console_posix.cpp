#include "Console.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

namespace {
sigset_t Waited; // Ctrl+C, a request to end, and the wake-up
pthread_t Waiter;
bool Interrupted = false;
constexpr int WakeSignal = SIGUSR1;
} // namespace

bool IsTerminal(TStream Stream)
{
    return ::isatty(Stream == TStream::Out ? STDOUT_FILENO : STDERR_FILENO) == 1;
}

void WriteText(TStream Stream, const QString &Text)
{
    const QByteArray Bytes = Text.toUtf8();
    const int Fd = Stream == TStream::Out ? STDOUT_FILENO : STDERR_FILENO;
    qsizetype Done = 0;
    for (int Tries = 0; Done < Bytes.size() && Tries < 1000; ++Tries) {
        const ssize_t N = ::write(Fd, Bytes.constData() + Done, size_t(Bytes.size() - Done));
        if (N > 0)
            Done += N;
        else if (N < 0 && errno != EINTR)
            break;
    }
}

void CatchInterrupt()
{
    // Blocked in every thread started later, taken by WaitForInterrupt alone:
    // no handler runs in the middle of an upload.
    sigemptyset(&Waited);
    sigaddset(&Waited, SIGINT);
    sigaddset(&Waited, SIGTERM);
    sigaddset(&Waited, WakeSignal);
    ::pthread_sigmask(SIG_BLOCK, &Waited, nullptr);
    Waiter = ::pthread_self();
}

bool WaitForInterrupt(int Ms)
{
    const timespec Wait{Ms / 1000, long(Ms % 1000) * 1000000L};
    const int Taken = ::sigtimedwait(&Waited, nullptr, &Wait);
    Interrupted = Interrupted || Taken == SIGINT || Taken == SIGTERM;
    return Interrupted;
}

void WakeWaiter()
{
    ::pthread_kill(Waiter, WakeSignal);
}
