#include "SocketPoll.h"

#include "UdpSocket.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

struct TPollWake::Impl {
    int Read = -1;
    int Write = -1;
};

TPollWake::TPollWake() : FImpl(new Impl)
{
    int Pipe[2];
    if (::pipe2(Pipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        FImpl->Read = Pipe[0];
        FImpl->Write = Pipe[1];
    }
}

TPollWake::~TPollWake()
{
    if (FImpl->Read >= 0)
        ::close(FImpl->Read);
    if (FImpl->Write >= 0)
        ::close(FImpl->Write);
    delete FImpl;
}

void TPollWake::Wake()
{
    // A full pipe wakes the poll all the same.
    const int Saved = errno;
    const char Byte = 1;
    [[maybe_unused]] const ssize_t Written = ::write(FImpl->Write, &Byte, 1);
    errno = Saved;
}

void TPollWake::Drain()
{
    char Bytes[64];
    for (int i = 0; i < 16 && ::read(FImpl->Read, Bytes, sizeof Bytes) > 0; ++i) {
    }
}

bool PollSockets(std::span<TUdpSocket *const> Sockets, TPollWake *Wake, int TimeoutMs,
                 std::vector<bool> &Ready)
{
    std::vector<pollfd> Fds;
    Fds.reserve(Sockets.size() + 1);
    for (TUdpSocket *Socket : Sockets)
        Fds.push_back({int(Socket->Handle()), POLLIN, 0});
    if (Wake)
        Fds.push_back({Wake->FImpl->Read, POLLIN, 0});
    const int Count = ::poll(Fds.data(), nfds_t(Fds.size()), TimeoutMs);
    Ready.assign(Sockets.size(), false);
    // POLLERR: an ICMP report waits in the socket's error queue.
    for (std::size_t i = 0; Count > 0 && i < Sockets.size(); ++i)
        Ready[i] = (Fds[i].revents & (POLLIN | POLLERR)) != 0;
    if (Wake && Count > 0 && Fds.back().revents)
        Wake->Drain();
    return Count >= 0;
}
