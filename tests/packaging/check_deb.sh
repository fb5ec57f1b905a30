#!/usr/bin/env bash
# Builds the Debian package and checks what it holds: the programs, the
# driver layer in the private folder, the udev rule, the desktop entry, the
# AppStream metadata, the icon and the documents; nothing of the tests;
# dependencies from dpkg-shlibdeps. lintian must find no error or warning,
# and the desktop entry and the metadata must validate as installed.
#   check_deb.sh <cpack> <build folder> [relaypanel]
set -euo pipefail
cpack=$1
build=$2
program=${3:-}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1; then
    cat "$out/cpack.log" >&2
    fail "cpack -G DEB failed"
fi
debs=("$out"/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one package, found: ${debs[*]}"
deb=${debs[0]}

# Every entry carries the commit's time (or SOURCE_DATE_EPOCH's), so that two
# builds of one commit give the same package.
epoch=${SOURCE_DATE_EPOCH:-$(sed -n 's/^set(CPACK_RELAYPANEL_SOURCE_DATE_EPOCH "\([0-9]*\)")$/\1/p' "$build/CPackConfig.cmake")}
if [ -n "$epoch" ]; then
    stamp=$(TZ=UTC date -d "@$epoch" '+%Y-%m-%d %H:%M:%S')
    times=$(dpkg-deb --fsys-tarfile "$deb" | TZ=UTC tar -tv --full-time | awk '{print $4 " " $5}' | sort -u)
    [ "$times" = "$stamp" ] || fail "the package's entries are not all of the commit's time $stamp: $times"
else
    echo "not checked: the entries' times (neither SOURCE_DATE_EPOCH nor a git commit)"
fi

files=$(dpkg-deb -c "$deb" | awk '{print $6}')
expected=(
    ./usr/lib/relaypanel/libftd2xx.so
    ./usr/lib/udev/rules.d/70-relaypanel.rules
    ./usr/share/applications/invalid.relaypanel.RelayPanel.desktop
    ./usr/share/metainfo/invalid.relaypanel.RelayPanel.metainfo.xml
    ./usr/share/icons/hicolor/scalable/apps/relaypanel.svg
    ./usr/share/man/man1/relaypanel.1.gz
    ./usr/bin/relayctl
    ./usr/share/man/man1/relayctl.1.gz
    ./usr/share/doc/relaypanel/copyright
    ./usr/share/doc/relaypanel/changelog.gz
)
[ -n "$program" ] && expected+=(./usr/bin/relaypanel)
for file in "${expected[@]}"; do
    grep -qxF "$file" <<<"$files" || fail "the package lacks $file"
done
if grep -E 'probe|virtual|libusb|_test' <<<"$files"; then
    fail "the package holds test files"
fi

depends=$(dpkg-deb -f "$deb" Depends)
grep -q 'libftdi1-2' <<<"$depends" || fail "Depends lacks libftdi1-2 (was dpkg-shlibdeps run?): $depends"
if [ -n "$program" ]; then
    grep -q 'libqt6widgets6' <<<"$depends" || fail "Depends lacks libqt6widgets6: $depends"
    grep -q 'qt6-qpa-plugins' <<<"$depends" || fail "Depends lacks qt6-qpa-plugins: $depends"
fi
dpkg-deb -x "$deb" "$out/tree"
for file in relayctl $program; do
    runpath=$(readelf -d "$out/tree/usr/bin/$file" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]$/\1/p')
    [ "$runpath" = '$ORIGIN/../lib/relaypanel' ] || fail "the packaged $file has RUNPATH '$runpath'"
done
dpkg-deb -I "$deb" postinst >/dev/null || fail "the package has no postinst to reload udev"
if dpkg-deb -f "$deb" Description | grep -q '^ *;'; then
    fail "a line of the description begins with ';'"
fi

if ! lintian --fail-on error,warning "$deb" >"$out/lintian.log" 2>&1; then
    cat "$out/lintian.log" >&2
    fail "lintian finds errors or warnings"
fi
desktop-file-validate "$out"/tree/usr/share/applications/*.desktop >"$out/desktop.log" 2>&1 || true
if [ -s "$out/desktop.log" ]; then
    cat "$out/desktop.log" >&2
    fail "desktop-file-validate finds fault with the desktop entry"
fi
# Checks the metadata against the tree too: the desktop entry it launches must be there.
appstreamcli validate-tree --no-net "$out/tree" >"$out/appstream.log" 2>&1 || {
    cat "$out/appstream.log" >&2
    fail "appstreamcli does not accept the AppStream metadata"
}
echo "$(basename "$deb"): ${#expected[@]} files in place; Depends: $depends"
