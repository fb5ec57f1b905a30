#!/usr/bin/env bash
# Installs the build into a fresh prefix and checks that the installed
# programs bind the bundled driver layer: each has the RUNPATH to the private
# library folder, the layer is there, and the probe installed beside them,
# binding the driver as the program does with nothing in its environment,
# loads exactly that file.
#   check_install.sh <build folder> <program>...
set -euo pipefail
build=$1
shift
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
echo "installed programs bind $layer"
