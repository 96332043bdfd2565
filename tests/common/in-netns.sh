#!/bin/sh
# Runs a command in a network namespace of its own with only loopback up, and a /run/netns of its
# own for the namespaces the lab names there: both go away with the last process, so nothing is
# left behind. TXL_OUTER_NETNS names the namespace it left, which the command must not be in.
set -e
TXL_OUTER_NETNS=$(readlink /proc/self/ns/net)
export TXL_OUTER_NETNS
mkdir -p /run/netns
exec unshare --net --mount --propagation private -- \
    sh -c 'mount -t tmpfs lab /run/netns && ip link set lo up && exec "$@"' in-netns "$@"
