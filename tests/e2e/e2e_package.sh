#!/bin/bash
# The Debian package as a user gets it: made by cpack from the build under test (its placeholder
# image allowed here only), installed with apt-get, started from /usr/bin by a user made for the
# test in a "PC" namespace. Only the port-69 helper holds a capability, and only root and the group
# txloader may run it: outside the group the user is told how to join and nothing reaches the
# device; in it, the device must receive the image byte for byte and the user's accessibility bus
# hear "Статус: OK". Then purged: nothing may be left, the group neither. The package, the group and
# the user belong to the machine: one run at a time. scripts/package.sh itself: package_script.sh.
#
# usage: e2e_package.sh TFTPSIM SOURCE_DIR BUILD_DIR
set -euo pipefail

SIM=$1 SRC=$2 BUILD=$3
PC=txl-pkgpc-$$ DEV=txl-pkgdev-$$
WORK=$(mktemp -d /tmp/txl-package.XXXXXX)
INSTALLED=0
OVERRIDDEN=0
MANIFEST_WAS=
USER_NAME=
HELPER=/usr/lib/txloader/txloader-bind69
. "$SRC/tests/lab.sh"

cleanup() {
    [ "$MANIFEST_WAS" != no ] || rm -f "$BUILD/install_manifest.txt"
    [ "$OVERRIDDEN" != 1 ] || dpkg-statoverride --remove "$HELPER" 2>/dev/null || true
    [ "$INSTALLED" != 1 ] || apt_get purge txloader >/dev/null 2>&1 || true
    lab_cleanup
    remove_user
}
remove_user() {
    [ -z "$USER_NAME" ] || userdel "$USER_NAME" 2>/dev/null || true
    USER_NAME=
}
trap cleanup EXIT

# dpkg gives up at once when another program holds its lock; apt-get waits for it.
apt_get() { apt-get -y -q -o DPkg::Lock::Timeout=300 "$@"; }

lab_needs apt-get flock dpkg dpkg-deb dpkg-statoverride cpack desktop-file-validate appstreamcli getcap setpriv \
    dbus-run-session useradd usermod userdel ip Xvfb xdotool import gcc
mkdir -p /run/lock
exec {MACHINE_LOCK}>/run/lock/txloader-e2e-package.lock
if ! flock -n "$MACHINE_LOCK"; then
    log "waiting for another e2e_package run on this machine"
    flock -w 600 "$MACHINE_LOCK" || { echo "FAIL: another e2e_package run kept the machine for 10 minutes"; exit 1; }
fi
if dpkg-query -W -f='${Status}' txloader 2>/dev/null | grep -q installed; then
    echo "SKIP: txloader is installed on this machine; the test will not replace it"
    exit 77
fi
if getent group txloader >/dev/null; then
    echo "SKIP: the group txloader exists on this machine; the test would remove it with the package"
    exit 77
fi

# The test's user, on an id with no user, group or process; its D-Bus session needs it in passwd.
U=
for id in $(seq 62001 62100); do
    getent passwd "$id" >/dev/null || getent group "$id" >/dev/null || pgrep -u "$id" >/dev/null ||
        { U=$id && break; }
done
[ -n "$U" ] || { echo "no unused user id"; exit 1; }
chmod 711 "$WORK"
mkdir -m 700 "$WORK/home"
useradd --system --uid "$U" --user-group --no-create-home --home-dir "$WORK/home" --shell /usr/sbin/nologin \
    "txlpkg$$" >"$WORK/useradd.log" 2>&1 || { cat "$WORK/useradd.log"; echo "cannot create user txlpkg$$"; exit 1; }
USER_NAME=txlpkg$$
chown "$U:$U" "$WORK/home"
cp "$SRC/tests/e2e/atspi_events.py" "$WORK/home/"
# user_in_pc COMMAND...: COMMAND as that user in the PC's namespace, without root's capabilities or
# environment, nor the machine's lock (a helper outliving the test must not keep it); in the groups
# USER_GROUPS says (none, or --init-groups: those /etc/group gives the user, as at a login).
USER_GROUPS=--clear-groups
user_in_pc() {
    ip netns exec "$PC" setpriv --reuid="$U" --regid="$U" "$USER_GROUPS" --inh-caps=-all \
        env -i PATH=/usr/bin:/bin HOME="$WORK/home" XDG_RUNTIME_DIR="$WORK/home" DISPLAY="$DISPLAY" \
        LANG=C.UTF-8 "$@" {MACHINE_LOCK}>&-
}

