#!/bin/sh
# Runs a command in a network namespace of its own with only loopback up.
# The namespace goes away with its last process, so nothing is left behind.
set -e
exec unshare --net -- sh -c 'ip link set lo up && exec "$@"' in-netns "$@"
