# shellcheck shell=bash disable=SC2034
# Network namespaces, links and the simulated device. Namespace "-" is this shell's own (a test's,
# from tests/common/in-netns.sh). LAB_ADDRESSES (exported, for the tests to compare) lists the
# usable addresses made in it, in order.

# lab_namespace NAME: a namespace with loopback up, removed by lab_cleanup.
lab_namespace() {
    ip netns add "$1"
    LAB_NAMESPACES+=("$1")
    ip -n "$1" link set lo up
}

# lab_ip NS ARGS...: ip in NS.
lab_ip() { if [ "$1" = - ]; then ip "${@:2}"; else ip -n "$1" "${@:2}"; fi; }
lab_made() { export LAB_ADDRESSES="${LAB_ADDRESSES:+$LAB_ADDRESSES }${1%/*}"; }

# lab_cable PC DEV [PC_CIDR] [LINK]: the PC at PC_CIDR (192.168.0.10/24) joined by a veth pair to
# the device at 192.168.0.200/24 in a new namespace DEV: LINK (after DEV; LAB_PC_LINK) at the PC,
# LINK"d" at the device. Each further cable of PC is another card.
lab_cable() {
    local pc=$1 dev=$2 link=${4:-txl$(cksum <<<"$2" | cut -c1-7)}
    [ "$pc" = - ] || [ -e "/run/netns/$pc" ] || lab_namespace "$pc"
    lab_namespace "$dev"
    ip link add "$link" type veth peer name "${link}d" netns "$dev"
    [ "$pc" = - ] || ip link set "$link" netns "$pc"
    lab_ip "$pc" addr add "${3:-192.168.0.10/24}" dev "$link"
    lab_ip "$pc" link set "$link" up
    ip -n "$dev" addr add 192.168.0.200/24 dev "${link}d"
    ip -n "$dev" link set "${link}d" up
    LAB_PC_LINK=$link
    [ "$pc" != - ] || { LAB_UNDO+=("ip link del $link") && lab_made "${3:-192.168.0.10/24}"; }
}

# lab_link [-n NS] NAME CIDR [down|unplugged]: a card NAME in NS (-) with CIDR and broadcast,
# its cable's far end NAMEp without an address; both up, or the card down, or the far end down.
lab_link() {
    local ns=-
    [ "$1" != -n ] || { ns=$2 && shift 2; }
    lab_ip "$ns" link add "$1" type veth peer name "${1}p"
    lab_ip "$ns" addr add "$2" brd + dev "$1"
    [ "${3:-}" = down ] || lab_ip "$ns" link set "$1" up
    [ "${3:-}" = unplugged ] || lab_ip "$ns" link set "${1}p" up
    [ "$ns" != - ] || LAB_UNDO+=("ip link del $1")
    [ "$ns" != - ] || [ -n "${3:-}" ] || lab_made "$2"
}

# lab_sim COMMAND...: starts the simulator COMMAND, summaries in $WORK/NAME.json and messages in
# NAME.err (NAME: LAB_SIM_NAME, else sim), and waits until it listens. Sets SIM_PID.
lab_sim() {
    local out=$WORK/${LAB_SIM_NAME:-sim}
    # The previous one's "listening" line must not pass for this one's.
    rm -f "$out.json" "$out.err"
    "$@" >"$out.json" 2>"$out.err" &
    SIM_PID=$!
    PIDS+=("$SIM_PID")
    lab_wait_for 10 grep -q '^listening ' "$out.err" ||
        { cat "$out.err" >&2; echo "simulator did not start" >&2; return 1; }
}

# lab_device NS SIM ARGS...: the simulated device at 192.168.0.200 in NS.
lab_device() { lab_sim ip netns exec "$1" "$2" --bind 192.168.0.200 "${@:3}"; }

