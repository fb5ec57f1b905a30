#!/usr/bin/env bash
# Runs the build tree's programs in a scratch working folder, with nothing on
# LD_LIBRARY_PATH. With a working driver library planted there (a copy of the
# virtual board), relayctl must report the driver library missing rather than
# switch the planted board. With a copy planted under the name of every
# library each program needs as well, the loader must map none of them: each
# dependency resolves to an absolute path outside the working folder.
#   check_planted_libraries.sh <virtual board library> <relayctl> [<relaypanel>]
set -euo pipefail
board=$1
relayctl=$2
shift 2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
fail() { echo "FAIL: $*" >&2; exit 1; }

cp "$board" libftd2xx.so
status=0
env -u LD_LIBRARY_PATH "$relayctl" set 1 >out 2>err || status=$?
if grep -q 'virtual relay board' err; then
    fail "relayctl switched the board planted in the working folder (status $status)"
fi
[ "$status" = 1 ] && grep -q 'libftd2xx.so' err ||
    fail "relayctl set 1 without a driver library: status $status, stdout '$(cat out)', stderr '$(head -n 3 err)'"

needed() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p'; }
for program in "$relayctl" "$@"; do
    for name in $(needed "$program"); do
        cp "$board" "$name"
    done
done
for program in "$relayctl" "$@"; do
    # The loader prints where it maps each library and ends before the program runs.
    trace=$(env -u LD_LIBRARY_PATH LD_TRACE_LOADED_OBJECTS=1 "$program" 2>/dev/null) ||
        fail "the loader could not trace $program"
    for name in $(needed "$program"); do
        line=$(grep -F "	$name " <<<"$trace") || fail "the loader did not map $name for $program: $trace"
        case $line in
            *" => $scratch/"* | *" => ./"*) fail "$program maps the planted $line" ;;
            *" => /"*) ;;
            *) fail "$program maps $name from the working folder: $line" ;;
        esac
    done
done
echo "the programs took no library from the working folder"
