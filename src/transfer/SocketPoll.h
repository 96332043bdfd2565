#pragma once

#include <cstddef>
#include <span>
#include <vector>

class TUdpSocket;

// Ends a PollSockets early, from another thread or from a signal handler.
// The platform file behind it is chosen by the build.
class TPollWake
{
public:
    TPollWake();
    ~TPollWake();
    TPollWake(const TPollWake &) = delete;
    TPollWake &operator=(const TPollWake &) = delete;

    // Safe in a signal handler on POSIX, and on any thread.
    void Wake();

private:
    friend bool PollSockets(std::span<TUdpSocket *const>, TPollWake *, int, std::vector<bool> &);
    void Drain();
    struct Impl;
    Impl *FImpl;
};

// Waits up to TimeoutMs (-1: no limit) until one of Sockets has a datagram or
// a report queued, or Wake is called. Ready then says which. False when the
// wait ended early without either: a signal, say.
bool PollSockets(std::span<TUdpSocket *const> Sockets, TPollWake *Wake, int TimeoutMs,
                 std::vector<bool> &Ready);
