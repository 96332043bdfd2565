# shellcheck shell=bash disable=SC2034 # sourced: its lists are for the scripts that source it
# Sourced by the scripts: installs the Debian packages they need, quickly when all are there.

TXL_BUILD_PACKAGES="g++ cmake ninja-build pkg-config qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev nlohmann-json3-dev python3
    fonts-dejavu-core fonts-urw-base35"
TXL_RUN_PACKAGES="iproute2 util-linux xvfb xauth xdotool x11-apps imagemagick"
# Building and checking the Debian package; the package test needs them too.
# file: CPack finds the executables for dpkg-shlibdeps with it.
TXL_PACKAGE_PACKAGES="dpkg-dev file lintian desktop-file-utils appstream libcap2-bin"
# qt6-gtk-platformtheme: the package test loads code of the user's own into the tool through it.
TXL_TEST_PACKAGES="curl tftp-hpa tftpd-hpa busybox binutils-mingw-w64-x86-64 python3-pefile clang libclang-rt-14-dev
    dbus python3-dbus python3-gi at-spi2-core qt6-gtk-platformtheme $TXL_PACKAGE_PACKAGES"

txl_ensure_packages() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages: ${missing[*]} (run as root, or install them with apt-get)" >&2
        return 1
    fi
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq "${missing[@]}" >/dev/null
}

# The Windows build (scripts/windows.sh): MinGW-w64 with posix threads, Wine and its fonts,
# dpkg-dev to unpack Debian's qt6-base source, tesseract to read the tool's windows under Wine.
TXL_WINDOWS_PACKAGES="g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine wine64 fonts-wine dpkg-dev
    tesseract-ocr tesseract-ocr-rus"
# The Windows release: wixl and msibuild for the installer, osslsigncode and openssl to sign it,
# zip for the portable form; pefile reads the version the packages are named after.
TXL_WINDOWS_PACKAGES="$TXL_WINDOWS_PACKAGES wixl msitools osslsigncode openssl zip unzip python3-pefile"
