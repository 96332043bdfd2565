#!/bin/bash
# txloader-cli as a test station runs it: a PC namespace whose cards are each cabled to a
# simulated device at 192.168.0.200. A row: what the device does, the arguments, the exit status
# and what standard error must say. Rows run the same engine with the tests' short limit per
# attempt (TXLOADER_CLI_SHORT), those marked with ROW_CLI the program as it ships.
#
# usage: txloader_cli.sh TXLOADER_CLI TXLOADER_CLI_SHORT TFTPSIM BUILD_DIR [station]
# With "station", the rows of --station alone: units that come and go at one address, on a direct
# cable and behind a switch.
set -uo pipefail

CLI=$1 CLI_SHORT=$2 SIM=$3 BUILD=$4 PART=${5:-rows}
PC=txl-cpc-$$ DEVA=txl-ca-$$ DEVB=txl-cb-$$
. "$(dirname "$0")/../lab.sh"
lab_start cli "$BUILD"

# cli ARGS...: runs txloader-cli (ROW_CLI, else the short one) in the PC namespace, with at most
# ROW_FILES open files when set; STATUS, CLI_MS, $WORK/out, $WORK/err.
cli() {
    local start
    start=$(date +%s%N)
    STATUS=0
    ip netns exec "$PC" ${ROW_FILES:+prlimit --nofile="$ROW_FILES" --} "${ROW_CLI:-$CLI_SHORT}" "$@" \
        >"$WORK/out" 2>"$WORK/err" || STATUS=$?
    CLI_MS=$((($(date +%s%N) - start) / 1000000))
}

# row NAME SIM_ARGS EXIT STDERR_PATTERN CLI_ARGS...: SIM_ARGS "-" for no device; the device behind
# ROW_DEV (DEVA).
row() {
    local name=$1 sim=$2 exit=$3 pattern=$4
    shift 4
    if [ "$sim" != - ]; then
        # shellcheck disable=SC2086 # the simulator's arguments, split
        lab_device "${ROW_DEV:-$DEVA}" "$SIM" --log "$WORK/sim.log" --idle-timeout 30 $sim ||
            { fail "$name: no device"; return; }
    fi
    cli "$@"
    check "$name: exit $STATUS, wanted $exit ($(head -c 300 "$WORK/err"))" [ "$STATUS" = "$exit" ]
    check "$name: standard error lacks '$pattern'" grep -q -- "$pattern" "$WORK/err"
    if [ "$sim" != - ]; then
        lab_sim_end 0
        if [ "$exit" = 0 ]; then
            check "$name: the device lacks the image" lab_image_arrived "$TXL_IMAGE"
        elif [ "$exit" = 64 ] || [ "$exit" = 4 ]; then
            check "$name: something reached the device" test ! -s "$WORK/sim.log"
        fi
    fi
}

if [ "$PART" = rows ]; then # up to the station's rows at the end
lab_cable "$PC" "$DEVA"
# A second card on another subnet, its cable unplugged: usable, but not the device's.
lab_link -n "$PC" txlcable 10.77.1.1/24 unplugged