lab_image "$BUILD"
# Only the package's own folder may get files; CMake's install step writes its manifest into the
# build tree whatever cpack's folder, so that goes again at the end.
if [ -e "$BUILD/install_manifest.txt" ]; then MANIFEST_WAS=yes; else MANIFEST_WAS=no; fi
packed_in_build() { ls -d "$BUILD"/_CPack_Packages "$BUILD"/*.deb 2>/dev/null || true; }
BUILD_HAD=$(packed_in_build)
# That the placeholder needs the permission is package_script.sh's to check.
log "test package of $BUILD, the placeholder allowed"
cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$WORK/deb" -D CPACK_TXL_ALLOW_PLACEHOLDER=ON >"$WORK/deb.log" 2>&1 ||
    { cat "$WORK/deb.log"; echo "FAIL: cpack failed"; exit 1; }
BUILD_HAS=$(packed_in_build)
check "cpack left files in the build tree: $BUILD_HAS" [ "$BUILD_HAS" = "$BUILD_HAD" ]
DEB=$WORK/deb/txloader_${TXL_VERSION}_amd64.deb
[ -f "$DEB" ] || { ls "$WORK/deb"; echo "FAIL: no $DEB"; exit 1; }
DEPENDS=$(dpkg-deb -f "$DEB" Depends)
log "Depends: $DEPENDS"
for dep in libcap2-bin adduser libqt6widgets6 libc6; do
    check "Depends lacks $dep" grep -q "$dep" <<<"$DEPENDS"
done
# The package's copies of the product's facts (product.env of its build).
FACTS="$(dpkg-deb -f "$DEB" Maintainer)|$(dpkg-deb -f "$DEB" Version)"
check "the package's maintainer and version: $FACTS" [ "$FACTS" = "$TXL_PUBLISHER <$TXL_CONTACT>|$TXL_VERSION" ]

# What the package holds; of it, only what exists now may exist afterwards. A set, not a list piped
# to grep -q: under pipefail the writer's broken pipe on an early match reads as no match.
mapfile -t PATHS < <(dpkg-deb -c "$DEB" | awk '{print $6}' | sed 's|^\./|/|; s|/$||' | grep -v '^$')
declare -A PRESENT=()
for p in "${PATHS[@]}"; do [ -e "$p" ] && PRESENT[$p]=1; done

log "apt-get install $DEB"
INSTALLED=1
apt_get install "$DEB" >"$WORK/install.log" 2>&1 || { cat "$WORK/install.log"; echo "FAIL: apt-get install"; exit 1; }
# The tool runs whatever code its environment names (Qt and GTK plugins): only its helper may hold a
# capability, and only root and the system group txloader may run it.
FILES=()
for p in "${PATHS[@]}"; do [ ! -f "$p" ] || FILES+=("$p"); done
CAPS=$(getcap "${FILES[@]}")
check "capabilities other than the helper's cap_net_bind_service: $CAPS" [ "$CAPS" = "$HELPER cap_net_bind_service=ep" ]
check "$HELPER is not root:txloader, mode 750: $(stat -c %U:%G:%a "$HELPER")" \
    [ "$(stat -c %U:%G:%a "$HELPER")" = root:txloader:750 ]
GROUP_ID=$(getent group txloader | cut -d: -f3)
check "no system group txloader after the install: ${GROUP_ID:-none}" [ "${GROUP_ID:-1000}" -lt 1000 ]
for size in 16 32 48 128 256; do
    check "no ${size}px icon" [ -f "/usr/share/icons/hicolor/${size}x$size/apps/txloader.png" ]
done
DESKTOP=/usr/share/applications/com.tervix.txloader.desktop
check "desktop entry does not validate" desktop-file-validate "$DESKTOP"
for line in "Name=$TXL_PRODUCT_NAME" Exec=txloader Icon=txloader; do
    check "desktop entry ${line%%=*}" grep -qx "$line" "$DESKTOP"
done
if appstreamcli validate --no-net /usr/share/metainfo/com.tervix.txloader.metainfo.xml >"$WORK/appstream.log" 2>&1; then
    pass
else cat "$WORK/appstream.log"; fail "metainfo does not validate"; fi
for page in txloader txloader-cli; do
    check "no manual page $page(1) of $TXL_VERSION" \
        grep -q "^\.TH ${page^^} 1 .* \"txloader $TXL_VERSION\"" <<<"$(zcat "/usr/share/man/man1/$page.1.gz")"
done
# Completion of the options, and of interface names after --interface (none here: no card is up).
COMPLETED=$(bash -c '. /usr/share/bash-completion/completions/txloader-cli
    COMP_WORDS=(txloader-cli --js); COMP_CWORD=1; _txloader_cli; echo "${COMPREPLY[*]}"')
check "bash completes \"--js\" to \"$COMPLETED\"" [ "$COMPLETED" = --json ]
check "the metainfo names another developer" \
    grep -qF "<developer_name>$TXL_PUBLISHER</developer_name>" /usr/share/metainfo/com.tervix.txloader.metainfo.xml
check "no copyright file naming $TXL_PUBLISHER" grep -qxF "Upstream-Contact: $TXL_PUBLISHER <$TXL_CONTACT>" /usr/share/doc/txloader/copyright

log "postinst on a file system without extended attributes"
# A private mount namespace: ramfs under the helper keeps no capability.
if POSTINST_SAID=$(unshare --mount --propagation private sh -c '
    mkdir "$1/ram" && mount -t ramfs none "$1/ram" && cp "$2" "$1/ram/" &&
    mount --bind "$1/ram/${2##*/}" "$2" && sh /var/lib/dpkg/info/txloader.postinst configure' \
    postinst "$WORK" "$HELPER" 2>&1); then pass; else fail "postinst failed where setcap cannot work"; fi
