#!/usr/bin/env bash
# Builds the Debian package build-deb/txloader_<version>_amd64.deb and checks
# it with lintian.
#   scripts/package.sh --firmware IMAGE       the real image (a package for devices)
#   scripts/package.sh --allow-placeholder    the repository's placeholder (test packages only)
# Other options: --build-dir DIR (default build-deb), --no-setup (no apt-get).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

dir=build-deb
image=$PWD/firmware/ZRM-40K_06_V48.xfw
allow=OFF
setup=1
while [ $# -gt 0 ]; do
    case $1 in
    --firmware) image=$(realpath "$2") && shift 2 ;;
    --allow-placeholder) allow=ON && shift ;;
    --build-dir) dir=$2 && shift 2 ;;
    --no-setup) setup=0 && shift ;;
    *)
        sed -n '2,7s/^# \{0,1\}//p' "$0" >&2
        exit 2
        ;;
    esac
done
if [ "$setup" = 1 ]; then
    # shellcheck disable=SC2086
    txl_ensure_packages $TXL_BUILD_PACKAGES $TXL_PACKAGE_PACKAGES
fi

# Debian's own compiler and linker flags, hardening included.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
# Flags, image and permission are given every time, so a reused directory
# keeps none of them from an earlier run. CMake does not read CPPFLAGS.
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=None -DTXL_BUILD_TESTS=OFF \
    "-DCMAKE_C_FLAGS=$CPPFLAGS $CFLAGS" "-DCMAKE_CXX_FLAGS=$CPPFLAGS $CXXFLAGS" \
    "-DCMAKE_EXE_LINKER_FLAGS=$LDFLAGS" \
    "-DTXL_FIRMWARE_IMAGE=$image" "-DTXL_ALLOW_PLACEHOLDER=$allow"
cmake --build "$dir" --target TXLoader txloader-cli txl_package_files -j"$(nproc)"
(cd "$dir" && cpack -G DEB)

deb=$(ls "$dir"/txloader_*_amd64.deb)
echo "-- lintian $deb"
lintian --fail-on error "$deb"
echo "-- built $deb"