log "outcomes, by subnet: 192.168.0.200 is behind 192.168.0.10"
row "silent device" "--fault 0:silent:all" 1 "^txloader: .*не ответило" 192.168.0.200
row "ERROR" "--fault 0:error:all" 2 "^Статус: ошибка устройства$" --quiet 192.168.0.200
row "unknown reply" "--fault 0:unknown:all" 3 "^Статус: неизвестная ошибка$" 192.168.0.200
row "by address, zeros decimal" "--once" 0 "^Статус: OK$" --interface 192.168.000.010 192.168.000.200
row "a broadcast" "--once" 4 "ничего не отправлено" --interface 192.168.0.10 192.168.0.255
row "multicast, whatever the cards" "--once" 4 "^txloader: Адрес 224.0.0.1 не может принадлежать" 224.0.0.1
row "0.0.0.0, whatever the cards" "-" 4 "^txloader: Адрес 0.0.0.0 не может принадлежать" 0.0.0.0
row "loopback, whatever the cards" "-" 4 "^txloader: 127.0.0.1 — адрес этого компьютера" 127.0.0.1
# Files limited to below the fourth free descriptor: the pipe that wakes the poll takes two, the
# socket one, and the look-up of its interface finds none.
files=$(ip netns exec "$PC" bash -c 'for ((f = 0, n = 0; f < 1024; f++)); do
    [ -e /proc/self/fd/$f ] || ((++n < 4)) || { echo "$f"; break; }; done')
ROW_FILES=$files row "no descriptor for the interface's look-up" "--once" 4 \
    "^txloader: .*EMFILE.*ничего не отправлено" --interface 192.168.0.10 192.168.0.200
row "no subnet holds it" "--once" 64 "не входит в подсеть ни одного.*10.77.1.1/24 (txlcable)" 172.16.0.5
row "unknown option" "--once" 64 "неизвестный параметр --fast" --fast 192.168.0.200
row "three groups" "--once" 64 "не IP-адрес" 192.168.0
row "no address" "--once" 64 "не задан IP-адрес" --json
row "unknown interface" "--once" 64 "нет интерфейса eth9" --interface eth9 192.168.0.200
ROW_CLI=$CLI row "OK, --json" "--once" 0 "^Статус: OK$" --json 192.168.0.200
check "json, one object with the device's SHA-256 and hardware address: $(cat "$WORK/out")" python3 -c '
import json, re, sys
o = json.loads(open(sys.argv[1]).read())
assert o["device_mac"] == sys.argv[5] and re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z", o["time"])
assert (o["device"], o["interface"], o["outcome"], o["exit"]) == ("192.168.0.200", "192.168.0.10", "ok", 0)
assert (o["blocks_acked"], o["image_bytes"], o["reason"]) == (int(sys.argv[3]) // 512 + 1, int(sys.argv[3]), "")
assert o["image_sha256"] == sys.argv[2] and o["image"] == sys.argv[4] and o["ms"] >= 0' \
    "$WORK/out" "$(grep -o '"sha256":"[0-9a-f]*"' "$WORK/sim.json" | cut -d'"' -f4)" "$TXL_IMAGE_SIZE" "$TXL_IMAGE_NAME" \
    "$(ip -n "$DEVA" -br link show "${LAB_PC_LINK}d" | awk '{print $3}')"
check "the unit named on standard error" grep -q "^Загрузка шла в устройство $(ip -n "$DEVA" -br link show \
    "${LAB_PC_LINK}d" | awk '{print $3}') (192.168.0.200)" "$WORK/err"

log "OK only for blocks acknowledged by their own number"
BLOCKS=$((TXL_IMAGE_SIZE / 512 + 1))
row "RFC 1350 receiver, block 1 lost" "--in-order --resend-ms 200 --fault 1:lose" 0 "^Статус: OK$" 192.168.0.200
row "the last ACK for any other block, a block lost" "--in-order --repeat-last-ack --fault 50:lose" 0 "^Статус: OK$" \
    192.168.0.200
row "ACKs all numbered 0" "--zero-acks" 1 "^txloader: .*номером 0" 192.168.0.200
row "stops listening after 59 blocks" "--fault 60:close" 1 "^txloader: .*приняло 59 из $BLOCKS блоков" 192.168.0.200
row "block 30 lost on the link, the device re-sends its last ACK" "--in-order --resend-ms 100 --fault 30:lose:all" 1 \
    "^txloader: .*приняло 29 из $BLOCKS блоков, но блок 30 до него не дошёл" 192.168.0.200
row "the PC's own address" "-" 4 "^txloader: .*192.168.0.10 .*этого компьютера" 192.168.0.10

log "a device that refuses: no more than three write requests, and its own words told"
row "ERROR while waiting" "--fault 0:error:all --error-code 3 --error-message Flash\\x20full\\x07" 2 \
    '^txloader: .*«Flash full\\x07»' --wait 3600 --json 192.168.0.200
check "ERROR while waiting: $(grep -c ' 2 - ' "$WORK/sim.log") write requests" [ "$(grep -c ' 2 - ' "$WORK/sim.log")" -le 3 ]
check "ERROR in JSON: $(cat "$WORK/out")" python3 -c '
import json, sys
o = json.loads(open(sys.argv[1]).read())
assert (o["outcome"], o["device_error_code"], o["device_error_message"]) == ("device-error", 3, "Flash full\\x07")
assert "Flash full" in o["reason"]' "$WORK/out"
# RFC 1350's receiver sends one ERROR and falls silent: its refusal, not a timeout.
row "ERROR once, then silence" "--fault 60:error --fault 60:silent:all --error-code 3 --error-message flash\\x20write" \
    2 "^txloader: .*на блок 60 .*кодом 3 .*«flash write».*приняло 59 из $BLOCKS блоков" 192.168.0.200
row "ERROR once, then silence, while waiting" "--fault 0:error --fault 0:silent:all" 2 "«simulated error»" \
    --wait 3600 192.168.0.200
row "a message in Russian" "--fault 0:error:all --error-message Недостаточно_места" 2 "«Недостаточно_места»" \
    192.168.0.200
ROW_CLI=$CLI cli --help
check "--help on exit 4" grep -q "4  ничего не отправлено (не удалось занять порт 69" "$WORK/out"

# Its usual three attempts end after 0.75 s: only --wait can bring the image to the device.
log "--wait 4: the device comes up 1.5 s late"
ip netns exec "$PC" "$CLI_SHORT" --wait 4 192.168.0.200 >"$WORK/out" 2>"$WORK/err" &
waiting=$!
sleep 1.5
lab_device "$DEVA" "$SIM" --once --idle-timeout 30
lab_wait_exit "$waiting" 10
check "--wait: exit $LAB_STATUS ($(cat "$WORK/err"))" [ "$LAB_STATUS" = 0 ]
check "--wait: said it waits" grep -q "^жду 192.168.0.200 … (включите устройство в режиме загрузки)" "$WORK/err"
check "--wait: the device lacks the image" lab_image_arrived "$TXL_IMAGE"

# midway SECONDS ACTION...: a slow upload (replies 20 ms late), ACTION 0.3 s into it, then its end
# awaited for SECONDS; LAB_STATUS and $WORK/err.
midway() {
    lab_device "$DEVA" "$SIM" --delay-ms 20 --idle-timeout 30
    ip netns exec "$PC" "$CLI_SHORT" 192.168.0.200 >"$WORK/out" 2>"$WORK/err" &
    MIDWAY=$!
    sleep 0.3
    "${@:2}"
    lab_wait_exit "$MIDWAY" "$1"
    lab_sim_end 0
}
# Ctrl+C, and the terminal closed: the upload ends at once, and says what the device holds.
for signal in INT HUP; do
    log "SIG$signal in the middle of a slow upload"
    midway 1 eval 'kill -$signal $MIDWAY'
    check "SIG$signal: status $LAB_STATUS, wanted 130 within 1 s" [ "$LAB_STATUS" = 130 ]
    check "SIG$signal: $(cat "$WORK/err")" grep -q "^txloader: Загрузка прервана: .*хранит неполный образ" "$WORK/err"
done

log "the PC's address removed in the middle of an upload"
midway 5 ip -n "$PC" addr del 192.168.0.10/24 dev "$LAB_PC_LINK"
check "address removed: status $LAB_STATUS, wanted 1" [ "$LAB_STATUS" = 1 ]
check "address removed: $(cat "$WORK/err")" grep -q "^txloader: Адреса 192.168.0.10 больше нет" "$WORK/err"
ip -n "$PC" addr add 192.168.0.10/24 dev "$LAB_PC_LINK"

log "two cards on one subnet, a device behind each"
lab_cable "$PC" "$DEVB" 192.168.0.11/24
row "which card" "-" 64 "входит в подсети нескольких" 192.168.0.200
row "one card, 5 ms replies" "--once --delay-ms 5" 0 "OK" --interface 192.168.0.10 192.168.0.200
one=$CLI_MS
lab_device "$DEVA" "$SIM" --once --delay-ms 5 --idle-timeout 30
mv "$WORK/sim.json" "$WORK/sim-a.json"
SIM_A=$SIM_PID
lab_device "$DEVB" "$SIM" --once --delay-ms 5 --idle-timeout 30
# The second card by its system name.
cli --json --interface 192.168.0.10 --interface "$LAB_PC_LINK" 192.168.0.200
both=$CLI_MS
check "two cards: exit $STATUS ($(cat "$WORK/err"))" [ "$STATUS" = 0 ]
lab_wait_for 5 lab_stopped "$SIM_PID" # its summary comes as it ends
check "two cards: device B lacks the image" lab_image_arrived "$TXL_IMAGE"
lab_wait_for 5 lab_stopped "$SIM_A"
check "two cards: device A lacks the image" grep -q "\"sha256\":\"$(sha256sum "$TXL_IMAGE" | cut -d' ' -f1)\"" "$WORK/sim-a.json"
check "two cards: $(grep -c '"outcome":"ok"' "$WORK/out") JSON lines with ok" [ "$(grep -c '"outcome":"ok"' "$WORK/out")" = 2 ]
log "one upload $one ms, two at once $both ms"
check "two cards took $both ms, one $one ms: not side by side" [ $((both * 2)) -lt $((one * 3)) ]

# Read by nobody (a pipe whose reader ended, perhaps only after the uploads) or closed (>&-).
for closed in pipe fd; do
    log "standard output closed ($closed): the uploads go on, the status follows them, the lost JSON is told"
    lab_device "$DEVA" "$SIM" --once --idle-timeout 30
    mv "$WORK/sim.json" "$WORK/sim-a.json"
    SIM_A=$SIM_PID
    lab_device "$DEVB" "$SIM" --once --idle-timeout 30
    args=(--json --interface 192.168.0.10 --interface 192.168.0.11 192.168.0.200)
    if [ $closed = pipe ]; then
        ip netns exec "$PC" "$CLI_SHORT" "${args[@]}" 2>"$WORK/err" | true
        STATUS=${PIPESTATUS[0]} least=0
    else
        STATUS=0
        ip netns exec "$PC" "$CLI_SHORT" "${args[@]}" 2>"$WORK/err" >&- || STATUS=$?
        least=1
    fi
    check "closed $closed: exit $STATUS ($(cat "$WORK/err"))" [ "$STATUS" = 0 ]
    lost=$(grep -c "^txloader-cli: не удалось записать JSON в стандартный вывод" "$WORK/err")
    check "closed $closed: the lost JSON told $lost times, wanted once (or, for a pipe, not at all)" \
        [ $((lost >= least && lost <= 1)) = 1 ]
    lab_wait_for 5 lab_stopped "$SIM_PID"
    check "closed $closed: device B lacks the image" lab_image_arrived "$TXL_IMAGE"
    lab_wait_for 5 lab_stopped "$SIM_A"
    check "closed $closed: device A lacks the image" grep -q "\"sha256\":\"$(sha256sum "$TXL_IMAGE" | cut -d' ' -f1)\"" "$WORK/sim-a.json"
done

log "a card with two addresses, named: the one whose subnet holds the device"
DEVC=txl-cc-$$
lab_cable "$PC" "$DEVC" 10.88.0.1/24
ip -n "$PC" addr add 192.168.0.12/24 dev "$LAB_PC_LINK"
ROW_DEV=$DEVC row "by name, the device's subnet second" "--once" 0 "^Статус: OK$" --interface "$LAB_PC_LINK" \
    192.168.0.200
row "by name, neither subnet" "-" 64 "10.88.0.1/24.*192.168.0.12/24" --interface "$LAB_PC_LINK" 172.16.0.5
ip -n "$PC" link set "$LAB_PC_LINK" down
row "by address, the card switched off" "-" 4 "^txloader: Интерфейс 10.88.0.1 выключен" --interface 10.88.0.1 192.168.0.200
fi

if [ "$PART" = station ]; then
# lines FILE: its whole lines, 0 when it is not there; has_lines FILE N: at least N of them.
lines() { if [ -f "$1" ]; then wc -l <"$1"; else echo 0; fi; }
has_lines() { [ "$(lines "$1")" -ge "$2" ]; }
# unit NS LINK MAC: another unit at the end of the cable: out, its address set, back in.
unit() { ip -n "$1" link set "$2" down && ip -n "$1" link set "$2" address "$3" && ip -n "$1" link set "$2" up; }
# station NAME PC ARGS...: txloader-cli --station in namespace PC, in the background, its output in
# $WORK/NAME.out and NAME.err: STATION.
station() {
    ip netns exec "$2" "$CLI_SHORT" --station "${@:3}" 192.168.0.200 >"$WORK/$1.out" 2>"$WORK/$1.err" &
    STATION=$!
}
# units FILE N MACS...: N lines in FILE, unit 1.. N, each OK with its MAC.
units() {
    python3 - "$@" <<'PY'
import json, sys
lines = open(sys.argv[1]).read().split("\n")
assert lines[-1] == "", "a line cut short"
units = [json.loads(l) for l in lines[:-1]]
assert len(units) == int(sys.argv[2]), units
for n, (o, mac) in enumerate(zip(units, sys.argv[3:]), 1):
    assert (o["unit"], o["outcome"], o["device_mac"]) == (n, "ok", mac), o
PY
}
BLOCK1='$2 == 3 && $3 == 1' # DATA block 1 in the simulator's log: an upload begun

log "station on a direct cable: two units in turn, a unit that stays 15 s, the same unit out and back"
PCS=txl-cps-$$ DEVS=txl-cs-$$
lab_cable "$PCS" "$DEVS"
CABLE=${LAB_PC_LINK}d
ip -n "$DEVS" link set "$CABLE" address 02:00:5e:10:00:01
lab_device "$DEVS" "$SIM" --each --idle-timeout 60 --log "$WORK/sim.log"
DIRECT_SIM=$SIM_PID
station direct "$PCS" --count 3 --json --log "$WORK/station.log"
DIRECT=$STATION
lab_wait_for 10 has_lines "$WORK/station.log" 1
STAY=$SECONDS

# While that unit stays, two more stations on cables of their own.
log "meanwhile: a station killed in the middle of its second unit leaves whole lines only"
PCK=txl-cpk-$$ DEVK=txl-ck-$$
lab_cable "$PCK" "$DEVK"
LAB_SIM_NAME=simk lab_device "$DEVK" "$SIM" --each --delay-ms 20 --idle-timeout 60
echo '{"unit": 0, "outcome": "ok", "device_mac": "written before"}' >"$WORK/kill.log"
station kill "$PCK" --log "$WORK/kill.log"
lab_wait_for 10 has_lines "$WORK/kill.log" 2
unit "$DEVK" "${LAB_PC_LINK}d" 02:00:5e:10:00:03
sleep 1.5
kill -9 "$STATION"
lab_wait_exit "$STATION" 5
check "killed: whole lines, the first kept: $(cat "$WORK/kill.log")" python3 -c '
import json, sys
lines = open(sys.argv[1]).read().split("\n")
assert lines[-1] == "" and len(lines) == 3
assert [json.loads(l)["unit"] for l in lines[:-1]] == [0, 1]' "$WORK/kill.log"

log "meanwhile: behind a switch, the next unit while the last one's neighbour entry still stands"
PCW=txl-cpw-$$ BR=txl-cbr-$$ DEVW=txl-cw-$$
for ns in "$PCW" "$BR" "$DEVW"; do lab_namespace "$ns"; done
ip -n "$BR" link add sw type bridge && ip -n "$BR" link set sw up
ip -n "$PCW" link add pc type veth peer name p1 netns "$BR"
ip -n "$DEVW" link add unit type veth peer name p2 netns "$BR"
for port in p1 p2; do ip -n "$BR" link set "$port" master sw up; done
ip -n "$PCW" addr add 192.168.0.10/24 dev pc && ip -n "$PCW" link set pc up
ip -n "$DEVW" addr add 192.168.0.200/24 dev unit && ip -n "$DEVW" link set unit address 02:00:5e:10:00:04 up
# The PC's neighbour timers shortened, so one re-resolution takes seconds, not a minute.
ip netns exec "$PCW" sysctl -qw net.ipv4.neigh.pc.base_reachable_time_ms=1000 \
    net.ipv4.neigh.pc.delay_first_probe_time=1
LAB_SIM_NAME=simw lab_device "$DEVW" "$SIM" --each --idle-timeout 60
station switch "$PCW" --count 2 --json
lab_wait_for 10 grep -q '"unit":1' "$WORK/switch.out"
unit "$DEVW" unit 02:00:5e:10:00:05
lab_wait_exit "$STATION" 20
check "switch: exit $LAB_STATUS ($(cat "$WORK/switch.err"))" [ "$LAB_STATUS" = 0 ]
check "switch: $(cat "$WORK/switch.out")" units "$WORK/switch.out" 2 02:00:5e:10:00:04 02:00:5e:10:00:05

# Back at the direct cable, once its unit has stayed 15 s.
[ $((SECONDS - STAY)) -ge 16 ] || sleep $((16 - (SECONDS - STAY)))
check "a unit that stays 15 s: $(lines "$WORK/station.log") lines, wanted 1" [ "$(lines "$WORK/station.log")" = 1 ]
check "a unit that stays 15 s: loaded $(awk "$BLOCK1" "$WORK/sim.log" | wc -l) times" \
    [ "$(awk "$BLOCK1" "$WORK/sim.log" | wc -l)" = 1 ]
# The write requests of the first 15 s after its image: one an attempt's limit (0.25 s) at most.
wrqs=$(awk '$2 == 3 && !t { t = $1 } $2 == 2 && t && $1 < t + 15000 { n++ } END { print n + 0 }' "$WORK/sim.log")
check "a unit that stays 15 s: $wrqs write requests at it" [ "$wrqs" -le 61 ]
unit "$DEVS" "$CABLE" 02:00:5e:10:00:02
lab_wait_for 10 has_lines "$WORK/station.log" 2
unit "$DEVS" "$CABLE" 02:00:5e:10:00:02
lab_wait_exit "$DIRECT" 10
check "station of three: exit $LAB_STATUS ($(cat "$WORK/direct.err"))" [ "$LAB_STATUS" = 0 ]
check "station of three: $(cat "$WORK/station.log")" units "$WORK/station.log" 3 02:00:5e:10:00:01 \
    02:00:5e:10:00:02 02:00:5e:10:00:02
check "station of three: standard output as the log" cmp "$WORK/direct.out" "$WORK/station.log"
check "station of three: each loaded once" [ "$(awk "$BLOCK1" "$WORK/sim.log" | wc -l)" = 3 ]
SIM_PID=$DIRECT_SIM
lab_sim_end 0
check "station of three: each got the image" [ "$(grep -c "\"sha256\":\"$(sha256sum "$TXL_IMAGE" | cut -d' ' -f1)\"" \
    "$WORK/sim.json")" = 3 ]
check "station of three: the summary" grep -q "^Станция: устройств 3, OK 3, с ошибкой 0.$" "$WORK/direct.err"
check "station of three: a line a unit" grep -q "^2  OK  02:00:5e:10:00:02  [0-9.]* с$" "$WORK/direct.err"

log "station: what it refuses before anything is sent"
PC=$PCS
row "station with --wait" "-" 64 "--station и --wait не сочетаются" --station --wait 5 192.168.0.200
row "station with --count 0" "-" 64 "после --count нужно число устройств от 1" --station --count 0 192.168.0.200
row "a log that cannot be opened" "-" 4 "не удалось открыть файл /nonexistent/st.log для дописывания" --station \
    --log /nonexistent/st.log 192.168.0.200
fi

lab_tally