check "postinst did not say how to give the capability: $POSTINST_SAID" \
    grep -q "setcap cap_net_bind_service=+ep $HELPER" <<<"$POSTINST_SAID"
check "the installed helper lost its capability" grep -q cap_net_bind_service <<<"$(getcap "$HELPER")"

log "an administrator's dpkg-statoverride decides the helper's owner and mode"
OVERRIDDEN=1
dpkg-statoverride --update --add root root 0755 "$HELPER"
sh /var/lib/dpkg/info/txloader.postinst configure || fail "postinst failed under an override"
SAID="$(stat -c %U:%G:%a "$HELPER") $(getcap "$HELPER")"
check "postinst did not keep to the override root:root 755: $SAID" [ "$SAID" = "root:root:755 $CAPS" ]
dpkg-statoverride --remove "$HELPER"
OVERRIDDEN=0
sh /var/lib/dpkg/info/txloader.postinst configure || fail "postinst failed without the override"

lab_xvfb 1024x768
log "namespaces $PC (192.168.0.10) and $DEV (192.168.0.200); user id $U"
lab_cable "$PC" "$DEV"

log "txloader-cli as user $U, outside the group txloader"
lab_device "$DEV" "$SIM" --log "$WORK/outsider.log" --idle-timeout 90
STATUS=0
user_in_pc txloader-cli 192.168.0.200 >"$WORK/outsider.out" 2>"$WORK/outsider.err" || STATUS=$?
log "exit status $STATUS: $(tr '\n' ' ' <"$WORK/outsider.err")"
check "exit status $STATUS, not 4, outside the group: $(cat "$WORK/outsider.err")" [ "$STATUS" = 4 ]
check "no advice to join the group on standard error" \
    grep -q "^txloader: Нет прав на UDP-порт 69\. .*sudo usermod -aG txloader $USER_NAME, затем войдите" \
    "$WORK/outsider.err"
lab_sim_end 0
check "a packet of a user outside the group reached the device" [ ! -s "$WORK/outsider.log" ]

log "user $U joins the group txloader"
usermod -aG txloader "$USER_NAME"
USER_GROUPS=--init-groups
lab_device "$DEV" "$SIM" --once --idle-timeout 90

