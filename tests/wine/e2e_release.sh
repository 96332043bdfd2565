#!/bin/bash
# The Windows release as its users meet it, under Wine, in a fresh prefix whose wineserver runs
# in a "PC" namespace (192.168.0.10/24); the simulated device is at 192.168.0.200. Groups:
# signing (throwaway certificate and time-stamping authority), exe (the programs as Windows reads
# them), zip (unpacked under a Cyrillic path, a planted DLL not loaded, About), relink, tables
# (the installer's validation rules), install (upload from Program Files), cli, entry, downgrade,
# removal, upgrade (from an older version: the kit's objects with an older version resource).
#
# usage: e2e_release.sh DIST BUILD_DIR QT_PREFIX TFTPSIM OUTPUT_DIR
set -euo pipefail

DIST=$(realpath "$1") BUILD=$(realpath "$2") QT=$(realpath "$3") SIM=$4 OUT=$5
SRC=$(cd "$(dirname "$0")/../.." && pwd)
TABLE=$BUILD/facts/TXLoader.exe.version
PY=/usr/bin/python3
PC=txl-rpc-$$ DEV=txl-rdev-$$
WORK=$(mktemp -d /tmp/txl-e2e-release.XXXXXX)
. "$SRC/tests/lab.sh"
lab_image "$BUILD"
export WINEPREFIX=$WORK/prefix WINEDEBUG=-all
# No Linux menu entries for the shortcuts the installer makes.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

cleanup() {
    # The prefix's wineserver runs in the PC namespace; it goes before the namespace does.
    ip netns exec "$PC" wineserver -k 2>/dev/null || true
    lab_cleanup
}
trap cleanup EXIT

lab_needs ip Xvfb xdotool import convert tesseract wine wineserver osslsigncode openssl unzip msiinfo

