#!/usr/bin/env bash
# Installs the build into a fresh prefix and checks that the installed
# programs bind the bundled driver layer: each has the RUNPATH to the private
# library folder, the layer is there, and the probe installed beside them,
# binding the driver as the program does with nothing in its environment,
# loads exactly that file. Then runs the installed relayctl as a user would,
# with the virtual board's folder on LD_LIBRARY_PATH, and checks what it
# prints, what the board shows and its exit statuses.
#   check_install.sh <build folder> <virtual board folder> <program>...
set -euo pipefail
build=$1
board=$2
shift 2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
cmake --install "$build" --prefix "$prefix" --component bound_library_probe >/dev/null

layer=$prefix/lib/relaypanel/libftd2xx.so
[ -f "$layer" ] || fail "the layer is not installed at $layer"
readelf --dyn-syms "$layer" | grep -q ' FT_Open$' || fail "$layer does not export FT_Open"

for program in "$@" bound_library_probe; do
    file=$prefix/bin/$program
    [ -x "$file" ] || fail "$program is not installed at $file"
    runpath=$(readelf -d "$file" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]$/\1/p')
    [ "$runpath" = '$ORIGIN/../lib/relaypanel' ] || fail "$program has RUNPATH '$runpath'"
    if readelf -d "$file" | grep -q '(RPATH)'; then
        fail "$program has an RPATH, which LD_LIBRARY_PATH could not override"
    fi
done

output=$(env -i PATH=/usr/bin:/bin "$prefix/bin/bound_library_probe") || fail "the probe could not bind: $output"
bound=$(sed -n 1p <<<"$output")
status=$(sed -n 2p <<<"$output")
[ "$(realpath "$bound")" = "$(realpath "$layer")" ] || fail "the probe bound $bound, not $layer"
[ "$status" = 1 ] || fail "the layer answered FT_Close(0) with $status, not FT_INVALID_HANDLE"

# Runs the installed relayctl on the virtual board; sets status, out and err.
relayctl() {
    status=0
    env LD_LIBRARY_PATH="$board" "$@" "$prefix/bin/relayctl" "${args[@]}" >"$prefix/out" 2>"$prefix/err" || status=$?
    out=$(cat "$prefix/out")
    err=$(cat "$prefix/err")
}
args=(set 2)
relayctl
[ "$status" = 0 ] || fail "relayctl set 2 exited with $status: $err"
[ "$out" = "relays on: 2" ] || fail "relayctl set 2 printed '$out'"
grep -qxF 'virtual relay board: 0x02  on: 2' <<<"$err" || fail "the board did not show 0x02: $err"
args=(off)
relayctl VBOARD_FAIL=FT_Write
[ "$status" = 1 ] && [ -z "$out" ] && [ "$err" = "relayctl: FT_Write failed: FT_IO_ERROR" ] ||
    fail "a refused write: status $status, stdout '$out', stderr '$err'"
args=(set 9)
relayctl
[ "$status" = 2 ] && [ -z "$out" ] && [ "$(head -n1 <<<"$err")" = "relayctl: no relay 9: the relays are 1 to 8" ] ||
    fail "relay 9: status $status, stdout '$out', stderr '$err'"
echo "installed programs bind $layer; relayctl sets the virtual board"
