/* txloader-bind69: hands its caller a UDP socket bound to port 69 of one of
   this machine's IPv4 interface addresses and kept to that interface. It is
   the one part of TXLoader that holds cap_net_bind_service, so it takes
   nothing but the address, reads no environment, links nothing but libc and
   keeps none of its caller's descriptors but the channel. */
#define _GNU_SOURCE
#include "BindHelperProtocol.h"

#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

/* Exactly "a.b.c.d": decimal groups of 0 to 255 without leading zeros and
   nothing around them, so no port and no other form an address parser takes. */
static int ParseDottedQuad(const char *Text, uint32_t *Address)
{
    uint32_t Value = 0;
    for (int Group = 0; Group < 4; ++Group) {
        if (Group > 0 && *Text++ != '.')
            return 0;
        unsigned Number = 0;
        int Digits = 0;
        for (; *Text >= '0' && *Text <= '9'; ++Text, ++Digits) {
            if (Digits == 1 && Number == 0)
                return 0;
            Number = Number * 10 + (unsigned)(*Text - '0');
            if (Number > 255)
                return 0;
        }
        if (Digits == 0)
            return 0;
        Value = Value << 8 | Number;
    }
    if (*Text != '\0')
        return 0;
    *Address = Value;
    return 1;
}

/* Name gets the interface that holds Address (network order); bhSent only for
   a card that is up and not loopback. Port 69 there reaches no device: a user
   given it could only serve files or stand in another user's way. */
static int InterfaceHolding(uint32_t Address, char Name[IF_NAMESIZE])
{
    struct ifaddrs *List = NULL;
    if (getifaddrs(&List) != 0)
        return bhFailed;
    int Found = bhNotLocal;
    for (const struct ifaddrs *i = List; i && Found == bhNotLocal; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_name ||
            ((const struct sockaddr_in *)i->ifa_addr)->sin_addr.s_addr != Address)
            continue;
        const size_t Length = strnlen(i->ifa_name, IF_NAMESIZE);
        if (Length >= IF_NAMESIZE || (i->ifa_flags & IFF_LOOPBACK) ||
            (ntohl(Address) >> 24) == IN_LOOPBACKNET)
            break;
        Found = (i->ifa_flags & IFF_UP) ? bhSent : bhInterfaceDown;
        memcpy(Name, i->ifa_name, Length + 1);
    }
    freeifaddrs(List);
    return Found;
}

static int IsChannel(int Fd)
{
    int Domain = 0, Type = 0;
    socklen_t Length = sizeof Domain;
    if (getsockopt(Fd, SOL_SOCKET, SO_DOMAIN, &Domain, &Length) != 0 || Domain != AF_UNIX)
        return 0;
    Length = sizeof Type;
    return getsockopt(Fd, SOL_SOCKET, SO_TYPE, &Type, &Length) == 0 && Type == SOCK_SEQPACKET;
}

/* Only the channel stays open. 0 to 2 become /dev/null, so that nothing opened
   later lands where a stray write would go. */
static int KeepOnlyChannel(void)
{
    if (close_range(0, BindHelperChannelFd - 1, 0) != 0 || close_range(BindHelperChannelFd + 1, ~0U, 0) != 0)
        return 0;
    for (int Fd = 0; Fd < BindHelperChannelFd; ++Fd) {
        if (open("/dev/null", O_RDWR) != Fd)
            return 0;
    }
    return 1;
}

static int SendSocket(int Socket)
{
    char Byte = 0;
    struct iovec Io = {&Byte, 1};
    union {
        struct cmsghdr Header;
        char Space[CMSG_SPACE(sizeof(int))];
    } Control;
    memset(&Control, 0, sizeof Control);
    struct msghdr Message;
    memset(&Message, 0, sizeof Message);
    Message.msg_iov = &Io;
    Message.msg_iovlen = 1;
    Message.msg_control = Control.Space;
    Message.msg_controllen = sizeof Control.Space;
    struct cmsghdr *Rights = CMSG_FIRSTHDR(&Message);
    Rights->cmsg_level = SOL_SOCKET;
    Rights->cmsg_type = SCM_RIGHTS;
    Rights->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(Rights), &Socket, sizeof Socket);
    /* A caller that does not read gets nothing rather than a helper that waits. */
    return sendmsg(BindHelperChannelFd, &Message, MSG_DONTWAIT | MSG_NOSIGNAL) == 1;
}

int main(int argc, char **argv)
{
    /* Nothing here asks for the environment; without it no library call can either. */
    clearenv();
    if (!IsChannel(BindHelperChannelFd))
        return bhNoChannel;
    if (!KeepOnlyChannel())
        return bhFailed;
    uint32_t Host = 0;
    char Name[IF_NAMESIZE];
    if (argc != 2 || !ParseDottedQuad(argv[1], &Host))
        return bhBadRequest;
    const uint32_t Address = htonl(Host);
    const int Holding = Host == INADDR_ANY ? bhNotLocal : InterfaceHolding(Address, Name);
    if (Holding != bhSent)
        return Holding;
    const int Socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (Socket < 0)
        return bhFailed;
    /* Kept to the interface here: an unprivileged caller may not change that
       afterwards. Kernels before 5.7 keep it to CAP_NET_RAW; the caller then
       steers its sends itself (IP_UNICAST_IF). */
    if (setsockopt(Socket, SOL_SOCKET, SO_BINDTODEVICE, Name, (socklen_t)(strlen(Name) + 1)) != 0 &&
        errno != EPERM)
        return bhFailed;
    struct sockaddr_in Local;
    memset(&Local, 0, sizeof Local);
    Local.sin_family = AF_INET;
    Local.sin_port = htons(BindHelperPort);
    Local.sin_addr.s_addr = Address;
    if (bind(Socket, (const struct sockaddr *)&Local, sizeof Local) != 0) {
        switch (errno) {
        case EACCES:
        case EPERM:
            return bhNoPermission;
        case EADDRINUSE:
            return bhInUse;
        case EADDRNOTAVAIL:
            return bhNotLocal;
        default:
            return bhFailed;
        }
    }
    return SendSocket(Socket) ? bhSent : bhFailed;
}
