#!/usr/bin/env bash
# Builds the Debian packages and checks what they hold: one package per
# program (relayctl, relaymqtt, and relaypanel when the panel is built) and
# relaypanel-common, what they share, each file in its package and in no
# other: the programs, the driver layer in the private folder, the udev
# rule, the desktop entry, the AppStream metadata, the icon and the
# documents, the MQTT bridge with its service, users, manual page and
# example config; nothing of the tests. The dependencies: dpkg-shlibdeps',
# each program on relaypanel-common of its own version, the bridge on no Qt
# or X library. Every package, program, manual page, the changelog and the
# AppStream metadata name the version the build was configured with. The
# maintainer scripts, run into a scratch root. lintian must find no error
# or warning, the desktop entry and the metadata must validate as
# installed, and systemd must accept the service and find it well confined.
#   check_deb.sh <cpack> <build folder> <source folder> <version> [relaypanel]
set -euo pipefail
cpack=$1
build=$2
source=$3
version=$4
program=${5:-}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1; then
    cat "$out/cpack.log" >&2
    fail "cpack -G DEB failed"
fi
debs=("$out"/*.deb)
declare -A deb_of
for deb in "${debs[@]}"; do
    [ -f "$deb" ] || fail "cpack made no package"
    deb_of[$(dpkg-deb -f "$deb" Package)]=$deb
done
packages=(relaypanel-common relayctl relaymqtt ${program:+relaypanel})
[ "$(printf '%s\n' "${!deb_of[@]}" | sort)" = "$(printf '%s\n' "${packages[@]}" | sort)" ] ||
    fail "expected the packages ${packages[*]}, found: ${!deb_of[*]}"

# Every entry carries the commit's time (or SOURCE_DATE_EPOCH's), so that two
# builds of one commit give the same packages.
epoch=${SOURCE_DATE_EPOCH:-$(sed -n 's/^set(CPACK_RELAYPANEL_SOURCE_DATE_EPOCH "\([0-9]*\)")$/\1/p' "$build/CPackConfig.cmake")}
if [ -n "$epoch" ]; then
    stamp=$(TZ=UTC date -d "@$epoch" '+%Y-%m-%d %H:%M:%S')
    for deb in "${debs[@]}"; do
        times=$(dpkg-deb --fsys-tarfile "$deb" | TZ=UTC tar -tv --full-time | awk '{print $4 " " $5}' | sort -u)
        [ "$times" = "$stamp" ] || fail "the entries of ${deb##*/} are not all of the commit's time $stamp: $times"
    done
else
    echo "not checked: the entries' times (neither SOURCE_DATE_EPOCH nor a git commit)"
fi

# Each file in the package of its face; copyright and changelog in each.
declare -A expected
expected[relaypanel-common]="./usr/lib/relaypanel/libftd2xx.so
./usr/lib/udev/rules.d/70-relaypanel.rules
./usr/lib/sysusers.d/relaypanel.conf
./usr/share/man/man5/relaypanel-boards.5.gz"
expected[relayctl]="./usr/bin/relayctl
./usr/share/man/man1/relayctl.1.gz"
expected[relaymqtt]="./usr/sbin/relaymqtt
./usr/share/man/man8/relaymqtt.8.gz
./usr/lib/systemd/system/relaymqtt.service
./usr/lib/sysusers.d/relaymqtt.conf
./usr/share/doc/relaymqtt/examples/relaymqtt.conf"
expected[relaypanel]="./usr/bin/relaypanel
./usr/share/applications/invalid.relaypanel.RelayPanel.desktop
./usr/share/metainfo/invalid.relaypanel.RelayPanel.metainfo.xml
./usr/share/icons/hicolor/scalable/apps/relaypanel.svg
./usr/share/man/man1/relaypanel.1.gz"
count=0
for package in "${packages[@]}"; do
    files=$(dpkg-deb -c "${deb_of[$package]}" | awk '$1 !~ /^d/ {print $6}')
    printf '%s\n' "$files" >>"$out/all-files"
    while IFS= read -r file; do
        grep -qxF "$file" <<<"$files" || fail "$package lacks $file"
        count=$((count + 1))
    done <<<"${expected[$package]}