VERSION=$(sed -n '/^\[fixed\]/,/^\[/{s/^FileVersion *= *//p}' "$TABLE")
OLD=${VERSION%.*}.$((${VERSION##*.} - 1))
[ "${VERSION##*.}" -gt 0 ] || { echo "cannot make a version below $VERSION"; exit 1; }
NAME=TXLoader-$VERSION-win64
TOP=TXLoader-$VERSION # the zip's one folder
for f in "$NAME.zip" "$NAME.msi" "$NAME-relink.zip" "$NAME.debug" SHA256SUMS; do
    [ -f "$DIST/$f" ] || { echo "no $f in $DIST"; exit 1; }
done

CHECK='' CHECK_OK=
begin() { CHECK=$1 CHECK_OK=1; echo "== $CHECK"; }
bad() { echo "FAIL: $CHECK: $*" >&2; CHECK_OK=0; }
end() { if [ "$CHECK_OK" = 1 ]; then echo "PASS: $CHECK" && pass; else FAILED=$((FAILED + 1)); fi; }
# Wine without address randomization, as tests/wine/wine-run.sh explains.
in_pc() { ip netns exec "$PC" setarch -R "$@"; }
winpath() { echo "Z:${1//\//\\}"; }
# msi FILE.msi ACTION LOG [WHAT]: msiexec /ACTION quietly, with a verbose log; MSI_STATUS its exit
# code, which must be 0 when WHAT names the step.
msi() {
    MSI_STATUS=0
    LC_ALL=C.UTF-8 in_pc wine msiexec "/$2" "$(winpath "$1")" /qn /l*v "$(winpath "$3")" >/dev/null 2>&1 || MSI_STATUS=$?
    in_pc wineserver -w # the registry reaches its files when the server ends
    [ -z "${4:-}" ] || [ "$MSI_STATUS" = 0 ] || bad "$4 ended with $MSI_STATUS"
}
# release OUT [EXE]: make-release.sh (MAKE_RELEASE) of this build into $WORK/OUT; its output in OUT.log.
release() {
    bash "${MAKE_RELEASE:-$SRC/packaging/windows/make-release.sh}" "$BUILD" "$QT" "$WORK/$1" "${@:2}" >"$WORK/$1.log" 2>&1
}
msi_property() { msiinfo export "$1" Property | tr -d '\r' | sed -n "s/^$2\t//p"; }
# The form in which Windows Installer keys a GUID: each group reversed, the last two by bytes.
packed() {
    local g=${1//[\{\}-]/} rev="" i
    for i in 7 6 5 4 3 2 1 0 11 10 9 8 15 14 13 12; do rev+=${g:i:1}; done
    for ((i = 16; i < 32; i += 2)); do rev+=${g:i+1:1}${g:i:1}; done
    echo "$rev"
}
# Uninstall keys of Tervix BootLoader as "key|DisplayName|DisplayVersion|Publisher|Contact|DisplayIcon|
# SystemComponent": all_entries every one, entries those "Apps and features" shows.
all_entries() {
    in_pc wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' |
        awk 'function flush() { if (v["DisplayName"] == "Tervix BootLoader")
                 print k "|" v["DisplayName"] "|" v["DisplayVersion"] "|" v["Publisher"] "|" v["Contact"] "|" v["DisplayIcon"] "|" v["SystemComponent"] }
             /^HKEY/ { flush(); k = $0; delete v; next }
             $2 ~ /^REG_/ { v[$1] = substr($0, index($0, $2) + length($2) + 4) }
             END { flush() }'
}
entries() { all_entries | awk -F'|' '$7 != "0x1"' || true; }
# What in the prefix's registry files names the product: its name, product or upgrade code.
registry_traces() {
    cat "$WINEPREFIX"/*.reg | grep -ciE "$(trace_pattern "$1")" || true
}
trace_pattern() { echo "tervix|${1//[\{\}]/}|$(packed "$1")|$(packed "$UPGRADE")"; }
INSTALL_DIR=$WINEPREFIX/drive_c/Program\ Files/Tervix
SHORTCUT='' # in the Start menu folder the installer resolves (its log says which)
installed_files() {
    (cd "$INSTALL_DIR/TXLoader" 2>/dev/null && find . -type f | LC_ALL=C sort | tr '\n' ' ') || true
}
cached_packages() { find "$WINEPREFIX/drive_c/windows/Installer" -maxdepth 1 -name '*.msi' 2>/dev/null | wc -l; }
# lnk_fields FILE: "target|working folder|icon" of a shell link (.lnk): the target from its
# LinkInfo, the rest from its strings.
lnk_fields() {
    "$PY" - "$1" <<'EOF'
import struct, sys
d = open(sys.argv[1], "rb").read()
flags = struct.unpack_from("<I", d, 0x14)[0]
pos, target = 0x4C + (2 + struct.unpack_from("<H", d, 0x4C)[0] if flags & 0x1 else 0), ""  # HasLinkTargetIDList
if flags & 0x2:  # HasLinkInfo
    base = pos + struct.unpack_from("<I", d, pos + 16)[0]
    target = d[base:d.index(b"\0", base)].decode("cp1252")
    pos += struct.unpack_from("<I", d, pos)[0]
strings = {}
for bit, name in ((0x4, "name"), (0x8, "relative"), (0x10, "workdir"), (0x20, "args"), (0x40, "icon")):
    if flags & bit:
        n = struct.unpack_from("<H", d, pos)[0]
        width = 2 if flags & 0x80 else 1
        strings[name] = d[pos + 2:pos + 2 + n * width].decode("utf-16-le" if width == 2 else "cp1252")
        pos += 2 + n * width
print(f"{target}|{strings.get('workdir', '')}|{strings.get('icon', '')}".replace("\0", ""))
EOF
}
# started_and_about EXE_WINDOWS_PATH SHOT: starts it in the PC namespace and reads its About box.
started_and_about() {
    lab_wine_tool "$PC" "$WORK/tool.log" "$1"
    lab_wine_main "$LAB_TITLE" 60 || { bad "$1 did not show its main window"; return 0; }
    ABOUT_TEXT=
    lab_wine_about "$OUT/$2" || bad "no About box"
    log "About box reads: $ABOUT_TEXT"
    lab_version_shown "$ABOUT_TEXT" "$VERSION" || bad "the About box does not show version $VERSION"
    local key # the texts themselves are checked exactly by tst_verinf
    for key in ProductName LegalCopyright; do
        grep -qF -- "$(table_value "$key")" <<<"$ABOUT_TEXT" || bad "the About box does not show $key"
    done
    grep -qE "The [QO]t Company Ltd" <<<"$ABOUT_TEXT" || bad "the About box does not show Qt's copyright" # Q: O to tesseract
    lab_click "$WIN" close
    lab_wait_exit "$TOOL_PID" 20 || bad "the tool did not end after \"Выйти\" (status $LAB_STATUS)"
}

log "namespaces $PC (192.168.0.10) and $DEV (192.168.0.200), prefix $WINEPREFIX"
lab_xvfb 1024x768
lab_cable "$PC" "$DEV"
CABLE=$LAB_PC_LINK
START=$SECONDS
LAB_WINE_RUN=in_pc lab_wine_prefix
WIN_USER=$(find "$WINEPREFIX/drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public -printf '%f\n' | head -n1)
log "fresh prefix in $((SECONDS - START)) s, user $WIN_USER"

mkdir -p "$WORK/zip" "$WORK/signed" "$WORK/old"
unzip -q "$DIST/$NAME.zip" -d "$WORK/zip"
ZIP=$WORK/zip/$TOP
UPGRADE=$(msi_property "$DIST/$NAME.msi" UpgradeCode)
PRODUCT=$(msi_property "$DIST/$NAME.msi" ProductCode)

begin signing
cat >"$WORK/leaf.cnf" <<'EOF'
[leaf]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
[leaf_tsa]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
[tsa]
default_tsa = tsa_config
[tsa_config]
serial = serial
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
EOF
for ca in root other; do
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$WORK/$ca.key" -out "$WORK/$ca.pem" -days 2 \
        -subj "/CN=TXLoader throwaway $ca" -addext "basicConstraints=critical,CA:true" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
done
for cert in "leaf leaf Tervix Devices (test)" "tsa leaf_tsa TXLoader throwaway TSA"; do
    read -r key extensions subject <<<"$cert"
    openssl req -newkey rsa:2048 -nodes -keyout "$WORK/$key.key" -out "$WORK/$key.csr" -subj "/CN=$subject" 2>/dev/null
    openssl x509 -req -in "$WORK/$key.csr" -CA "$WORK/root.pem" -CAkey "$WORK/root.key" -CAcreateserial -days 2 \
        -extfile "$WORK/leaf.cnf" -extensions "$extensions" -out "$WORK/$key.pem" 2>/dev/null
done
echo 01 >"$WORK/serial"
# An RFC 3161 time-stamping authority on 127.0.0.1 (openssl ts): eight requests, each within 60 s.
"$PY" - "$WORK" >"$WORK/tsa.log" 2>&1 <<'EOF' &
import http.server, subprocess, sys
work = sys.argv[1]
class Tsa(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", "leaf.cnf", "-queryfile", "/dev/stdin",
                                "-inkey", "tsa.key", "-signer", "tsa.pem", "-chain", "root.pem", "-out", "/dev/stdout"],
                               input=query, capture_output=True, cwd=work).stdout
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)
server = http.server.HTTPServer(("127.0.0.1", 0), Tsa)
server.timeout = 60
open(f"{work}/tsa.port", "w").write(str(server.server_address[1]))
for _ in range(8):
    server.handle_request()
EOF
PIDS+=($!)
lab_wait_for 10 test -s "$WORK/tsa.port" || bad "the time-stamping authority did not start"
head -c 18 /dev/urandom | base64 >"$WORK/pass"
openssl pkcs12 -export -inkey "$WORK/leaf.key" -in "$WORK/leaf.pem" -certfile "$WORK/root.pem" \
    -passout "file:$WORK/pass" -out "$WORK/sign.pfx"
signed_release() { TXL_SIGN_PFX=$WORK/sign.pfx TXL_SIGN_PASS_FILE=$WORK/pass release "$@"; }
TXL_SIGN_TIMESTAMP_URL=http://127.0.0.1:$(cat "$WORK/tsa.port")/ signed_release signed ||
    { cat "$WORK/signed.log"; bad "make-release.sh failed with a certificate"; }
grep -q "TXLoader.exe txloader-cli.exe signed (SHA-256, timestamp from" "$WORK/signed.log" || bad "the signed release does not say it signed"
unzip -q -j "$WORK/signed/$NAME.zip" "$TOP/TXLoader.exe" -d "$WORK/signed/zip"
for f in "$WORK/signed/zip/TXLoader.exe" "$WORK/signed/$NAME.msi"; do
    osslsigncode verify -CAfile "$WORK/root.pem" -TSA-CAfile "$WORK/root.pem" -in "$f" >"$WORK/verify.log" 2>&1 ||
        { sed 's/^/    | /' "$WORK/verify.log"; bad "$(basename "$f") does not verify against the throwaway root"; }
    grep -q "Message digest algorithm *: SHA256" "$WORK/verify.log" || bad "$(basename "$f") is not signed with SHA-256"
    grep -q "Timestamp Server Signature verification: ok" "$WORK/verify.log" || bad "$(basename "$f") has no valid timestamp"
    ! osslsigncode verify -CAfile "$WORK/other.pem" -in "$f" >/dev/null 2>&1 ||
        bad "$(basename "$f") verifies against an unrelated root as well"
done
# Without a timestamp a signature dies with its certificate: refused in one line, unless asked for.
if signed_release nots "$BUILD/TXLoader.exe" || [ "$(wc -l <"$WORK/nots.log")" != 1 ] || ! grep -q TXL_SIGN_TIMESTAMP_URL "$WORK/nots.log"; then
    bad "a signed release without a timestamp was not refused in one line: $(head -n3 "$WORK/nots.log")"
fi
TXL_SIGN_NO_TIMESTAMP=1 signed_release nots "$BUILD/TXLoader.exe" || bad "TXL_SIGN_NO_TIMESTAMP=1 did not sign"
osslsigncode verify -CAfile "$WORK/root.pem" -in "$WORK/nots/$NAME.msi" >"$WORK/verify.log" 2>&1 &&
    ! grep -q "Timestamp Server Signature verification: ok" "$WORK/verify.log" ||
    bad "TXL_SIGN_NO_TIMESTAMP=1 did not give a signature without timestamp"
for f in "$ZIP/TXLoader.exe" "$DIST/$NAME.msi"; do
    ! osslsigncode verify -CAfile "$WORK/root.pem" -in "$f" >"$WORK/verify.log" 2>&1 &&
        grep -qiE "no signature found|file has no signature" "$WORK/verify.log" ||
        bad "the unsigned release's $(basename "$f") has a signature"
done
log "signed: $(sha256sum "$WORK/signed/$NAME.msi" | cut -c1-16)..., unsigned: $(sha256sum "$DIST/$NAME.msi" | cut -c1-16)..."
end

begin exe
for program in TXLoader txloader-cli; do
    description=$TXL_PRODUCT_NAME
    [ "$program" = TXLoader ] || description="$TXL_PRODUCT_NAME (консоль)"
    "$PY" - "$ZIP/$program.exe" "$BUILD/$program.exe" "$VERSION" "$description" <<'EOF' || bad "$program.exe as Windows reads it: see above"
import re, subprocess, sys
import pefile
shipped, built, version, product = sys.argv[1:]
pe, bad = pefile.PE(shipped), []
# What the loader resolves before the program runs: KnownDLLs and API sets only, which never
# come from the program's folder ("Dynamic-link library search order").
KNOWN = {"advapi32", "comdlg32", "gdi32", "imm32", "kernel32", "msvcrt", "ole32", "oleaut32", "rpcrt4",
         "setupapi", "shcore", "shell32", "shlwapi", "user32", "ws2_32"}
imports = {e.dll.decode().lower(): {i.name for i in e.imports} for e in pe.DIRECTORY_ENTRY_IMPORT}
print("-- imports:", " ".join(sorted(imports)))
bad += [f"imports {d}, which is no KnownDLL" for d in imports if d[:-4] not in KNOWN and not d.startswith("api-ms-win-")]
# The others are delay-loaded (descriptors found by the unstripped build's symbols, same layout),
# and the entry point first restricts the DLL search to the system folder.
nm = subprocess.run(["x86_64-w64-mingw32-nm", built], capture_output=True, text=True, check=True).stdout
symbols = {n: int(a, 16) for a, _, n in (l.split() for l in nm.splitlines() if len(l.split()) == 3)}
base = pe.OPTIONAL_HEADER.ImageBase
delayed = sorted(pe.get_string_at_rva(pe.get_dword_at_rva(a - base + 4)).decode().lower()
                 for n, a in symbols.items() if n.startswith("__DELAY_IMPORT_DESCRIPTOR_"))
print("-- delay-loaded:", " ".join(delayed))
if not delayed or set(delayed) & {d + ".dll" for d in KNOWN}:
    bad.append("nothing is delay-loaded, or a KnownDLL is")
if base + pe.OPTIONAL_HEADER.AddressOfEntryPoint != symbols.get("TxlSafeStart") or \
        b"SetDefaultDllDirectories" not in imports.get("kernel32.dll", ()):
    bad.append("the entry point is not TxlSafeStart, or SetDefaultDllDirectories is not imported")
if not pe.OPTIONAL_HEADER.DllCharacteristics & 0x8000:
    bad.append("not marked aware of Remote Desktop Services (IMAGE_DLLCHARACTERISTICS_TERMINAL_SERVER_AWARE)")
# The manifest, from the product's facts.
manifests = [pe.get_data(r.directory.entries[0].directory.entries[0].data.struct.OffsetToData,
                         r.directory.entries[0].directory.entries[0].data.struct.Size).decode()
             for r in pe.DIRECTORY_ENTRY_RESOURCE.entries if r.id == 24]
if len(manifests) != 1 or f'version="{version}"' not in manifests[0] or f"<description>{product}</description>" not in manifests[0]:
    bad.append("the manifest does not carry the product's version and name")
print("\n".join(bad))
sys.exit(bool(bad))
EOF
done
end

begin zip
FOLDER="C:\\users\\$WIN_USER\\Рабочий стол\\TX Loader"
ZIPDIR="$WINEPREFIX/drive_c/users/$WIN_USER/Рабочий стол/TX Loader"
mkdir -p "$ZIPDIR"
unzip -q "$DIST/$NAME.zip" -d "$ZIPDIR"
LISTING=$(cd "$ZIP" && find . -type f | LC_ALL=C sort | tr '\n' ' ')
[ "$(unzip -Z1 "$DIST/$NAME.zip" | cut -d/ -f1 | sort -u)" = "$TOP" ] || bad "the zip's files are not all under $TOP/"
log "zip holds: $LISTING"
[ "$LISTING" = "./LICENSES/GPL-3.0.txt ./LICENSES/LGPL-3.0.txt ./LICENSES/MinGW-w64-runtime.txt ./LICENSES/Qt-third-party.txt ./README.txt ./TXLoader.exe ./txloader-cli.exe " ] ||
    bad "the zip holds other files than the two programs, README.txt and the four LICENSES files"
# For the user: outcomes, contact; for who deploys it: silent install, removal by UpgradeCode, the
# packed version, SmartScreen, checksums, the firewall's prompt for administrators only.
for text in "Статус: OK" "Статус: таймаут" "Статус: ошибка устройства" "Статус: неизвестная ошибка" \
    "$TXL_CONTACT" "$VERSION" "msiexec /i $NAME.msi /qn /norestart /l*v log.txt" "RelatedProducts('$UPGRADE')" \
    "записана как $(msi_property "$DIST/$NAME.msi" ProductVersion)" SmartScreen \
    "certutil -hashfile $NAME.msi SHA256" "Get-FileHash $NAME.msi" "только администратору"; do
    grep -qF -- "$text" "$ZIP/README.txt" || bad "README.txt does not mention \"$text\""
done
grep -q "GNU LESSER GENERAL PUBLIC LICENSE" "$ZIP/LICENSES/LGPL-3.0.txt" || bad "LGPL-3.0.txt is not the LGPL"
grep -q "GNU GENERAL PUBLIC LICENSE" "$ZIP/LICENSES/GPL-3.0.txt" || bad "GPL-3.0.txt is not the GPL"
log "Qt notices: $(grep -c '^=====' "$ZIP/LICENSES/Qt-third-party.txt") components"
# The shipped .exe carries no debug information, and its debug link names the .debug file
# with that file's CRC, as debuggers check it.
SECTIONS=$(x86_64-w64-mingw32-objdump -h "$ZIP/TXLoader.exe" | awk '$2 ~ /^\./ { print $2 }' | tr '\n' ' ')
[[ "$SECTIONS" != *.debug_info* ]] || bad "TXLoader.exe in the zip has debug information"
STAMP=$("$PY" -c 'import sys, pefile; print(pefile.PE(sys.argv[1], fast_load=True).FILE_HEADER.TimeDateStamp)' "$ZIP/TXLoader.exe")
[ "$STAMP" = 0 ] || bad "TXLoader.exe in the zip carries a time stamp ($STAMP)"
x86_64-w64-mingw32-objcopy --dump-section .gnu_debuglink="$WORK/debuglink" "$ZIP/TXLoader.exe" "$WORK/discard.exe" ||
    bad "TXLoader.exe has no debug link"
"$PY" - "$WORK/debuglink" "$DIST/$NAME.debug" <<'EOF' || bad "the debug link does not name $NAME.debug with its CRC"
import struct, sys, zlib
link, debug = open(sys.argv[1], "rb").read(), open(sys.argv[2], "rb").read()
name = link[:link.index(b"\0")].decode()
crc = struct.unpack("<I", link[-4:])[0]
print(f"-- debug link: {name}, CRC {crc:08x}")
sys.exit(name != sys.argv[2].rsplit("/", 1)[-1] or crc != zlib.crc32(debug) or b".debug_info" not in debug)
EOF
# A DLL planted beside the program (a download, say) must not be loaded, though Wine is told to
# prefer it and reports each DLL it loads. winmm.dll, which the tool loads at start: Wine's own
# user32 imports version.dll and resolves it like any DLL (Windows takes it from the system).
{ echo EXPORTS; x86_64-w64-mingw32-nm /usr/x86_64-w64-mingw32/lib/libwinmm.a | awk '$2 == "T" { print $3 "=Planted" }'; } \
    >"$WORK/planted.def"
echo 'int Planted(void) { return 0; }' >"$WORK/planted.c"
x86_64-w64-mingw32-gcc-posix -shared -o "$ZIPDIR/$TOP/winmm.dll" "$WORK/planted.c" "$WORK/planted.def"
WINEDEBUG=+loaddll WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winmm=n,b" \
    started_and_about "$FOLDER\\$TOP\\TXLoader.exe" wine-release-zip-about
LOADED=$(grep -i 'loaddll.*winmm\.dll' "$WORK/tool.log" | sed 's/.*Loaded //' | sort -u | tr '\n' ' ')
log "winmm.dll loaded: $LOADED"
[[ "${LOADED,,}" == *'system32\\winmm.dll'* && "${LOADED,,}" != *'tx loader'* ]] ||
    bad "TXLoader.exe did not load winmm.dll from the system folder alone"
end

begin relink
unzip -q "$DIST/$NAME-relink.zip" -d "$WORK/kit"
if grep -rlF "$BUILD" "$WORK/kit" >"$WORK/paths.txt"; then
    bad "the kit names the build directory in: $(tr '\n' ' ' <"$WORK/paths.txt")"
fi
(cd "$WORK/kit" && sha256sum --quiet -c SHA256SUMS) || bad "the kit's SHA256SUMS do not match"
# Beside the kit, the exact source of the Qt it was built with: what Debian's .dsc lists, as it lists it.
DSC=$(cd "$DIST" && ls qt6-base_*.dsc)
(cd "$DIST" && awk '/^Checksums-Sha256:/ { f = 1; next } /^[^ ]/ { f = 0 } f && NF == 3 { print $1 "  " $3 }' "$DSC" |
    sha256sum --quiet -c) && grep -qF "dpkg-source -x $DSC" "$WORK/kit/README.txt" ||
    bad "no Qt source beside the kit as its .dsc lists it, or the kit's README does not name it"
# How to build that Qt: the toolchain file it was built with, and the host's Qt tools.
cmp -s "$WORK/kit/mingw-w64-x86_64.cmake" "$QT/mingw-w64-x86_64.cmake" && grep -q -- -DQT_HOST_PATH= "$WORK/kit/README.txt" ||
    bad "the kit lacks Qt's toolchain file or does not say that Qt's build needs the host's Qt tools"
START=$SECONDS
if (cd "$WORK/kit" && sh link.sh "$QT" >"$WORK/relink.log" 2>&1); then
    log "relinked in $((SECONDS - START)) s: $(sha256sum "$WORK/kit/TXLoader.exe" | cut -d' ' -f1)"
    cmp -s "$WORK/kit/TXLoader.exe" "$BUILD/TXLoader.exe" ||
        bad "the relinked TXLoader.exe differs from the build's ($(sha256sum "$BUILD/TXLoader.exe" | cut -d' ' -f1))"
    # The kit's README: stripped, with the debug link, it is the shipped executable.
    (cd "$DIST" && SOURCE_DATE_EPOCH=0 x86_64-w64-mingw32-strip --strip-all -o "$WORK/shipped.exe" "$WORK/kit/TXLoader.exe" &&
        SOURCE_DATE_EPOCH=0 x86_64-w64-mingw32-objcopy --add-gnu-debuglink="$NAME.debug" "$WORK/shipped.exe") &&
        cmp -s "$WORK/shipped.exe" "$ZIP/TXLoader.exe" || bad "the kit README's strip and debug link do not give the shipped TXLoader.exe"
    started_and_about "$(winpath "$WORK/kit/TXLoader.exe")" wine-release-relink-about
else
    sed 's/^/    | /' "$WORK/relink.log"
    bad "link.sh failed"
fi
end

begin tables
[ "$(msi_property "$DIST/$NAME.msi" Manufacturer)" = "$TXL_PUBLISHER" ] || bad "the package's Manufacturer is not $TXL_PUBLISHER"
mkdir -p "$WORK/streams"
"$PY" - "$DIST/$NAME.msi" "$VERSION" "$WORK/streams" <<'EOF' || bad "the package's tables: see above"
import re, subprocess, sys
msi, version = sys.argv[1:3]
def export(name):  # a missing table reads as an empty one; streams go to the scratch folder
    return subprocess.run(["msiinfo", "export", msi, name], capture_output=True, text=True,
                          cwd=sys.argv[3]).stdout.replace("\r", "").split("\n")
def table(name):
    lines = export(name)
    return [dict(zip(lines[0].split("\t"), row.split("\t"))) for row in lines[3:] if row]
bad = []
def short(name):  # an 8.3 name (Microsoft: "Filename")
    return re.fullmatch(r'[^ +,;=\[\].\\/?|<>:*"]{1,8}(\.[^ +,;=\[\].\\/?|<>:*"]{1,3})?', name)
# ICE03: every file, shortcut and folder name is an 8.3 name, or one with its long name after "|".
for tab, col in (("File", "FileName"), ("Shortcut", "Name"), ("Directory", "DefaultDir")):
    bad += [f"{tab}: {r[col]} has no short name" for r in table(tab)
            if r[col] not in (".", "SourceDir") and not short(r[col].split(":")[0].split("|")[0])]
# ICE03: a _Validation row for every column of every table.
valid = {(r["Table"], r["Column"]) for r in table("_Validation")}
for t in subprocess.run(["msiinfo", "tables", msi], capture_output=True, text=True).stdout.split():
    bad += [f"_Validation lacks {t}.{c}" for c in export(t)[0].split("\t") if t[0] != "_" and (t, c) not in valid]
files, registry, components = table("File"), table("Registry"), {r["Component"]: r for r in table("Component")}
owner = {r["File"]: r["Component_"] for r in files}
# ICE43, ICE57: the shortcut's component has an HKCU value of its own as key path, and nothing per machine.
for r in table("Shortcut"):
    c = components[r["Component_"]]
    key = [g for g in registry if g["Registry"] == c["KeyPath"] and g["Component_"] == c["Component"]]
    if not int(c["Attributes"]) & 4 or not key or key[0]["Root"] != "1":
        bad.append(f"shortcut {r['Shortcut']}: its component's key path is no HKCU value of its own")
    if c["Component"] in owner.values() or any(g["Component_"] == c["Component"] and g["Root"] != "1" for g in registry):
        bad.append(f"shortcut {r['Shortcut']}: its component holds files or values per machine")
# ICE69: a [#file] or [$component] reference names the row's own component.
for tab, cols in (("Registry", ("Name", "Value")), ("Shortcut", ("Target", "Arguments"))):
    for r in table(tab):
        for kind, ref in re.findall(r"\[([#$!])([^\]]+)\]", " ".join(r[c] for c in cols)):
            if (ref if kind == "$" else owner.get(ref)) != r["Component_"]:
                bad.append(f"{tab} {r[tab]} refers to [{kind}{ref}] of another component")
# Versioned files carry their version and language and no hash ("MsiFileHash Table": unversioned only).
hashed = {r["File_"] for r in table("MsiFileHash")}
for r in files:
    if r["FileName"].lower().endswith(".exe") and (r["Version"], r["Language"], r["File"] in hashed) != (version, "1049", False):
        bad.append(f"{r['FileName']}: version {r['Version']!r}, language {r['Language']!r}, hashed: {r['File'] in hashed}")
print("\n".join(bad) or f"-- {len(valid)} _Validation rows; names, shortcut, references and versions as asked")
sys.exit(bool(bad))
EOF
# The package code is one per content, which includes the script and tools that made the
# package: a copy of make-release.sh with one line more gives the same zip, another package code.
mkdir -p "$WORK/variant/src/ui" && cp -r "$SRC/packaging" "$WORK/variant/" && cp -r "$SRC/src/ui/icon" "$WORK/variant/src/ui/"
echo "# another script" >>"$WORK/variant/packaging/windows/make-release.sh"
SOURCE_DATE_EPOCH=$(git -C "$SRC" log -1 --format=%ct) MAKE_RELEASE=$WORK/variant/packaging/windows/make-release.sh \
    release variant-out "$BUILD/TXLoader.exe" || { cat "$WORK/variant-out.log"; bad "the copied make-release.sh failed"; }
package_code() { msiinfo suminfo "$1" | sed -n 's/^Revision number (UUID): *//p'; }
cmp -s "$WORK/variant-out/$NAME.zip" "$DIST/$NAME.zip" && [ "$(package_code "$WORK/variant-out/$NAME.msi")" != "$(package_code "$DIST/$NAME.msi")" ] ||
    bad "another make-release.sh gave another zip or the same package code"
# Packed again, with Python's string hashing seeded two ways (1 and 2 order a set differently):
# the same bytes as the release.
for seed in 1 2; do
    PYTHONHASHSEED=$seed release "again-$seed" || { cat "$WORK/again-$seed.log"; bad "packing again failed"; }
    cmp -s "$WORK/again-$seed/SHA256SUMS" "$DIST/SHA256SUMS" ||
        bad "packed again with PYTHONHASHSEED=$seed, other bytes: $(diff "$WORK/again-$seed/SHA256SUMS" "$DIST/SHA256SUMS" | sed -n 's/^< [0-9a-f]*  //p' | tr '\n' ' ')"
done
end

# The older version: the kit's objects with an older version resource, packed the same way.
sed "s/^\(FileVersion\|ProductVersion\) *= *${VERSION//./\\.}\$/\1 = $OLD/" "$TABLE" >"$WORK/old.version"
cp -r "$WORK/kit" "$WORK/kit-old"
VERSION_OBJ=$(cd "$WORK/kit-old" && find obj -path '*TXLoader_version/TXLoader.rc.res')
"$PY" "$SRC/src/version/resource/make_version_resource.py" --table "$WORK/old.version" --rc "$WORK/old.rc"
x86_64-w64-mingw32-windres -O coff -i "$WORK/old.rc" -o "$WORK/kit-old/$VERSION_OBJ"
(cd "$WORK/kit-old" && sh link.sh "$QT" >"$WORK/relink-old.log" 2>&1) || { cat "$WORK/relink-old.log"; exit 1; }
release old "$WORK/kit-old/TXLoader.exe" || { cat "$WORK/old.log"; exit 1; }
OLD_MSI=$WORK/old/TXLoader-$OLD-win64.msi
[ -f "$OLD_MSI" ] || { cat "$WORK/old.log"; echo "no package of version $OLD"; exit 1; }
OLD_PRODUCT=$(msi_property "$OLD_MSI" ProductCode)
unzip -q -j "$WORK/old/TXLoader-$OLD-win64.zip" "TXLoader-$OLD/TXLoader.exe" -d "$WORK/old/zip"
log "version $OLD for the upgrade: $OLD_MSI (product $OLD_PRODUCT; $VERSION is $PRODUCT)"

begin install
msi "$DIST/$NAME.msi" i "$OUT/wine-release-install.log" "msiexec /i (log: $OUT/wine-release-install.log)"
[ "$(installed_files)" = "$LISTING" ] || bad "Program Files\\Tervix\\TXLoader holds: $(installed_files)"
cmp -s "$INSTALL_DIR/TXLoader/TXLoader.exe" "$ZIP/TXLoader.exe" || bad "the installed TXLoader.exe is not the release's"
lab_device "$DEV" "$SIM" --once --idle-timeout 120
lab_wine_tool "$PC" "$WORK/installed.log" 'C:\Program Files\Tervix\TXLoader\TXLoader.exe'
if lab_wine_main "$LAB_TITLE" 60; then
    log "click \"Загрузить...\" with the default address 192.168.0.200"
    lab_click "$WIN" load
    lab_delivered 90 "$TXL_IMAGE" || bad "the device did not receive the image byte for byte"
    sleep 2 # the tool waits 500 ms before it shows the outcome
    import -window root "$OUT/wine-release-installed-upload.png"
    STATUS=$(lab_wine_status)
    log "status bar reads: $STATUS"
    lab_reads_ok "$STATUS" || bad "the status bar does not read \"Статус: OK\""
    lab_stopped "$TOOL_PID" && bad "the installed tool ended after the upload"
    lab_click "$WIN" close
    lab_wait_exit "$TOOL_PID" 20 || bad "the installed tool did not end after \"Выйти\" (status $LAB_STATUS)"
else
    bad "the installed TXLoader.exe did not show its main window"
fi
end

begin cli
# cli_row EXIT PATTERN SIM_ARGS ARGS...: txloader-cli.exe from Program Files in the PC namespace
# (SIM_ARGS "-": no device), its exit status and what it wrote (redirected: UTF-8).
cli_row() {
    local exit=$1 pattern=$2 sim=$3 status=0
    shift 3
    # shellcheck disable=SC2086 # the simulator's arguments, split
    [ "$sim" = - ] || lab_device "$DEV" "$SIM" --idle-timeout 60 $sim
    in_pc wine 'C:\Program Files\Tervix\TXLoader\txloader-cli.exe' "$@" >"$WORK/cli.out" 2>"$WORK/cli.err" || status=$?
    [ "$sim" = - ] || { kill "$SIM_PID" 2>/dev/null || true; wait "$SIM_PID" 2>/dev/null || true; }
    log "txloader-cli $* -> $status: $(tr '\n' ' ' <"$WORK/cli.err" | head -c 200)"
    [ "$status" = "$exit" ] || bad "txloader-cli $*: exit $status, not $exit"
    grep -q -- "$pattern" "$WORK/cli.out" "$WORK/cli.err" || bad "txloader-cli $*: no \"$pattern\" in its output"
}
cli_row 0 "192.168.0.10/24" - --list
cli_row 0 "$(sha256sum "$TXL_IMAGE" | cut -d' ' -f1)" - --version
UNIT_MAC=$(ip -n "$DEV" -br link show "${CABLE}d" | awk '{print $3}')
cli_row 0 "\"device_mac\":\"$UNIT_MAC\"" "--once" --json 192.168.0.200
lab_image_arrived "$TXL_IMAGE" || bad "txloader-cli: the device did not receive the image byte for byte"
# A station of two units on the cable: the second another unit, the cable out and in between.
lab_device "$DEV" "$SIM" --each --idle-timeout 60
in_pc wine 'C:\Program Files\Tervix\TXLoader\txloader-cli.exe' --station --count 2 --json 192.168.0.200 \
    >"$WORK/station.out" 2>"$WORK/station.err" &
STATION=$!
lab_wait_for 60 grep -q '"unit":1' "$WORK/station.out" || bad "station: no first unit"
ip -n "$DEV" link set "${CABLE}d" down && ip -n "$DEV" link set "${CABLE}d" address 02:00:5e:10:00:07 &&
    ip -n "$DEV" link set "${CABLE}d" up
lab_wait_exit "$STATION" 60 || bad "station: exit $LAB_STATUS ($(tr '\n' ' ' <"$WORK/station.err"))"
log "station: $(tr '\n' ' ' <"$WORK/station.out")"
python3 -c '
import json, sys
units = [json.loads(l) for l in open(sys.argv[1])]
assert [(u["unit"], u["outcome"], u["device_mac"]) for u in units] == [(1, "ok", sys.argv[2]), (2, "ok", "02:00:5e:10:00:07")]
' "$WORK/station.out" "$UNIT_MAC" || bad "station: not the two units, each OK with its own hardware address"
kill "$SIM_PID" 2>/dev/null || true
wait "$SIM_PID" 2>/dev/null || true
cli_row 1 "^txloader: " "--fault 0:silent:all" 192.168.0.200
cli_row 2 "^Статус: ошибка устройства" "--fault 0:error:all" 192.168.0.200
cli_row 3 "^Статус: неизвестная ошибка" "--fault 0:unknown:all" 192.168.0.200
cli_row 4 "ничего не отправлено" - 192.168.0.255
cli_row 64 "неизвестный параметр" - --fast 192.168.0.200
end

begin entry
# Per machine, Windows resolves ProgramMenuFolder to the all-users Start menu (Microsoft's
# "ProgramMenuFolder property"); Wine 8 gives the user's even then.
MENU=$(tr -d '\r' <"$OUT/wine-release-install.log" | sed -n 's/^Property(S): ProgramMenuFolder = //p' | tail -n1)
log "the installer's ProgramMenuFolder: $MENU"
MENU=${MENU//\\//}
SHORTCUT="$WINEPREFIX/drive_c/${MENU#C:/}Tervix BootLoader.lnk"
if [ -n "$MENU" ] && [ -f "$SHORTCUT" ]; then
    IFS='|' read -r TARGET WORKDIR ICON <<<"$(lnk_fields "$SHORTCUT" || true)"
    log "shortcut \"Tervix BootLoader\" -> $TARGET (in $WORKDIR, icon $ICON)"
    [ "${TARGET,,}" = 'c:\program files\tervix\txloader\txloader.exe' ] || bad "the shortcut points at \"$TARGET\""
    WORKDIR=${WORKDIR%\\}
    [ "${WORKDIR,,}" = 'c:\program files\tervix\txloader' ] || bad "the shortcut starts in \"$WORKDIR\""
    [[ "${ICON,,}" == *'\txloader.ico' ]] || bad "the shortcut's icon is \"$ICON\""
else
    bad "no Start-menu shortcut \"Tervix BootLoader\""
fi
ENTRIES=$(entries)
log "uninstall entries shown: ${ENTRIES:-none}"
[ "$(grep -c . <<<"$ENTRIES")" = 1 ] || bad "not exactly one entry in \"Apps and features\""
IFS='|' read -r KEY DNAME DVERSION DPUBLISHER DCONTACT DICON _ <<<"$ENTRIES"
[[ "$KEY" == *'\Uninstall\Tervix BootLoader' ]] || bad "the entry is $KEY"
[ "$DNAME|$DVERSION|$DPUBLISHER|$DCONTACT" = "$TXL_PRODUCT_NAME|$VERSION|$TXL_PUBLISHER|$TXL_CONTACT" ] ||
    bad "the entry reads \"$DNAME|$DVERSION|$DPUBLISHER|$DCONTACT\""
[ "${DICON,,}" = 'c:\program files\tervix\txloader\txloader.exe,0' ] || bad "the entry's icon is \"$DICON\""
HIDDEN=$(all_entries | awk -F'|' '$7 == "0x1"')
log "Windows Installer's own entry, hidden: ${HIDDEN:-none}"
[[ "$HIDDEN" == *"\\$PRODUCT|"* ]] && [ "$(grep -c . <<<"$HIDDEN")" = 1 ] ||
    bad "Windows Installer's entry for $PRODUCT is not there, hidden, once"
TRACES=$(registry_traces "$PRODUCT")
log "registry lines naming the tool while installed: $TRACES"
[ "$TRACES" -gt 0 ] || bad "the registry does not name the installed tool"
end

begin downgrade
msi "$OLD_MSI" i "$OUT/wine-release-downgrade.log"
# 1603, "fatal error during installation": 67 once the exit status is cut to 8 bits.
log "msiexec /i $OLD /qn over $VERSION ended with $MSI_STATUS"
[ "$MSI_STATUS" = 67 ] || bad "msiexec /i of version $OLD over $VERSION ended with $MSI_STATUS, not 1603"
# With its basic interface the installer shows why in a message box (Wine 8 calls it "Install
# Failed"); the log of a quiet run does not say under Wine.
LC_ALL=C.UTF-8 lab_wine_tool "$PC" "$WORK/downgrade-ui.log" msiexec /i "$(winpath "$OLD_MSI")" /qb
if lab_read_box '^(Install Failed|Tervix BootLoader)$' 60 "$OUT/wine-release-downgrade" rus 300; then
    log "the installer says: $BOX_TEXT"
    grep -q "более новая версия" <<<"$BOX_TEXT" || bad "the installer's message does not say a newer version is installed"
else
    bad "msiexec /qb showed no message"
fi
if ! lab_wait_exit "$TOOL_PID" 30 && [ "$LAB_STATUS" != 67 ]; then
    bad "msiexec /qb did not end with 1603 (status $LAB_STATUS)"
    in_pc wineserver -k 2>/dev/null || true # a box left open would hold the installer's lock
fi
in_pc wineserver -w
[ "$(entries | cut -d'|' -f3)" = "$VERSION" ] || bad "after the refused downgrade the entry reads: $(entries)"
[ "$(all_entries | grep -c .)" = 2 ] || bad "after the refused downgrade the entries are: $(all_entries)"
cmp -s "$INSTALL_DIR/TXLoader/TXLoader.exe" "$ZIP/TXLoader.exe" || bad "the refused downgrade changed TXLoader.exe"
end

# removed WHAT: nothing of the tool is left.
removed() {
    [ ! -e "$INSTALL_DIR" ] || bad "$1 left $(find "$INSTALL_DIR" | head -n5 | tr '\n' ' ')"
    [ ! -e "$SHORTCUT" ] || bad "$1 left the Start-menu shortcut"
    [ -z "$(all_entries)" ] || bad "$1 left the uninstall entry: $(all_entries)"
    [ "$(cached_packages)" = 0 ] || bad "$1 left a package in C:\\windows\\Installer"
    [ ! -e "$WINEPREFIX/drive_c/windows/Installer/$2" ] || bad "$1 left C:\\windows\\Installer\\$2"
    local traces
    traces=$(registry_traces "$2")
    [ "$traces" = 0 ] || bad "$1 left $traces registry lines: $(cat "$WINEPREFIX"/*.reg | grep -iE "$(trace_pattern "$2")" | head -n3)"
}

begin removal
msi "$DIST/$NAME.msi" x "$OUT/wine-release-remove.log" "msiexec /x"
removed "msiexec /x" "$PRODUCT"
end

begin upgrade
msi "$OLD_MSI" i "$WORK/install-old.log" "msiexec /i of version $OLD"
cmp -s "$INSTALL_DIR/TXLoader/TXLoader.exe" "$WORK/old/zip/TXLoader.exe" || bad "version $OLD's TXLoader.exe is not installed"
log "installed $OLD: $(entries)"
msi "$WORK/signed/$NAME.msi" i "$OUT/wine-release-upgrade.log" \
    "msiexec /i of the signed $VERSION over $OLD"
ENTRIES=$(entries)
log "after the upgrade: $ENTRIES"
[ "$(grep -c . <<<"$ENTRIES")" = 1 ] && [ "$(cut -d'|' -f3 <<<"$ENTRIES")" = "$VERSION" ] ||
    bad "not one entry at $VERSION"
OTHERS=$(all_entries | grep -vF -e '\Uninstall\Tervix BootLoader|' -e "\\$PRODUCT|" || true)
[ -z "$OTHERS" ] || bad "the upgrade left other entries: $OTHERS"
if [[ "$(all_entries)" != *"\\$PRODUCT|"* ]]; then
    # Now and then Wine's Windows Installer leaves its own key of the new version out, though the
    # product uninstalls fine: its bookkeeping, not the package's; noted, the registry kept.
    log "note: no Windows Installer entry for $PRODUCT after the upgrade (registry kept in $OUT)"
    in_pc wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s >"$OUT/wine-release-upgrade-uninstall-keys.txt" 2>&1 || true
    grep -iE "$(trace_pattern "$PRODUCT")" "$WINEPREFIX"/*.reg >"$OUT/wine-release-upgrade-registry.txt" || true
fi
[ "$(installed_files)" = "$LISTING" ] || bad "after the upgrade the folder holds: $(installed_files)"
cmp -s "$INSTALL_DIR/TXLoader/TXLoader.exe" "$WORK/signed/zip/TXLoader.exe" || bad "the upgrade left another TXLoader.exe than the new one"
for f in README.txt LICENSES/Qt-third-party.txt; do
    cmp -s "$INSTALL_DIR/TXLoader/$f" "$ZIP/$f" || bad "the upgrade left another $f"
done
[ "$(cached_packages)" = 1 ] || bad "$(cached_packages) packages cached in C:\\windows\\Installer, not one"
grep -qiE "${OLD_PRODUCT//[\{\}]/}|$(packed "$OLD_PRODUCT")" "$WINEPREFIX"/*.reg &&
    bad "version $OLD's product code is still in the registry"
! in_pc wine reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$OLD_PRODUCT" >/dev/null 2>&1 ||
    bad "version $OLD's uninstall key is still there"
msi "$WORK/signed/$NAME.msi" x "$WORK/remove-upgraded.log" "msiexec /x after the upgrade"
removed "msiexec /x after the upgrade" "$PRODUCT"
[ "$(registry_traces "$OLD_PRODUCT")" = 0 ] || bad "version $OLD left registry lines"
end

lab_tally
