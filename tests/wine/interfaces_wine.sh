# shellcheck shell=bash
# The lab of tst_interfaces_wine (tests/common/rows.sh sources it in the test's own namespace):
# a veth pair that is up, one that is down, a bridge with two addresses and 14 more pairs (more
# records than 1,024 bytes hold); then Linux's own view of the table for the program, in TXL_EXPECT.
lab_link wv1 10.1.0.1/24
lab_link wv2 10.2.0.1/24 down
ip link add wbr0 type bridge
ip addr add 10.3.0.1/16 brd + dev wbr0
ip addr add 10.4.0.1/24 brd + dev wbr0
ip link set wbr0 up
for i in $(seq 1 14); do lab_link "wx$i" "10.10.$i.1/24"; done
LAB_UNDO+=("ip link del wbr0")

# Carrier comes a moment after "up": the last pair has it.
carrier() { ip -o link show wx14 | grep -q LOWER_UP; }
lab_wait_for 5 carrier || true

# One record per IPv4 address, in the kernel's order: address mask broadcast up loopback.
mask() { # prefix length -> dotted mask
    local m=$(((0xFFFFFFFF << (32 - $1)) & 0xFFFFFFFF))
    echo "$((m >> 24 & 255)).$((m >> 16 & 255)).$((m >> 8 & 255)).$((m & 255))"
}
expect=
while read -r _ dev _ cidr rest; do
    addr=${cidr%/*} brd=-
    [[ $rest =~ brd\ ([0-9.]+) ]] && brd=${BASH_REMATCH[1]}
    flags=$(ip -o link show dev "$dev" | sed 's/^[^<]*<\([^>]*\)>.*/\1/')
    up=0 loop=0
    [[ ,$flags, == *,LOWER_UP,* ]] && up=1
    [[ ,$flags, == *,LOOPBACK,* ]] && loop=1
    expect+="$addr $(mask "${cidr#*/}") $brd $up $loop;"
done < <(ip -4 -o addr show)
export TXL_EXPECT=$expect