# lab_sim_at NAME NS ADDRESS [ARGS...]: the simulator TXL_SIM as device NAME at ADDRESS in NS, its
# packet log and file in $WORK/NAME.log and NAME.out besides (for tests/common/SimDevice.h).
lab_sim_at() {
    local name=$1 ns=$2 address=$3
    shift 3
    rm -f "$WORK/$name.log" "$WORK/$name.out"
    local in=()
    [ "$ns" = - ] || in=(ip netns exec "$ns")
    LAB_SIM_NAME=$name lab_sim "${in[@]}" "${TXL_SIM:?}" --bind "$address" --log "$WORK/$name.log" \
        --out "$WORK/$name.out" --idle-timeout 120 "$@"
}

# lab_sim_end SECONDS: waits that long for the simulator to end, then ends it; SIM_RC: its status.
lab_sim_end() {
    lab_wait_for "$1" lab_stopped "$SIM_PID" || kill "$SIM_PID" 2>/dev/null
    SIM_RC=0
    wait "$SIM_PID" || SIM_RC=$?
}

# lab_after_first_request MS COMMAND...: runs COMMAND (a lab_sim_at, say) MS ms after the first
# datagram to a closed port of this namespace (the kernel's count of them): a device that comes
# up late. Nothing else may send to a closed port before. Watches for 60 s at most.
lab_after_first_request() {
    local ms=$1
    shift
    (
        trap 'kill $(jobs -p) 2>/dev/null; exit' TERM
        first=$(lab_no_ports)
        for ((n = 0; n < 6000; n++)); do
            [ "$(lab_no_ports)" = "$first" ] || break
            sleep 0.01
        done
        sleep "$((ms / 1000)).$(printf %03d $((ms % 1000)))"
        "$@" && wait
    ) &
    PIDS+=($!)
}
lab_no_ports() { awk '$1 == "Udp:" && $3 ~ /^[0-9]+$/ { print $3 }' /proc/net/snmp; }

# lab_tftpd NS: Debian's TFTP server at the device's address of a lab_cable, 192.168.0.200:69 in NS,
# taking writes into $WORK/tftpd.
lab_tftpd() {
    mkdir -p "$WORK/tftpd" && chmod 777 "$WORK/tftpd"
    setsid ip netns exec "$1" /usr/sbin/in.tftpd -L -c -s -u root -a 192.168.0.200:69 "$WORK/tftpd" &
    # Its child of a transfer sits SIGTERM out while it re-sends: the group goes by SIGKILL.
    LAB_UNDO+=("kill -KILL -- -$!")
    lab_wait_for 5 lab_listening "$1" 192.168.0.200:69 ||
        { echo "in.tftpd did not start (package tftpd-hpa)" >&2; return 1; }
}
lab_listening() { [ -n "$(ip netns exec "$1" ss -Hnul src "$2")" ]; }

# lab_image_arrived FIRMWARE: the device's last summary says the image came complete and byte-exact.
lab_image_arrived() {
    local summary
    summary=$(tail -n1 "$WORK/sim.json")
    grep -q '"complete":true' <<<"$summary" &&
        grep -q "\"sha256\":\"$(sha256sum "$1" | cut -d' ' -f1)\"" <<<"$summary"
}

# lab_delivered SECONDS FIRMWARE: waits for the device of lab_device --once to end; it took the
# image whole, byte for byte, by its name; else says so on standard error and returns 1.
lab_delivered() {
    local summary
    lab_wait_exit "$SIM_PID" "$1" || true
    [ "$LAB_STATUS" != running ] || { echo "FAIL: the device did not receive a complete image within $1 s" >&2; return 1; }
    summary=$(tail -n1 "$WORK/sim.json")
    echo "-- device: $summary"
    [ "$LAB_STATUS" = 0 ] || { echo "FAIL: simulator exit status $LAB_STATUS" >&2; return 1; }
    lab_image_arrived "$2" || { echo "FAIL: the image is incomplete or differs from $2" >&2; return 1; }
    grep -q "\"file\":\"${TXL_IMAGE_NAME:-$(basename "$2")}\"" <<<"$summary" ||
        { echo "FAIL: wrong file name announced" >&2; return 1; }
}
