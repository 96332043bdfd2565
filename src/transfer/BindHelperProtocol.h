#pragma once

/* What the port-69 helper and the program that runs it agree on; C and C++.
   The helper is started with argv = {path, "a.b.c.d"} and an empty environment,
   and sends the bound socket as SCM_RIGHTS over the unix socket on
   BindHelperChannelFd, with one byte of data. Its exit status says how it went. */

enum { BindHelperChannelFd = 3, BindHelperPort = 69 };

enum TBindHelperExit {
    bhSent = 0,         /* the socket went to the caller */
    bhBadRequest = 1,   /* not exactly one strict dotted quad */
    bhNotLocal = 2,     /* the address is loopback's, or on none of this machine's interfaces */
    bhNoChannel = 3,    /* BindHelperChannelFd is no unix SEQPACKET socket */
    bhNoPermission = 4, /* the helper lacks cap_net_bind_service */
    bhInUse = 5,        /* another socket holds the address and port */
    bhFailed = 6,       /* anything else the system refused */
    bhInterfaceDown = 7 /* the interface that holds the address is switched off */
};
