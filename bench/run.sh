#!/bin/bash
# Upload benchmark: our process, txloader-cli, against curl, tftp-hpa and
# busybox tftp, all sending the firmware image from a "PC" namespace
# (192.168.0.10) to the device simulator at 192.168.0.200:69 in a "device"
# namespace, joined by a veth pair. The simulator plays the link: a fixed
# delay before every reply and, if asked, seeded packet loss.
#
#   sudo bench/run.sh [--build DIR] [--delay MS] [--drop FRACTION] [--seed N]
#                     [--burst N] [--runs N] [--tools "ours curl tftp-hpa busybox"]
#                     [--no-wait] [--devices N]
#
# --delay takes fractions (0.2); --burst N has the device send N junk
# datagrams without an opcode before each ACK of block 5.
# Tools take turns, after one unrecorded warm-up round. Prints a table of
# medians (wall time, CPU time, lost packets) per tool and the bound
# 121 x delay + 3000 ms x lost packets, and each client's median turnaround
# (reply due -> next packet in, from the simulator's log); then the CPU our
# client uses while it waits on a device that never answers (about 9 s), on
# one whose port 69 is closed (the kernel answers port unreachable), and when
# port 69 is taken on our side (nothing can be sent: it ends at once).
# --devices N (2..16) then times ours uploading to N devices at once, each
# behind a card of its own (192.168.0.10, .11, ...), against one device alone,
# taking turns.
set -u

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${TXL_BUILD:-$ROOT/build-sim}
DELAY=2
DROP=0
SEED=1
BURST=0
RUNS=5
TOOLS="ours curl tftp-hpa busybox"
WAIT_TEST=1
DEVICES=1
INSIDE=0
ARGS=("$@")

die() {
    echo "run.sh: $*" >&2
    exit 1
}

while [ $# -gt 0 ]; do
    case $1 in
    --build) BUILD=$2; shift 2 ;;
    --delay) DELAY=$2; shift 2 ;;
    --drop) DROP=$2; shift 2 ;;
    --seed) SEED=$2; shift 2 ;;
    --burst) BURST=$2; shift 2 ;;
    --runs) RUNS=$2; shift 2 ;;
    --tools) TOOLS=$2; shift 2 ;;
    --no-wait) WAIT_TEST=0; shift ;;
    --devices) DEVICES=$2; shift 2 ;;
    --inside) INSIDE=1; shift ;;
    -h | --help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 0 ;;
    *) die "unknown argument $1 (see --help)" ;;
    esac
done
[[ $DELAY =~ ^[0-9]+(\.[0-9]+)?$ ]] || die "--delay wants milliseconds (0, 0.2, 2)"
[[ $BURST =~ ^[0-9]+$ && $BURST -le 100000 ]] || die "--burst wants 0..100000 datagrams"
[[ $RUNS =~ ^[0-9]+$ && $RUNS -ge 1 && $RUNS -le 100 ]] || die "--runs wants 1..100"
[[ $DEVICES =~ ^[0-9]+$ && $DEVICES -ge 1 && $DEVICES -le 16 ]] || die "--devices wants 1..16"

SIM=$BUILD/tools/tftpsim/tftpsim
DRIVER=$BUILD/txloader-cli
HOST=192.168.0.200
[ -f "$BUILD/image.env" ] || die "no $BUILD/image.env: configure the build first"
. "$ROOT/tests/lab.sh"
lab_image "$BUILD"
PACKETS=$((TXL_IMAGE_SIZE / 512 + 2)) # the WRQ and every block

# --- outside: make the namespace, run this script again inside it ----------
if [ "$INSIDE" = 0 ]; then
    [ "$(id -u)" = 0 ] || die "needs root (network namespace, port 69)"
    [ -x "$SIM" ] || die "no simulator at $SIM; build it: cmake --build $BUILD --target tftpsim"
    NS=txlbench-$$
    trap lab_cleanup EXIT
    trap 'exit 130' INT TERM
    lab_cable "$NS" "$NS-dev" || die "cannot make the namespaces $NS and $NS-dev"
    # One more card and device for each further device, on the same subnet.
    for ((i = 1; i < DEVICES; i++)); do
        lab_cable "$NS" "$NS-dev$i" "192.168.0.$((10 + i))/24" || die "cannot cable device $i"
    done
    TXL_BENCH_DEVICE=$NS-dev ip netns exec "$NS" bash "$0" --inside "${ARGS[@]}"
    exit $?
