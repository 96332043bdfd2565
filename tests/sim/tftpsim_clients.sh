#!/bin/bash
# The simulator on 127.0.0.2:69 (in a namespace of the test's own, in-netns.sh) takes the image
# from three independent TFTP clients, as the image itself says; then garbage and bad arguments.
set -u

SIM=${TXL_SIM:?TXL_SIM must name the tftpsim binary}
BUILD=${TXL_BUILD_DIR:?TXL_BUILD_DIR must name the build directory}
HOST=127.0.0.2
. "$(dirname "$0")/../lab.sh"
lab_start sim "$BUILD"
IMAGE=$TXL_IMAGE NAME=$TXL_IMAGE_NAME
FULL=$((TXL_IMAGE_SIZE / 512)) LAST=$((TXL_IMAGE_SIZE % 512 + 4)) PACKETS=$((TXL_IMAGE_SIZE / 512 + 2))
# The simulator at $HOST, its log and file in $WORK/sim.log and sim.out.
start_sim() { lab_sim_at sim - "$HOST" "$@"; }
field() { # field NAME: value of a field in the last summary line
    tail -n 1 "$WORK/sim.json" | sed -n "s/.*\"$1\":\(\"[^\"]*\"\|[^,}]*\).*/\1/p" | tr -d '"'
}

expect_image() { # checks the summary and the saved file against the image
    local who=$1
    check "$who: summary sha256 equals sha256sum of the image" [ "$(field sha256)" = "$IMAGE_SHA" ]
    check "$who: $TXL_IMAGE_SIZE bytes, complete" [ "$(field bytes):$(field complete)" = "$TXL_IMAGE_SIZE:true" ]
    check "$who: file name and mode" [ "$(field file):$(field mode)" = "$NAME:octet" ]
    check "$who: $PACKETS packets, no repeats" [ "$(field packets):$(field repeats)" = "$PACKETS:0" ]
    check "$who: saved file identical" cmp -s "$WORK/sim.out" "$IMAGE"
    check "$who: $FULL full DATA and one of $LAST logged" \
        [ "$(awk '$2 == 3 && $4 == 516 && $5 == "ack"' "$WORK/sim.log" | wc -l):$(awk '$2 == 3 {l = $4} END {print l}' "$WORK/sim.log")" = "$FULL:$LAST" ]
}
IMAGE_SHA=$(sha256sum "$IMAGE" | cut -d' ' -f1)

# SHA-256 against sha256sum, across the padding boundaries.
for n in 0 1 55 56 57 63 64 65 119 120 127 128 1000 "$TXL_IMAGE_SIZE"; do
    head -c "$n" "$IMAGE" >"$WORK/part"
    check "sha256 of $n bytes" [ "$("$SIM" --sha256 "$WORK/part" | cut -d' ' -f1)" = \
        "$(sha256sum "$WORK/part" | cut -d' ' -f1)" ]
done

for client in curl tftp-hpa busybox; do
    start_sim --once --idle-timeout 30 || continue
    case $client in
    curl) curl -sS --max-time 30 -T "$IMAGE" "tftp://$HOST/$NAME" ;;
    tftp-hpa) tftp "$HOST" -m binary -c put "$IMAGE" "$NAME" >/dev/null ;;
    busybox) busybox tftp -p -l "$IMAGE" -r "$NAME" "$HOST" 2>/dev/null ;;
    esac
    check "$client exits 0" [ $? = 0 ]
    lab_sim_end 2
    check "simulator exits 0 after the $client transfer" [ "$SIM_RC" = 0 ]
    expect_image "$client"
    # tftp-hpa adds no options, so this is the bare request.
    [ "$client" != tftp-hpa ] || check "tftp-hpa WRQ is 27 bytes" [ "$(awk '$2 == 2 {print $4}' "$WORK/sim.log")" = 27 ]
done

# Garbage does not stop it.
if start_sim --idle-timeout 30; then
    # Each datagram is built in a file first so that one write sends it whole.
    send() { cat "$WORK/dgram" >"/dev/udp/$HOST/69"; }
    printf '\x00' >"$WORK/dgram" && send                           # one byte
    printf '\x00\x09junk' >"$WORK/dgram" && send                   # unknown opcode
    printf '\x00\x03' >"$WORK/dgram" && send                       # DATA without block
    printf '\x00\x03\x00\x00abc' >"$WORK/dgram" && send            # DATA block 0
    head -c 600 /dev/zero | tr '\0' '\3' >"$WORK/dgram" && send     # opcode 0x0303
    { printf '\x00\x03\x00\x01' && head -c 513 "$IMAGE"; } >"$WORK/dgram" && send # DATA too long
    six_ignored() { [ "$(grep -c ' ignore$' "$WORK/sim.log" 2>/dev/null)" = 6 ]; }
    lab_wait_for 5 six_ignored
    check "six malformed datagrams logged as ignored" six_ignored
    check "one-byte datagram logged without opcode" grep -q '^[0-9.]* - - 1 ignore$' "$WORK/sim.log"
    check "simulator survives malformed datagrams" kill -0 "$SIM_PID"
    check "upload after garbage succeeds" curl -sS --max-time 30 -T "$IMAGE" "tftp://$HOST/$NAME"
    kill -TERM "$SIM_PID"
    lab_sim_end 2
    check "SIGTERM after a complete transfer exits 0" [ "$SIM_RC" = 0 ]
    check "summary after garbage is the image" [ "$(field sha256):$(field packets)" = "$IMAGE_SHA:$PACKETS" ]
fi

if start_sim --idle-timeout 0.3; then
    lab_sim_end 2
    check "idle timeout without a transfer exits 3" [ "$SIM_RC" = 3 ]
    check "empty summary says incomplete" [ "$(field complete):$(field bytes)" = "false:0" ]
fi

exits_1() { "$@" >/dev/null 2>"$WORK/sim.err"; [ $? = 1 ]; } # exits_1 COMMAND...: it ends with status 1
check "missing --bind exits 1" exits_1 "$SIM"
check "unknown fault kind exits 1" exits_1 "$SIM" --bind "$HOST" --fault 1:bogus
check "drop fraction above 1 exits 1" exits_1 "$SIM" --bind "$HOST" --drop 1.5
check "bind to a foreign address exits 1" exits_1 "$SIM" --bind 10.255.0.1 --idle-timeout 1
check "bind failure is reported" grep -q 'cannot bind' "$WORK/sim.err"

lab_tally