./usr/share/doc/$package/copyright
./usr/share/doc/$package/changelog.gz"
done
twice=$(sort "$out/all-files" | uniq -d)
[ -z "$twice" ] || fail "files in more than one package: $twice"
if grep -E 'probe|virtual|libusb|_test' "$out/all-files"; then
    fail "the packages hold test files"
fi

# Dependencies: dpkg-shlibdeps' (the driver layer on libftdi1, the bridge on
# libmosquitto, the panel on Qt Widgets), the Qt platform plugin loaded at
# run time, and relaypanel-common of the same version for each program.
depends_of() { dpkg-deb -f "${deb_of[$1]}" Depends; }
grep -q 'libftdi1-2' <<<"$(depends_of relaypanel-common)" ||
    fail "relaypanel-common does not depend on libftdi1-2 (was dpkg-shlibdeps run?): $(depends_of relaypanel-common)"
grep -q 'libmosquitto1' <<<"$(depends_of relaymqtt)" || fail "relaymqtt does not depend on libmosquitto1: $(depends_of relaymqtt)"
if grep -Eq 'qt6|libx11|libxcb|libgl' <<<"$(depends_of relaymqtt)"; then
    fail "relaymqtt depends on Qt or X: $(depends_of relaymqtt)"
fi
for package in relayctl relaymqtt ${program:+relaypanel}; do
    tr ',' '\n' <<<"$(depends_of $package)" | grep -qx " *relaypanel-common (= $version)" ||
        fail "$package does not depend on relaypanel-common (= $version): $(depends_of $package)"
done
if [ -n "$program" ]; then
    grep -q 'libqt6widgets6' <<<"$(depends_of relaypanel)" || fail "relaypanel does not depend on libqt6widgets6: $(depends_of relaypanel)"
    grep -q 'qt6-qpa-plugins' <<<"$(depends_of relaypanel)" || fail "relaypanel does not depend on qt6-qpa-plugins: $(depends_of relaypanel)"
fi
for deb in "${debs[@]}"; do
    dpkg-deb -x "$deb" "$out/tree"
    if dpkg-deb -f "$deb" Description | grep -q '^ *;'; then
        fail "a line of the description of ${deb##*/} begins with ';'"
    fi
done
for file in bin/relayctl sbin/relaymqtt ${program:+bin/$program}; do
    runpath=$(readelf -d "$out/tree/usr/$file" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]$/\1/p')
    [ "$runpath" = '$ORIGIN/../lib/relaypanel' ] || fail "the packaged $file has RUNPATH '$runpath'"
done

# One version, the one the build was configured with, in every place that
# names one: the packages, the programs, the manual pages, the newest entry
# of the changelog and the newest release of the AppStream metadata.
for deb in "${debs[@]}"; do
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "${deb##*/} has the version $(dpkg-deb -f "$deb" Version), not $version"
done
for file in bin/relayctl sbin/relaymqtt; do
    said=$("$out/tree/usr/$file" --version)
    [ "$said" = "${file#*/} $version" ] || fail "${file#*/} --version prints '$said', not '${file#*/} $version'"
done
for page in "$out"/tree/usr/share/man/man*/*.gz; do
    zcat "$page" | head -n 1 | grep -q " \"relaypanel $version\" " ||
        fail "${page##*/} does not name relaypanel $version: $(zcat "$page" | head -n 1)"