fi

# --- inside the namespace ---------------------------------------------------
WORK=$(mktemp -d)
SIM_PID=
stop_sim() { [ -z "$SIM_PID" ] || lab_sim_end 0; SIM_PID=; }
trap 'stop_sim; rm -rf "$WORK"' EXIT
trap 'exit 130' INT TERM

start_sim() { # start_sim EXTRA-ARGS...: the simulator at $HOST, its log in $WORK/sim.log
    rm -f "$WORK/sim.log"
    lab_device "$TXL_BENCH_DEVICE" "$SIM" --each --idle-timeout 300 --log "$WORK/sim.log" "$@" ||
        die "simulator did not start"
}

# measure CMD...: runs it once; sets WALL_MS, CPU_MS (user+sys of the command
# and its children) and RC.
measure() {
    local t0 t1
    t0=$EPOCHREALTIME
    (
        timeout 120 "$@" >"$WORK/cmd.out" 2>&1
        echo $? >"$WORK/cmd.rc"
        times >"$WORK/cmd.times"
    )
    t1=$EPOCHREALTIME
    RC=$(cat "$WORK/cmd.rc")
    WALL_MS=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", (b - a) * 1000 }')
    # Second line of `times`: children's user and system time, as "0m0.012s 0m0.004s".
    CPU_MS=$(sed -n 2p "$WORK/cmd.times" |
        awk '{ t = 0; for (i = 1; i <= 2; ++i) { split($i, p, /[ms]/); t += p[1] * 60 + p[2] } printf "%.1f", t * 1000 }')
}

median() { # median of the numbers on stdin, "-" for none
    sort -g | awk '{ v[NR] = $1 } END {
        if (NR == 0) { print "-"; exit }
        if (NR % 2) print v[(NR + 1) / 2]; else printf "%.1f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

tool_command() { # the upload command line of a tool
    case $1 in
    ours) echo "$DRIVER" --json --quiet --interface 192.168.0.10 "$HOST" ;;
    curl) echo curl -sS --max-time 60 -T "$TXL_IMAGE" "tftp://$HOST/$TXL_IMAGE_NAME" ;;
    tftp-hpa) echo tftp "$HOST" -m binary -c put "$TXL_IMAGE" "$TXL_IMAGE_NAME" ;;
    busybox) echo busybox tftp -p -l "$TXL_IMAGE" -r "$TXL_IMAGE_NAME" "$HOST" ;;
    *) die "unknown tool $1" ;;
    esac
}

IMAGE_SHA=$(sha256sum "$TXL_IMAGE" | cut -d' ' -f1)
echo "# $(date -u '+%Y-%m-%d %H:%M UTC'), $(uname -sr), $(nproc) CPUs: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "# load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "# delay ${DELAY} ms, drop ${DROP} (seed ${SEED}), junk burst ${BURST}, ${RUNS} runs per tool, image $TXL_IMAGE_SIZE bytes"

SIM_ARGS=(--delay-ms "$DELAY" --drop "$DROP" --seed "$SEED")
[ "$BURST" = 0 ] || SIM_ARGS+=(--fault 5:flood:all --flood-count "$BURST")
start_sim "${SIM_ARGS[@]}"
: >"$WORK/rows"
failures=0
RUN_TOOLS=
for tool in $TOOLS; do
    tool_command "$tool" >/dev/null
    if [ "$tool" = ours ] && [ ! -x "$DRIVER" ]; then
        echo "# ours: no $DRIVER (cmake --build $BUILD --target txloader-cli); skipped"
        continue
    fi
    RUN_TOOLS="$RUN_TOOLS $tool"
done

