#!/usr/bin/env bash
# Reads the RUNPATH and RPATH of each built file the list names and fails
# when an entry is empty or relative: the loader searches an empty entry as
# the working folder, and a relative one from the working folder. An entry
# is an absolute path or starts with $ORIGIN.
#   check_runpath.sh <list of built files, one a line>
set -euo pipefail
list=$1
failures=0
checked=0
while IFS= read -r file; do
    [ -n "$file" ] || continue
    if [ ! -f "$file" ]; then
        echo "FAIL: $file is not built" >&2
        failures=$((failures + 1))
        continue
    fi
    checked=$((checked + 1))
    while IFS= read -r path; do
        # Splitting on ':' keeps the empty entries, the leading and trailing ones too.
        IFS=: read -r -a entries <<<"$path:"
        for entry in "${entries[@]}"; do
            case $entry in
                /* | '$ORIGIN' | '$ORIGIN/'* | '${ORIGIN}' | '${ORIGIN}/'*) ;;
                *)
                    echo "FAIL: $file has the search path [$path], with the entry '$entry'" >&2
                    failures=$((failures + 1))
                    break
                    ;;
            esac
        done
    done < <(readelf -d "$file" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]$/\2/p')
done <"$list"
[ "$checked" -gt 0 ] || { echo "FAIL: $list names no built file" >&2; exit 1; }
[ "$failures" -eq 0 ] || exit 1
echo "$checked built files, none with an empty or relative search path entry"
