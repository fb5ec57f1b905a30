# Shared by the tools: the Debian packages the project needs, and the
# configure-and-build step. Sourced, not run.

# Packages needed to build, test and run the panel.
RELAYPANEL_PACKAGES=(
  cmake make g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-qpa-plugins fonts-dejavu-core
  libftdi1-dev
  libusb-1.0-0-dev dpkg-dev file
)

# Packages for the Windows cross build and its tests under Wine
# (tools/test-windows): the MinGW-w64 compilers and headers, Wine, and
# GoogleTest's source, which the cross build compiles for Windows.
RELAYPANEL_WINDOWS_PACKAGES=(
  cmake make
  g++-mingw-w64-x86-64-posix mingw-w64
  wine wine64 fonts-wine
  googletest
)

# Installs whichever of the given packages are missing: one apt-get update,
# then one install. Stops with an explanation when that needs root.
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
    echo "  sudo apt-get install ${missing[*]}" >&2
    return 1
  fi
  echo "Installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q || return 1
  apt-get install -y --no-install-recommends "${missing[@]}" || return 1
}

# Configures and builds one preset.
configure_and_build() {
  local preset=$1
  cmake --preset "$preset" >/dev/null || return 1
  cmake --build --preset "$preset" || return 1
}