# Round 0 warms caches and is not recorded. Tools take turns within a round so
# that a burst of load from elsewhere on the machine does not hit one tool only.
for run in $(seq 0 "$RUNS"); do
    for tool in $RUN_TOOLS; do
        read -r -a cmd <<<"$(tool_command "$tool")"
        summaries=$(wc -l <"$WORK/sim.json")
        logged=$(wc -l <"$WORK/sim.log")
        measure "${cmd[@]}"
        # The simulator prints a summary line per completed transfer; wait for it briefly.
        for i in $(seq 40); do
            [ "$(wc -l <"$WORK/sim.json")" -gt "$summaries" ] && break
            sleep 0.05
        done
        last=$(tail -n 1 "$WORK/sim.json")
        ok=0
        if [ "$RC" = 0 ] && [ "$(wc -l <"$WORK/sim.json")" -gt "$summaries" ] &&
            [[ $last == *"\"sha256\":\"$IMAGE_SHA\""* && $last == *"\"bytes\":$TXL_IMAGE_SIZE,"* ]]; then
            ok=1
        else
            failures=$((failures + 1))
            echo "# $tool run $run FAILED (exit $RC): $(head -c 300 "$WORK/cmd.out")" >&2
        fi
        [ "$run" = 0 ] && continue
        lost=$(tail -n +"$((logged + 1))" "$WORK/sim.log" | grep -c ' drop$')
        bound=$(awk -v p="$PACKETS" -v d="$DELAY" -v l="$lost" 'BEGIN { printf "%.1f", p * d + 3000 * l }')
        upload=$(sed -n 's/.*"ms":\([0-9.]*\).*/\1/p' "$WORK/cmd.out")
        # Client turnaround: from the moment a reply is due (arrival + delay) to the
        # arrival of the next packet, read off the simulator's log; median/mean in us.
        tail -n +"$((logged + 1))" "$WORK/sim.log" |
            awk -v d="$DELAY" '$5 == "ack" { if (n++) print ($1 - prev - d) * 1000; prev = $1 }' >"$WORK/turn"
        turn="$(median <"$WORK/turn")/$(awk '{ s += $1 } END { printf "%.0f", NR ? s / NR : 0 }' "$WORK/turn")"
        echo "$tool $run $WALL_MS $CPU_MS $lost $bound $ok ${upload:--} $turn" >>"$WORK/rows"
    done
done
stop_sim

column_of() { # column_of TOOL N: column N of that tool's successful runs
    awk -v t="$1" -v n="$2" '$1 == t && $7 == 1 { print $n }' "$WORK/rows"
}
echo
printf '| %-28s | %5s | %13s | %12s | %10s | %9s | %10s | %16s |\n' tool "ok" "wall ms (med)" "CPU ms (med)" "lost (med)" "bound ms" "wall/bound" "turn us med/mean"
printf '|%s|%s|%s|%s|%s|%s|%s|%s|\n' ------------------------------ ------- --------------- -------------- ------------ ----------- ------------ ------------------
for tool in $RUN_TOOLS; do
    total=$(awk -v t="$tool" '$1 == t' "$WORK/rows" | wc -l)
    [ "$total" -gt 0 ] || continue
    good=$(column_of "$tool" 1 | wc -l)
    wall=$(column_of "$tool" 3 | median)
    cpu=$(column_of "$tool" 4 | median)
    lost=$(column_of "$tool" 5 | median)
    bound=$(column_of "$tool" 6 | median)
    ratio=$(awk -v w="$wall" -v b="$bound" 'BEGIN { if (w == "-" || b <= 0) print "-"; else printf "%.3f", w / b }')
    turn="$(column_of "$tool" 9 | cut -d/ -f1 | median)/$(column_of "$tool" 9 | cut -d/ -f2 | median)"
    label=$tool
    [ "$tool" = ours ] && label="ours (txloader-cli process)"
    printf '| %-28s | %2s/%-2s | %13s | %12s | %10s | %9s | %10s | %16s |\n' "$label" "$good" "$total" "$wall" "$cpu" "$lost" "$bound" "$ratio" "$turn"
    if [ "$tool" = ours ]; then
        upload=$(column_of ours 8 | median)
        ratio=$(awk -v w="$upload" -v b="$bound" 'BEGIN { if (w == "-" || b <= 0) print "-"; else printf "%.3f", w / b }')
        printf '| %-28s | %2s/%-2s | %13s | %12s | %10s | %9s | %10s | %16s |\n' "ours (the upload alone)" "$good" "$total" "$upload" "" "$lost" "$bound" "$ratio" ""
    fi
done
echo
echo "# all runs (tool run wall_ms cpu_ms lost bound_ms ok upload_ms turnaround_us_median/mean):"
sed 's/^/#   /' "$WORK/rows"

