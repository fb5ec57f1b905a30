#!/usr/bin/env bash
# Builds the Debian package and checks what it holds: the programs, the
# driver layer in the private folder, the udev rule, the desktop entry, the
# AppStream metadata, the icon and the documents, the MQTT bridge with its
# service, users, manual page and example config; nothing of the tests;
# dependencies from dpkg-shlibdeps. lintian must find no error or warning,
# the desktop entry and the metadata must validate as installed, and
# systemd must accept the service and find it well confined.
#   check_deb.sh <cpack> <build folder> <source folder> [relaypanel]
set -euo pipefail
cpack=$1
build=$2
source=$3
program=${4:-}
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
    ./usr/sbin/relaymqtt
    ./usr/share/man/man8/relaymqtt.8.gz
    ./usr/share/man/man5/relaypanel-boards.5.gz
    ./usr/lib/systemd/system/relaymqtt.service
    ./usr/lib/sysusers.d/relaypanel.conf
    ./usr/share/doc/relaypanel/examples/relaymqtt.conf
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
grep -q 'libmosquitto1' <<<"$depends" || fail "Depends lacks libmosquitto1: $depends"
if [ -n "$program" ]; then
    grep -q 'libqt6widgets6' <<<"$depends" || fail "Depends lacks libqt6widgets6: $depends"
    grep -q 'qt6-qpa-plugins' <<<"$depends" || fail "Depends lacks qt6-qpa-plugins: $depends"
fi
dpkg-deb -x "$deb" "$out/tree"
for file in bin/relayctl sbin/relaymqtt ${program:+bin/$program}; do
    runpath=$(readelf -d "$out/tree/usr/$file" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]$/\1/p')
    [ "$runpath" = '$ORIGIN/../lib/relaypanel' ] || fail "the packaged $file has RUNPATH '$runpath'"
done
dpkg-deb -I "$deb" postinst >/dev/null || fail "the package has no postinst to reload udev"
if dpkg-deb -f "$deb" Description | grep -q '^ *;'; then
    fail "a line of the description begins with ';'"
fi

# The bridge's service, read by systemd as installed (its program taken from
# the package's tree): nothing to say about it, and confined at least as well
# as it is now (an exposure of 1.7 of 10).
unit=$out/tree/usr/lib/systemd/system/relaymqtt.service
sed "s|/usr/sbin/relaymqtt|$out/tree/usr/sbin/relaymqtt|" "$unit" >"$out/relaymqtt.service"
verify=$(systemd-analyze verify --man=no "$out/relaymqtt.service" 2>&1) && [ -z "$verify" ] ||
    fail "systemd-analyze verify finds fault with relaymqtt.service: $verify"
security=$(systemd-analyze security --offline=true --threshold=17 "$out/relaymqtt.service" 2>&1) ||
    fail "relaymqtt.service is less confined than it was: $(grep -E '^✗|Overall' <<<"$security")"

# It starts only once the config the program reads by default exists.
config=$("$out/tree/usr/sbin/relaymqtt" --help | sed -n 's/^ *--config FILE .*(default \(\/[^)]*\))$/\1/p')
[ -n "$config" ] || fail "relaymqtt --help names no default config"
grep -qxF "ConditionPathExists=$config" "$unit" || fail "relaymqtt.service does not wait for $config"
# Under ProtectSystem=strict the states on_attach = restore puts back can be
# kept only in the folder systemd gives the service.
grep -qx 'StateDirectory=relaymqtt' "$unit" || fail "relaymqtt.service has no state folder for the states it restores"

# It runs as a user the package makes, not root, in the group the udev rule
# gives the boards to.
mkdir -p "$out/root/etc"
systemd-sysusers --root="$out/root" "$out/tree/usr/lib/sysusers.d/relaypanel.conf" 2>"$out/sysusers.log" ||
    fail "systemd-sysusers refuses the package's users: $(cat "$out/sysusers.log")"
user=$(sed -n 's/^User=//p' "$unit")
uid=$(awk -F: -v user="$user" '$1 == user { print $3 }' "$out/root/etc/passwd")
[ -n "$uid" ] && [ "$uid" != 0 ] || fail "relaymqtt.service runs as '$user', not a user of its own (uid '$uid')"
boards_group=$(sed -n 's/.*GROUP="\([^"]*\)".*/\1/p' "$out/tree/usr/lib/udev/rules.d/70-relaypanel.rules")
[ -n "$boards_group" ] || fail "the udev rule gives the boards to no group: a service cannot open them"
grep -q "^$boards_group:" "$out/root/etc/group" || fail "the package makes no group '$boards_group' for the udev rule"
grep -qE "^SupplementaryGroups=(.* )?$boards_group( |$)" "$unit" ||
    fail "relaymqtt.service is not in the group '$boards_group' the boards belong to"

# Every key the bridge reads is in its manual page and its example config.
mapfile -t keys < <(grep -o 'key == "[a-z_]*"' "$source/mqtt/config.cpp" | cut -d'"' -f2 | sort -u)
[ ${#keys[@]} -ge 11 ] || fail "found only ${#keys[@]} config keys in mqtt/config.cpp: ${keys[*]}"
zcat "$out/tree/usr/share/man/man8/relaymqtt.8.gz" >"$out/relaymqtt.8"
for key in "${keys[@]}"; do
    grep -q "^\.BR $key " "$out/relaymqtt.8" || fail "relaymqtt(8) does not describe the key $key"
    grep -qE "^#$key =( |$)" "$out/tree/usr/share/doc/relaypanel/examples/relaymqtt.conf" ||
        fail "the example config does not show the key $key"
done

# The maintainer scripts, with stand-ins for the system's tools that note
# their calls: installing makes the users, has udev apply the rule, and
# leaves the bridge disabled unless it was enabled before the upgrade.
dpkg-deb -e "$deb" "$out/control"
mkdir "$out/stubs"
for tool in systemd-sysusers udevadm deb-systemd-helper deb-systemd-invoke systemctl; do
    printf '#!/bin/sh\necho "%s $*" >>"%s"\ncase " $* " in *" was-enabled "*) exit "$WAS_ENABLED" ;; esac\n' \
        "$tool" "$out/calls" >"$out/stubs/$tool"
    chmod +x "$out/stubs/$tool"
done
for was_enabled in 1 0; do
    rm -f "$out/calls"
    WAS_ENABLED=$was_enabled PATH="$out/stubs:$PATH" sh -e "$out/control/postinst" configure 1.0.0 ||
        fail "postinst configure failed"
    for call in 'systemd-sysusers relaypanel.conf' 'udevadm trigger'; do
        grep -q "^$call" "$out/calls" || fail "postinst does not call $call: $(cat "$out/calls")"
    done
    enabled=$(grep -c '^deb-systemd-helper enable relaymqtt.service$' "$out/calls" || true)
    [ "$enabled" = "$((1 - was_enabled))" ] ||
        fail "postinst enabled relaymqtt.service $enabled times; was-enabled answered $was_enabled (0: enabled before)"
done

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
