# Shared by the tools: the Debian packages the project needs, and the
# configure-and-build step. Sourced, not run.

# Packages needed to build, test and run the panel. The window's
# accessibility is tested on a virtual display with the accessibility bus.
# The window benchmark watches the X server through libxcb. The MQTT bridge
# uses libmosquitto; its tests start a mosquitto broker and make their TLS
# certificates with openssl. systemd checks the bridge's service and makes
# its users in a scratch root; the maintainer scripts run Debian's own
# deb-systemd-helper (init-system-helpers) there. systemd-nspawn boots a
# Debian root made by debootstrap to install the package on a real systemd.
# The MQTT demo of tools/run and the docs'
# test, which runs it in a network namespace of its own, use mosquitto's
# clients and ip.
RELAYPANEL_PACKAGES=(
  cmake make g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev libxcb1-dev
  qt6-base-dev qt6-qpa-plugins fonts-dejavu-core
  xvfb xauth dbus-daemon dbus-bin at-spi2-core
  libftdi1-dev nlohmann-json3-dev
  libusb-1.0-0-dev dpkg-dev file
  umockdev libumockdev-dev
  lintian appstream desktop-file-utils systemd init-system-helpers
  systemd-container debootstrap
  libmosquitto-dev mosquitto openssl
  mosquitto-clients iproute2
  python3
)
# tools/fuzz builds the fuzz targets with clang and its libFuzzer and
# sanitizer runtimes.
RELAYPANEL_FUZZ_PACKAGES=(clang libclang-rt-dev)

# tools/bench starts the windows on a virtual X server.
RELAYPANEL_BENCH_PACKAGES=(xvfb)

# tools/check-reproducible unpacks the ZIPs to name what differs.
RELAYPANEL_REPRODUCIBLE_PACKAGES=(unzip)

# Packages for the Windows cross builds of both widths and their tests under
# Wine (tools/test-windows, tools/package-windows): the MinGW-w64 compilers
# and headers, Wine with its 32-bit half from the i386 architecture, binutils'
# objdump for reading the programs' import and export tables, Wine's own
# fonts and a virtual display for the window's tests, GoogleTest's source,
# which the cross builds compile for Windows, wixl, which builds the
# Windows Installer packages, with msitools' msiinfo, which reads them, and
# the JSON library relayctl is built with (header-only).
RELAYPANEL_WINDOWS_PACKAGES=(
  cmake make
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64
  wine wine64 wine32:i386 fonts-wine xvfb
  googletest
  wixl msitools
  nlohmann-json3-dev
)

# Installs whichever of the given packages are missing: one apt-get update,
# then one install. A name with an architecture (wine32:i386) first adds that
# architecture to dpkg. Stops with an explanation when that needs root.
ensure_packages() {
  local missing=() package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$package")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "These Debian packages are missing: ${missing[*]}" >&2
    echo "Install them as root, then run this again:" >&2
    if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
      echo "  sudo dpkg --add-architecture i386 && sudo apt-get update" >&2
    fi
    echo "  sudo apt-get install ${missing[*]}" >&2
    return 1
  fi
  local architecture
  for architecture in $(printf '%s\n' "${missing[@]}" | sed -n 's/^[^:]*://p' | sort -u); do
    if [ "$architecture" != "$(dpkg --print-architecture)" ] &&
        ! dpkg --print-foreign-architectures | grep -qx "$architecture"; then
      echo "Adding the $architecture architecture to dpkg"
      dpkg --add-architecture "$architecture" || return 1
    fi
  done
  echo "Installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q || return 1
  apt-get install -y --no-install-recommends "${missing[@]}" || return 1
}

# Configures and builds one preset: every target, or only the ones named.
#   configure_and_build <preset> [target...]
configure_and_build() {
  local preset=$1
  shift
  cmake --preset "$preset" >/dev/null || return 1
  cmake --build --preset "$preset" ${1:+--target "$@"} || return 1
}