if [ "$WAIT_TEST" = 1 ] && [ -x "$DRIVER" ]; then
    # wait_case LABEL EXIT: one upload that must end with EXIT (1 timeout, 4 nothing sent),
    # with its CPU share.
    wait_case() {
        measure "$DRIVER" --json --quiet --interface 192.168.0.10 "$HOST"
        share=$(awk -v c="$CPU_MS" -v w="$WALL_MS" 'BEGIN { printf "%.3f", 100 * c / w }')
        echo "# $1: exit $RC, wall ${WALL_MS} ms, CPU ${CPU_MS} ms = ${share} % of one core"
        [ "$RC" = "$2" ] || { echo "# expected exit $2: $(cat "$WORK/cmd.out")" >&2; failures=$((failures + 1)); }
    }
    echo
    # A device that never answers: the client sends the WRQ three times and gives up.
    start_sim --fault 0:silent:all
    wait_case "waiting on a silent device" 1
    stop_sim
    # Nothing listens at the device's port 69: every WRQ brings back an ICMP
    # port unreachable, which must neither end the wait nor spin the reader.
    wait_case "waiting on a closed port 69" 1
    # Port 69 is taken on our side: nothing can be sent, nothing is waited for.
    python3 -c 'import socket, time; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("192.168.0.10", 69)); time.sleep(60)' &
    holder=$!
    sleep 0.3
    wait_case "port 69 taken by another program" 4
    kill "$holder" 2>/dev/null
    wait "$holder" 2>/dev/null
fi

if [ "$DEVICES" -gt 1 ] && [ -x "$DRIVER" ]; then
    # Every device behind its own card, replies DELAY late; ours to one of them, then to all at once.
    SIMS=()
    for ((i = 0; i < DEVICES; i++)); do
        dev=$TXL_BENCH_DEVICE
        [ "$i" = 0 ] || dev=$TXL_BENCH_DEVICE$i
        LAB_SIM_NAME=sim$i lab_sim ip netns exec "$dev" "$SIM" --bind "$HOST" --each --idle-timeout 300 \
            --delay-ms "$DELAY" || die "simulator $i did not start"
        SIMS+=("$SIM_PID")
    done
    SIM_PID=
    ALL=()
    for ((i = 0; i < DEVICES; i++)); do ALL+=(--interface "192.168.0.$((10 + i))"); done
    : >"$WORK/multi"
    for run in $(seq 0 "$RUNS"); do
        for n in 1 "$DEVICES"; do
            measure "$DRIVER" --json --quiet "${ALL[@]:0:$((2 * n))}" "$HOST"
            oks=$(grep -c '"outcome":"ok"' "$WORK/cmd.out")
            if [ "$RC" != 0 ] || [ "$oks" != "$n" ]; then
                failures=$((failures + 1))
                echo "# $n devices, run $run FAILED (exit $RC): $(head -c 300 "$WORK/cmd.out")" >&2
            fi
            [ "$run" = 0 ] || echo "$n $WALL_MS $CPU_MS" >>"$WORK/multi"
        done
    done
    for pid in "${SIMS[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
    # Every device took a whole image on every round.
    for ((i = 0; i < DEVICES; i++)); do
        whole=$(grep -c "\"sha256\":\"$IMAGE_SHA\"" "$WORK/sim$i.json")
        want=$((i == 0 ? 2 * (RUNS + 1) : RUNS + 1))
        [ "$whole" = "$want" ] || { echo "# device $i got $whole whole images, not $want" >&2; failures=$((failures + 1)); }
    done
    one=$(awk '$1 == 1 { print $2 }' "$WORK/multi" | median)
    many=$(awk -v n="$DEVICES" '$1 == n { print $2 }' "$WORK/multi" | median)
    echo
    echo "# $DEVICES devices at once, delay ${DELAY} ms, $RUNS runs: one alone ${one} ms (CPU $(awk '$1 == 1 { print $3 }' "$WORK/multi" | median) ms)," \
        "all at once ${many} ms (CPU $(awk -v n="$DEVICES" '$1 == n { print $3 }' "$WORK/multi" | median) ms):" \
        "$(awk -v a="$many" -v b="$one" 'BEGIN { printf "%.3f", a / b }') x"
fi

[ "$failures" = 0 ]
