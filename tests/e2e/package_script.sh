#!/bin/bash
# scripts/package.sh as a maintainer runs it: it refuses the repository's placeholder image without
# --allow-placeholder and leaves no package; with it, it builds with Debian's flags and lintian
# passes the package (--fail-on error), without a warning either. A CI step of its own, as it
# builds the product once more; what the package holds and does is e2e_package's.
#
# usage: package_script.sh
set -euo pipefail

SRC=$(cd "$(dirname "$0")/../.." && pwd)
. "$SRC/tests/lab.sh"
WORK=$(mktemp -d /tmp/txl-package-script.XXXXXX)
trap lab_cleanup EXIT

log "without --allow-placeholder the placeholder build must not become a package"
if bash "$SRC/scripts/package.sh" --build-dir "$WORK/build" >"$WORK/refused.log" 2>&1; then
    fail "scripts/package.sh packaged the placeholder image without --allow-placeholder"
else pass; fi
check "no word on the placeholder: $(tail -n 20 "$WORK/refused.log")" grep -q "placeholder image" "$WORK/refused.log"
check_not "a package was left behind after the refusal" compgen -G "$WORK/build/*.deb"

log "test package with the placeholder, allowed, through lintian"
if bash "$SRC/scripts/package.sh" --allow-placeholder --build-dir "$WORK/build" >"$WORK/package.log" 2>&1; then
    pass
else tail -n 40 "$WORK/package.log"; fail "scripts/package.sh --allow-placeholder failed"; fi
sed -n '/^-- lintian/,$p' "$WORK/package.log"
check "lintian did not check a package" grep -q "^-- lintian $WORK/build/txloader_.*_amd64.deb" "$WORK/package.log"
check_not "lintian warns: $(grep "^W: " "$WORK/package.log")" grep -q "^W: " "$WORK/package.log"

lab_tally