done
zcat "$out/tree/usr/share/doc/relaymqtt/changelog.gz" >"$out/changelog"
newest=$(dpkg-parsechangelog -l "$out/changelog" -S Version)
[ "$newest" = "$version" ] || fail "the changelog's newest entry is $newest, not $version"
if [ -n "$program" ]; then
    release=$(grep -o -m 1 '<release version="[^"]*"' "$out"/tree/usr/share/metainfo/*.xml | cut -d'"' -f2)
    [ "$release" = "$version" ] || fail "the AppStream metadata's newest release is '$release', not $version"
fi
for package in "${packages[@]}"; do
    cmp -s "$out/changelog" <(zcat "$out/tree/usr/share/doc/$package/changelog.gz") ||
        fail "$package carries another changelog than relaymqtt"
done

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

# It runs as a user the package makes, not root, without a home, in the
# group the udev rule gives the boards to.
mkdir -p "$out/root/etc"
systemd-sysusers --root="$out/root" "$out"/tree/usr/lib/sysusers.d/*.conf 2>"$out/sysusers.log" ||
    fail "systemd-sysusers refuses the packages' users: $(cat "$out/sysusers.log")"
user=$(sed -n 's/^User=//p' "$unit")
uid=$(awk -F: -v user="$user" '$1 == user { print $3 }' "$out/root/etc/passwd")
[ -n "$uid" ] && [ "$uid" != 0 ] || fail "relaymqtt.service runs as '$user', not a user of its own (uid '$uid')"
# A system user without a home, as Debian makes them: nothing is read from
# or written to a home folder in its name.
home=$(awk -F: -v user="$user" '$1 == user { print $6 }' "$out/root/etc/passwd")
[ "$home" = /nonexistent ] || fail "the user $user has the home folder '$home', not /nonexistent"
boards_group=$(sed -n 's/.*GROUP="\([^"]*\)".*/\1/p' "$out/tree/usr/lib/udev/rules.d/70-relaypanel.rules")
[ -n "$boards_group" ] || fail "the udev rule gives the boards to no group: a service cannot open them"
grep -q "^$boards_group:" "$out/root/etc/group" || fail "the packages make no group '$boards_group' for the udev rule"
grep -qE "^SupplementaryGroups=(.* )?$boards_group( |$)" "$unit" ||
    fail "relaymqtt.service is not in the group '$boards_group' the boards belong to"

# Every key the bridge reads is in its manual page and its example config.
mapfile -t keys < <(grep -o 'key == "[a-z_]*"' "$source/mqtt/config.cpp" | cut -d'"' -f2 | sort -u)
[ ${#keys[@]} -ge 11 ] || fail "found only ${#keys[@]} config keys in mqtt/config.cpp: ${keys[*]}"
zcat "$out/tree/usr/share/man/man8/relaymqtt.8.gz" >"$out/relaymqtt.8"
for key in "${keys[@]}"; do
    grep -q "^\.BR $key " "$out/relaymqtt.8" || fail "relaymqtt(8) does not describe the key $key"
    grep -qE "^#$key =( |$)" "$out/tree/usr/share/doc/relaymqtt/examples/relaymqtt.conf" ||
        fail "the example config does not show the key $key"
done

# The maintainer scripts as dpkg runs them (executed, not read by a shell
# of ours) for an installation into another root (DPKG_ROOT): Debian's own
# deb-systemd-helper and systemd's tools act on a copy of the packages'
# tree, and nothing is asked of this system's udev or systemd: the commands
# that would ask them are found first on PATH as notes of the call that do
# nothing. A first install makes the group and the user and leaves the
# bridge disabled; an upgrade keeps it enabled or disabled as the
# administrator left it, and so does the first configure of relaymqtt on a
# host where relaypanel before 2.0.0 had installed the unit; purge takes
# away its links and the helper's record of them. The postinst makes what
# an aborted upgrade or removal undid, and fails when it cannot make the
# group. What the scripts do on a running system is check_on_systemd.sh's.
mkdir "$out/control"
for package in relaypanel-common relaymqtt; do
    dpkg-deb -e "${deb_of[$package]}" "$out/control/$package"
done
for script in relaypanel-common/postinst relaypanel-common/postrm relaymqtt/postinst relaymqtt/prerm relaymqtt/postrm; do
    [ -x "$out/control/$script" ] || fail "${script%/*} has no ${script#*/} dpkg can run"
done
watch=$out/watch
mkdir "$watch"
for tool in udevadm systemctl deb-systemd-invoke; do
    printf '#!/bin/sh\necho "%s $*" >>"%s/calls"\n' "$tool" "$watch" >"$watch/$tool"
    chmod +x "$watch/$tool"
done
sysroot=$out/sysroot
cp -a "$out/tree" "$sysroot"
mkdir -p "$sysroot/etc"
#   maintainer_script PACKAGE SCRIPT ARGUMENT...
run_script() {
    local package=$1 script=$2
    shift 2
    PATH=$watch:$PATH DPKG_ROOT=$sysroot DPKG_MAINTSCRIPT_PACKAGE=$package DPKG_MAINTSCRIPT_NAME=$script \
        "$out/control/$package/$script" "$@" >"$out/script.log" 2>&1
}
maintainer_script() {
    run_script "$@" || fail "$1's $2 ${*:3} failed: $(cat "$out/script.log")"
}
enabled() {
    [ -L "$sysroot/etc/systemd/system/multi-user.target.wants/relaymqtt.service" ]
}
maintainer_script relaypanel-common postinst configure
grep -q "^$boards_group:" "$sysroot/etc/group" || fail "installing relaypanel-common does not make the group $boards_group"
maintainer_script relaymqtt postinst configure
grep -q "^$user:" "$sysroot/etc/passwd" || fail "installing relaymqtt does not make the user $user"
grep -qE "^$boards_group:.*[:,]$user(,|$)" "$sysroot/etc/group" || fail "installing relaymqtt does not put $user in $boards_group"
! enabled || fail "a first install enables relaymqtt.service"
systemctl --root="$sysroot" --quiet enable relaymqtt.service
maintainer_script relaymqtt postinst configure "$version"
enabled || fail "an upgrade disables the enabled relaymqtt.service"
maintainer_script relaymqtt postinst configure
enabled || fail "relaymqtt, new on a host where the unit was enabled, disables it"
systemctl --root="$sysroot" --quiet disable relaymqtt.service
maintainer_script relaymqtt postinst configure "$version"
! enabled || fail "an upgrade enables the disabled relaymqtt.service"
maintainer_script relaymqtt postinst configure
! enabled || fail "relaymqtt, new on a host where the unit was disabled, enables it"
systemctl --root="$sysroot" --quiet enable relaymqtt.service
maintainer_script relaymqtt prerm remove
rm "$sysroot/usr/lib/systemd/system/relaymqtt.service"
maintainer_script relaymqtt postrm remove
maintainer_script relaymqtt postrm purge
left=$(find "$sysroot/etc/systemd" "$sysroot/var/lib/systemd" -name 'relaymqtt.service*')
[ -z "$left" ] || fail "purge leaves the unit's links or state: $left"
maintainer_script relaypanel-common postrm remove
maintainer_script relaypanel-common postrm purge
for action in abort-upgrade abort-deconfigure abort-remove; do
    rm -r "${sysroot:?}/etc"
    mkdir "$sysroot/etc"
    maintainer_script relaypanel-common postinst "$action" "$version"
    grep -q "^$boards_group:" "$sysroot/etc/group" || fail "relaypanel-common's postinst $action does not make the group"
    maintainer_script relaymqtt postinst "$action" "$version"
    grep -q "^$user:" "$sysroot/etc/passwd" || fail "relaymqtt's postinst $action does not make the user $user"
done
rm -r "${sysroot:?}/etc"
mkdir -p "$sysroot/etc/group"
! run_script relaypanel-common postinst configure ||
    fail "relaypanel-common's postinst succeeds though it cannot make the group (/etc/group a folder)"
[ ! -e "$watch/calls" ] || fail "an installation into another root asks this system: $(cat "$watch/calls")"

if ! lintian --fail-on error,warning "${debs[@]}" >"$out/lintian.log" 2>&1; then
    cat "$out/lintian.log" >&2
    fail "lintian finds errors or warnings"
fi
if [ -n "$program" ]; then
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
fi
for package in "${packages[@]}"; do
    echo "${deb_of[$package]##*/}: Depends: $(depends_of "$package")"
done
echo "$count files in their packages, version $version everywhere"
