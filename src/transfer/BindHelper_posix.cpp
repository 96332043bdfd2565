#include "BindHelper.h"

#include "BindHelperProtocol.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {
std::string OverriddenPath;

std::string Dotted(std::uint32_t Address)
{
    char Text[INET_ADDRSTRLEN] = {};
    const in_addr In{htonl(Address)};
    ::inet_ntop(AF_INET, &In, Text, sizeof Text);
    return Text;
}

// Starts the helper with an empty environment, default signal handling, and
// no descriptor of ours but Channel, as its BindHelperChannelFd; -1 when it
// cannot be started (missing, say).
pid_t Spawn(const std::string &Path, std::string Address, int Channel)
{
    posix_spawn_file_actions_t Actions;
    posix_spawnattr_t Attributes;
    posix_spawn_file_actions_init(&Actions);
    posix_spawnattr_init(&Attributes);
    posix_spawn_file_actions_adddup2(&Actions, Channel, BindHelperChannelFd);
    posix_spawn_file_actions_addclosefrom_np(&Actions, BindHelperChannelFd + 1);
    sigset_t None, All;
    sigemptyset(&None);
    sigfillset(&All);
    posix_spawnattr_setsigmask(&Attributes, &None);
    posix_spawnattr_setsigdefault(&Attributes, &All);
    posix_spawnattr_setflags(&Attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::string Program = Path;
    char *Argv[] = {Program.data(), Address.data(), nullptr};
    char *Environment[] = {nullptr};
    pid_t Pid = -1;
    if (::posix_spawn(&Pid, Path.c_str(), &Actions, &Attributes, Argv, Environment) != 0)
        Pid = -1;
    posix_spawn_file_actions_destroy(&Actions);
    posix_spawnattr_destroy(&Attributes);
    return Pid;
}

// The helper's wait status; -1 when it did not end within TimeoutMs and was killed.
int Reap(pid_t Pid, int TimeoutMs)
{
    int Status = 0;
    for (int Waited = 0; Waited <= TimeoutMs; Waited += 5) {
        const pid_t Done = ::waitpid(Pid, &Status, WNOHANG);
        if (Done == Pid)
            return Status;
        if (Done < 0 && errno != EINTR)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(Pid, SIGKILL);
    while (::waitpid(Pid, &Status, 0) < 0 && errno == EINTR) {
    }
    return -1;
}

// What the helper gave is what was asked for: UDP on Address:69.
bool IsBoundTo(int Fd, std::uint32_t Address)
{
    sockaddr_in Local{};
    socklen_t Length = sizeof Local;
    int Protocol = 0;
    socklen_t ProtocolLength = sizeof Protocol;
    return ::getsockname(Fd, reinterpret_cast<sockaddr *>(&Local), &Length) == 0 &&
           Local.sin_family == AF_INET && ntohs(Local.sin_port) == BindHelperPort &&
           ntohl(Local.sin_addr.s_addr) == Address &&
           ::getsockopt(Fd, SOL_SOCKET, SO_PROTOCOL, &Protocol, &ProtocolLength) == 0 &&
           Protocol == IPPROTO_UDP;
}
} // namespace

std::string BindHelperPath()
{
    if (!OverriddenPath.empty())
        return OverriddenPath;
    // Found from the executable, never from anything the user sets.
    char Own[PATH_MAX] = {};
    const ssize_t Length = ::readlink("/proc/self/exe", Own, sizeof Own - 1);
    const std::string Exe(Own, Length > 0 ? std::size_t(Length) : 0);
    const std::string Dir = Exe.substr(0, Exe.rfind('/'));
    const std::string Beside = Dir + "/" TXL_BIND_HELPER_NAME;
    if (::access(Beside.c_str(), F_OK) == 0)
        return Beside;
    char Prefix[PATH_MAX] = {};
    const std::string Up = Dir + "/..";
    return std::string(::realpath(Up.c_str(), Prefix) ? Prefix : Up.c_str()) + "/" TXL_BIND_HELPER_DIR
                                                                               "/" TXL_BIND_HELPER_NAME;
}

void SetBindHelperPath(const std::string &Path)
{
    OverriddenPath = Path;
}

int ReceiveHelperSocket(int Channel, int TimeoutMs)
{
    using namespace std::chrono;
    const auto Deadline = steady_clock::now() + milliseconds(TimeoutMs);
    pollfd Poll{Channel, POLLIN, 0};
    int Ready = -1;
    do {
        const auto Left = duration_cast<milliseconds>(Deadline - steady_clock::now()).count();
        Ready = ::poll(&Poll, 1, int(Left > 0 ? Left : 0));
    } while (Ready < 0 && errno == EINTR);
    if (Ready <= 0)
        return -1;
    char Byte = 0;
    iovec Io{&Byte, 1};
    alignas(cmsghdr) char Control[CMSG_SPACE(sizeof(int))] = {};
    msghdr Message{};
    Message.msg_iov = &Io;
    Message.msg_iovlen = 1;
    Message.msg_control = Control;
    Message.msg_controllen = sizeof Control;
    if (::recvmsg(Channel, &Message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC) != 1)
        return -1;
    const cmsghdr *Rights = CMSG_FIRSTHDR(&Message);
    if (!Rights || Rights->cmsg_level != SOL_SOCKET || Rights->cmsg_type != SCM_RIGHTS ||
        Rights->cmsg_len != CMSG_LEN(sizeof(int)))
        return -1;
    int Fd = -1;
    std::memcpy(&Fd, CMSG_DATA(Rights), sizeof Fd);
    return Fd;
}

int BindThroughHelper(std::uint32_t Address, TBindError &Error)
{
    Error = TBindError::NoPermission; // the helper is missing, or lacks the capability itself
    int Channel[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, Channel) != 0)
        return -1;
    const pid_t Pid = Spawn(BindHelperPath(), Dotted(Address), Channel[1]);
    ::close(Channel[1]);
    const int Fd = Pid > 0 ? ReceiveHelperSocket(Channel[0], 2000) : -1;
    ::close(Channel[0]);
    const int Status = Pid > 0 ? Reap(Pid, 1000) : -1;
    const int Exit = Status >= 0 && WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
    if (Exit == bhSent && Fd >= 0 && IsBoundTo(Fd, Address)) {
        Error = TBindError::None;
        return Fd;
    }
    if (Fd >= 0)
        ::close(Fd);
    if (Exit == bhInUse)
        Error = TBindError::AddressInUse;
    else if (Exit == bhNotLocal)
        Error = TBindError::AddressNotAvailable;
    else if (Exit == bhInterfaceDown)
        Error = TBindError::InterfaceDown;
    return -1;
}