# The tool heard on the user's accessibility bus, with code of the user's own in it (through GTK's
# theme) that writes down the capabilities it runs with.
touch "$WORK/events" "$WORK/events.err" "$WORK/events.pid"
chown "$U:$U" "$WORK/events" "$WORK/events.err" "$WORK/events.pid"
gcc -shared -fPIC -o "$WORK/home/libcapeff.so" -DOUT="\"$WORK/home/capeff\"" -x c - <<'EOF' || fail "cannot build the module"
#include <stdio.h>
#include <string.h>
__attribute__((constructor)) static void Report(void)
{
    char Line[256];
    FILE *In = fopen("/proc/self/status", "r"), *Out = fopen(OUT, "w");
    while (In && Out && fgets(Line, sizeof Line, In))
        if (strncmp(Line, "CapEff:", 7) == 0)
            fputs(Line, Out);
    if (Out)
        fclose(Out);
}
EOF
LAB_LISTENER=$WORK/home/atspi_events.py lab_listened_tool /usr/bin/txloader user_in_pc \
    env QT_QPA_PLATFORMTHEME=gtk3 GTK_MODULES="$WORK/home/libcapeff.so" || exit 1
CAPEFF=$(cat "$WORK/home/capeff" 2>&1) || true
log "code of the user's own in the tool found $CAPEFF"
check "the user's own code did not run, or ran with capabilities" grep -qx "CapEff:[[:space:]]*0*" <<<"$CAPEFF"

log "click \"Загрузить...\" as user $U"
lab_click "$WIN" load
check "the image from the window" lab_delivered 60 "$TXL_IMAGE"
lab_announced "name|Статус: OK" "\"Статус: OK\" was not announced"
import -window root "$BUILD/e2e-package.png"
kill "$LISTENER_PID" 2>/dev/null || true

log "click \"Выйти\""
lab_click "$WIN" close
if lab_wait_exit "$TOOL_PID" 10; then pass; else fail "the tool did not end cleanly (status $LAB_STATUS)"; fi
log "txloader-cli as user $U, through the helper"
lab_device "$DEV" "$SIM" --once --idle-timeout 90
check "txloader-cli failed as user $U" user_in_pc txloader-cli --quiet 192.168.0.200
check "the image from txloader-cli" lab_delivered 60 "$TXL_IMAGE"
COMPLETED=$(user_in_pc bash -c '. /usr/share/bash-completion/completions/txloader-cli
    COMP_WORDS=(txloader-cli --interface txl); COMP_CWORD=2; _txloader_cli; echo "${COMPREPLY[*]}"')
check "bash completes the interface \"txl\" to \"$COMPLETED\", not $LAB_PC_LINK" [ "$COMPLETED" = "$LAB_PC_LINK" ]

# The session's helpers follow the tool; any left are ours to end.
if lab_wait_for 10 sh -c "! pgrep -u $U >/dev/null"; then pass; else
    fail "processes of user $U left: $(pgrep -u "$U" -l | tr '\n' ' ')"
    for p in $(pgrep -u "$U"); do kill "$p" 2>/dev/null || true; done
fi

remove_user
check_not "user $U is left" getent passwd "$U" >/dev/null
check_not "group $U is left" getent group "$U" >/dev/null

log "apt-get remove keeps the group; apt-get purge"
if apt_get remove txloader >"$WORK/remove.log" 2>&1; then pass; else cat "$WORK/remove.log"; fail "apt-get remove"; fi
check "the group txloader went with apt-get remove" getent group txloader >/dev/null
if apt_get purge txloader >"$WORK/purge.log" 2>&1; then pass; else cat "$WORK/purge.log"; fail "apt-get purge"; fi
INSTALLED=0
check_not "the group txloader is left" getent group txloader >/dev/null
check_not "dpkg still knows txloader" sh -c 'dpkg-query -W txloader >/dev/null 2>&1'
check_not "dpkg's files for txloader are left" compgen -G "/var/lib/dpkg/info/txloader.*"
LEFT=()
for p in "${PATHS[@]}"; do
    if [ -e "$p" ] && [ -z "${PRESENT[$p]:-}" ]; then LEFT+=("$p"); fi
done
check "left behind: ${LEFT[*]}" [ ${#LEFT[@]} = 0 ]

lab_tally
