#!/bin/sh
# Installs the panel's MSI package of one width under Wine, in a Wine prefix
# made afresh, starts the installed program from its shortcut on the virtual
# board, installs a package of a higher version over it, removes that one,
# and checks each step with installer_probe:
#   check_msi_install.sh WINE_RUN WINE WINEARCH PREFIX PROBE BOARD_DLL \
#                        MSI VERSION UPGRADE_MSI UPGRADE_VERSION [relayctl]
# Every Windows program runs through WINE_RUN; a status it reports for a
# machine that cannot run the width (77) is passed on.
set -eu
wine_run=$1
wine=$2
arch=$3
prefix=$4
probe=$5
board=$6
msi=$7
version=$8
upgrade_msi=$9
shift 9
upgrade_version=$1
relayctl=${2-}

run() {
  "$wine_run" "$wine" "$arch" "$prefix" "$@"
}
# Runs msiexec in the package's folder, on its plain file name.
msiexec() {
  action=$1
  package=$2
  printf '== msiexec %s %s /qn\n' "$action" "$(basename "$package")"
  status=0
  (cd "$(dirname "$package")" && run msiexec "$action" "$(basename "$package")" /qn) || status=$?
  if [ "$status" -ne 0 ]; then
    echo "check_msi_install: msiexec $action $(basename "$package") /qn exited with $status" >&2
    exit "$status"
  fi
}
probe() {
  printf '== installer_probe %s\n' "$*"
  run "$probe" "$@"
}

# A fresh prefix, and a home of its own: Wine mirrors the Start menu's
# shortcuts into the home's desktop menus.
rm -rf "$prefix" "$prefix".* "$prefix"-*
export HOME="$prefix-home"
unset XDG_DATA_HOME XDG_CONFIG_HOME
mkdir -p "$HOME"

msiexec /i "$msi"
probe installed "$version" $relayctl
probe starts "Z:$(printf '%s' "$board" | tr / '\\')"

msiexec /i "$upgrade_msi"
probe installed "$upgrade_version" $relayctl

msiexec /x "$upgrade_msi"
probe removed
