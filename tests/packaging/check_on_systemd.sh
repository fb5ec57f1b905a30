#!/usr/bin/env bash
# Installs the Debian packages built from the tree on a booted Debian 12 with
# its own systemd (systemd-nspawn, private network), and checks what they do
# there. The bridge alone, installed with apt, brings neither Qt nor X. Its
# service stays disabled after a first install, waits for its config and is
# confined as the docs say; enabled, it serves the virtual board through a
# mosquitto on the container's loopback; it stops cleanly, is restarted
# after a kill, is not restarted after a refused config or an unloadable
# driver library; an upgrade restarts a running bridge; removal stops it,
# has systemd forget the unit, and purge forgets its state. The udev rule is
# put to real udev (udevadm test on a board emulated by umockdev): a node
# with the owner and mode udev gives it must open read-write for the
# service's user under the service's own device policy; installing must
# have udev's daemon reload its rules and trigger a board that is already
# plugged in, and removing must have it reload them.
#
# Then the upgrade from the previous release, the one package relaypanel
# that held all three programs, with the bridge enabled and running or
# disabled: with dpkg -i in the order tools/package prints, with dpkg
# --auto-deconfigure -i in any order, with apt, and with apt only the
# bridge. The new packages take its files over, the administrator's choice
# stays and a running bridge runs on the new program; apt will not leave
# the old package beside the bridge's new one, and its upgrade through a
# repository keeps all three programs.
#
# The container's root is made once by debootstrap and kept in
# /var/cache/relaypanel-host-test (one per list of packages), with the
# packages' dependencies downloaded into its apt cache but not installed;
# each run boots a copy of it. The previous release's package is built once
# per machine from its git commit and kept there too. Needs root,
# systemd-nspawn, debootstrap and the clone's history, and Debian's mirror
# the first time; reports "not run" (status 77) where it cannot boot.
#   check_on_systemd.sh <cpack> <build folder> <virtual board folder> <source folder>
set -euo pipefail
cpack=$1
build=$2
board=$3
source=$4

skip() {
    echo "not run: $*"
    exit 77
}
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
[ "$(id -u)" = 0 ] || skip "systemd-nspawn needs root"
for tool in systemd-nspawn debootstrap nsenter apt-get git; do
    command -v "$tool" >/dev/null || skip "no $tool (Debian packages systemd-container, debootstrap)"
done

suite=bookworm
cache=/var/cache/relaypanel-host-test
# What the container has besides the packages under test: systemd with udev,
# a broker and its clients, and umockdev to show udev a board.
base_packages=(systemd systemd-sysv dbus udev mosquitto mosquitto-clients umockdev)
# The emulated board (an FT232R, 0403:6001) and a hub beside it.
board_devpath=/devices/pci0000:00/0000:00:14.0/usb1/1-1
board_syspath=/sys$board_devpath
board_node=/dev/bus/usb/001/002
board_file="board-56424F4152443031" # the virtual board VBOARD01's lines
node=relaytest                    # the container's host name: the bridge's node
availability=relayboard/bridge/$node/availability
# The previous release: the package relaypanel 1.0.0, with the bridge.
previous_commit=0f3bc29453c7871f8a1b21d985ecf184a93449f3
previous_version=1.0.0
# Packages of Qt and X, which a host with only the bridge must not get.
qt_or_x='^(libqt6|qt6-|libx11|libxcb|libxext|libxrender|libxkbcommon|libgl|libegl|libwayland|x11-common)'

out=$(mktemp -d /var/tmp/relaypanel-host-test.XXXXXX)
nspawn_pid=
cleanup() {
    if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
        inside systemctl poweroff >/dev/null 2>&1 || true
        for _ in $(seq 60); do
            kill -0 "$nspawn_pid" 2>/dev/null || break
            sleep 0.5
        done
        kill "$nspawn_pid" 2>/dev/null || true
        wait "$nspawn_pid" 2>/dev/null || true
    fi
    rm -rf "$out"
}
trap cleanup EXIT

# The packages, as check_deb.sh builds them.
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$out/cpack" >"$out/cpack.log" 2>&1 ||
    { cat "$out/cpack.log" >&2; fail "cpack -G DEB failed"; }
debs=("$out"/cpack/*.deb)
[ -f "${debs[0]}" ] || fail "cpack made no package"
names=()
declare -A inside_deb
for deb in "${debs[@]}"; do
    names+=("$(dpkg-deb -f "$deb" Package)")
    inside_deb[${names[-1]}]=/opt/relaytest/debs/${deb##*/}
done
version=$(dpkg-deb -f "${debs[0]}" Version)
for name in relaymqtt relaypanel-common relayctl relaypanel; do
    [ -n "${inside_deb[$name]:-}" ] || fail "cpack made no package $name: ${names[*]}"
done
bridge_debs=("${inside_deb[relaymqtt]}" "${inside_deb[relaypanel-common]}")
# All of them as tools/package prints them, relaypanel first: dpkg does not
# look ahead, and refuses a package that breaks relaypanel before 2.0.0
# while that one is installed.
all_debs=("${inside_deb[relaypanel]}" "${inside_deb[relaypanel-common]}" "${inside_deb[relayctl]}"
    "${inside_deb[relaymqtt]}")

# The previous release's package, built once per machine from its commit
# with the tools of that commit.
mkdir -p "$cache"
previous_deb=$cache/previous-$previous_commit/relaypanel_${previous_version}_$(dpkg --print-architecture).deb
(
    flock 9
    [ ! -f "$previous_deb" ] || exit 0
    git -C "$source" cat-file -e "$previous_commit^{commit}" 2>/dev/null ||
        fail "the clone lacks the previous release's commit $previous_commit: fetch its whole history"
    echo "building the previous release's package from $previous_commit, once for this machine"
    mkdir "$out/previous"
    git -C "$source" archive "$previous_commit" | tar -x -C "$out/previous"
    made=$(cd "$out/previous" && umask 022 &&
        SOURCE_DATE_EPOCH=$(git -C "$source" log -1 --format=%ct "$previous_commit") tools/package 2>"$out/previous.log") ||
        { tail -n 20 "$out/previous.log"; fail "building the previous release's package failed"; }
    mkdir -p "${previous_deb%/*}"
    cp "$made" "$previous_deb.new"
    mv "$previous_deb.new" "$previous_deb"
    rm -rf "$out/previous"
) 9>"$cache/.previous.lock"
[ "$(dpkg-deb -f "$previous_deb" Package) $(dpkg-deb -f "$previous_deb" Version)" = "relaypanel $previous_version" ] ||
    fail "$previous_deb is not relaypanel $previous_version"

# The dependencies of both go into the root's apt cache beforehand: the
# container has no network. The first of each alternative, without
# versions; none of the packages under test.
mapfile -t depends < <(for deb in "${debs[@]}" "$previous_deb"; do dpkg-deb -f "$deb" Depends | tr ',' '\n'; done |
    sed 's/|.*//; s/(.*)//; s/:any//; s/[[:space:]]//g' | grep -v '^$' | grep -vxF -f <(printf '%s\n' "${names[@]}") |
    sort -u)

# The root, made once per list of packages and mirror: the base packages
# installed, the dependencies only downloaded.
mirror=$(apt-get indextargets --format '$(REPO_URI) $(CODENAME) $(ORIGIN)' 'Created-By: Packages' 2>/dev/null |
    awk -v suite=$suite '$2 == suite && $3 == "Debian" { print $1; exit }')
mirror=${mirror:-http://deb.debian.org/debian/}
include=$(printf '%s\n' "${base_packages[@]}" | sort -u | paste -sd, -)
key=$(printf '%s\n' "$suite" "$mirror" "$include" "downloaded:" "${depends[@]}" | sha256sum | cut -c1-16)
(
    flock 9
    if [ ! -d "$cache/$key" ]; then
        echo "making the container's root ($suite, $include) from $mirror"
        rm -rf "$cache/$key.new"
        debootstrap --variant=minbase --include="$include" "$suite" "$cache/$key.new" "$mirror" \
            >"$out/debootstrap.log" 2>&1 || {
            tail -n 20 "$out/debootstrap.log"
            rm -rf "$cache/$key.new"
            exit 77
        }
        rm -f "$cache/$key.new"/var/cache/apt/archives/*.deb
        chroot "$cache/$key.new" apt-get install -q -y --download-only --no-install-recommends "${depends[@]}" \
            >"$out/download.log" 2>&1 || {
            tail -n 20 "$out/download.log"
            rm -rf "$cache/$key.new"
            exit 77
        }
        echo $node >"$cache/$key.new/etc/hostname"
        printf '127.0.0.1 localhost %s\n::1 localhost %s\n' $node $node >"$cache/$key.new/etc/hosts"
        mv "$cache/$key.new" "$cache/$key"
    fi
    touch "$cache/$key"
    # Roots of other lists unused for two weeks go.
    find "$cache" -mindepth 1 -maxdepth 1 -type d ! -name 'previous-*' -mtime +14 -exec rm -rf {} +
) 9>"$cache/.lock" || { [ $? = 77 ] && skip "debootstrap could not make the $suite root"; fail "making the root failed"; }
root=$out/root
cp -a --reflink=auto "$cache/$key" "$root"
# The container is thrown away: dpkg need not sync each file it unpacks.
echo force-unsafe-io >"$root/etc/dpkg/dpkg.cfg.d/relaytest-unsafe-io"
# udev's daemon runs too, though /sys is read-only here (there are no
# kernel events to handle), and logs what it is asked, reloads among it.
mkdir -p "$root/etc/systemd/system/systemd-udevd.service.d"
printf '[Unit]\nConditionPathIsReadWrite=\n' >"$root/etc/systemd/system/systemd-udevd.service.d/relaytest.conf"
echo udev_log=debug >>"$root/etc/udev/udev.conf"

# What the test brings in: the packages, the virtual board, a driver library
# cut short, and the emulated board for umockdev.
mkdir -p "$root/opt/relaytest/debs" "$root/opt/relaytest/previous" "$root/opt/relaytest/board" \
    "$root/opt/relaytest/unloadable"
cp "${debs[@]}" "$root/opt/relaytest/debs/"
cp "$previous_deb" "$root/opt/relaytest/previous/"
(cd "$root/opt/relaytest/debs" && dpkg-scanpackages . /dev/null >Packages 2>/dev/null) ||
    fail "dpkg-scanpackages cannot index the packages"
inside_previous=/opt/relaytest/previous/${previous_deb##*/}
cp "$board/libftd2xx.so" "$root/opt/relaytest/board/"
head -c 100 "$board/libftd2xx.so" >"$root/opt/relaytest/unloadable/libftd2xx.so"
cat >"$root/opt/relaytest/board.umockdev" <<EOF
P: $board_devpath
N: ${board_node#/dev/}
E: DEVNAME=$board_node
E: DEVTYPE=usb_device
E: SUBSYSTEM=usb
E: MAJOR=189
E: MINOR=1
A: idVendor=0403
A: idProduct=6001
A: busnum=1
A: devnum=2
A: dev=189:1

P: ${board_devpath%/*}/1-2
N: bus/usb/001/003
E: DEVNAME=/dev/bus/usb/001/003
E: DEVTYPE=usb_device
E: SUBSYSTEM=usb
E: MAJOR=189
E: MINOR=2
A: idVendor=1d6b
A: idProduct=0002
A: busnum=1
A: devnum=3
A: dev=189:2
EOF

SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 systemd-nspawn -D "$root" --machine="relaypanel-test-$$" -b --register=no \
    --keep-unit --private-network --system-call-filter=bpf --capability=CAP_BPF --console=read-only \
    >"$out/nspawn.log" 2>&1 &
nspawn_pid=$!
leader=
inside() {
    nsenter -t "$leader" -a -r -w -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive "$@"
}
for _ in $(seq 120); do
    kill -0 "$nspawn_pid" 2>/dev/null || break
    leader=$(awk '{ print $1 }' "/proc/$nspawn_pid/task/$nspawn_pid/children" 2>/dev/null || true)
    if [ -n "$leader" ]; then
        state=$(inside timeout 5 systemctl is-system-running --wait 2>/dev/null || true)
        case $state in running | degraded) break ;; esac
    fi
    sleep 0.5
done
case ${state:-} in
running | degraded) ;;
*)
    tail -n 20 "$out/nspawn.log"
    skip "systemd-nspawn could not boot $suite here (state '${state:-none}')"
    ;;
esac
echo "booted $suite in a container"

# Waits up to SECONDS for a command inside to succeed.
#   wait_for SECONDS command...
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until inside "$@" >/dev/null 2>&1; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.2
    done
}
# The retained message on a topic, empty when there is none.
retained() {
    inside mosquitto_sub -h localhost -t "$1" -C 1 -W 2 2>/dev/null || true
}
# Waits up to SECONDS for the retained message on TOPIC to be PAYLOAD.
#   wait_retained SECONDS TOPIC PAYLOAD
wait_retained() {
    local deadline=$((SECONDS + $1))
    until [ "$(retained "$2")" = "$3" ]; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.2
    done
}
# Runs dpkg inside; stops the test with its output when it fails.
#   dpkg_inside what-for dpkg-argument...
dpkg_inside() {
    local what=$1 log
    shift
    log=$(inside dpkg "$@" 2>&1) || fail "$what failed: $log"
}
show() {
    inside systemctl show -p "$1" --value relaymqtt.service
}
journal() {
    inside journalctl -u relaymqtt.service -o cat --no-pager | tail -n 15
}

# Runs apt-get install inside, offline; stops the test with its output when
# it fails.
#   apt_inside what-for package-file...
apt_inside() {
    local what=$1 log
    shift
    log=$(inside apt-get install -q -y --no-install-recommends "$@" 2>&1) || fail "$what failed: $log"
}
# How often udev's daemon has been asked to reload its rules, and a wait
# for one more.
count_reloads="journalctl -u systemd-udevd.service -o cat --no-pager | grep -c 'udev control message (RELOAD)'"
udev_reloads() {
    inside sh -c "$count_reloads" || true
}
wait_reload_after() {
    wait_for 5 sh -c "[ \$($count_reloads) -gt $1 ]"
}
installed_packages() {
    inside dpkg-query -W -f '${Package} ${db:Status-Abbrev}\n' | awk '$2 == "ii" { print $1 }' | sort
}

# A first install of the bridge alone, with apt as an administrator would,
# with a board plugged in: udev is asked to apply the rule to it (umockdev's
# sysfs records the trigger), the bridge stays disabled, and no package of
# Qt or X comes along.
before=$(installed_packages)
reloads=$(udev_reloads)
triggered=$(inside umockdev-run -d /opt/relaytest/board.umockdev -- sh -c \
    "apt-get install -q -y --no-install-recommends ${bridge_debs[*]} >/root/apt.log 2>&1 &&
    head -c 6 \"\$UMOCKDEV_DIR$board_syspath/uevent\"") ||
    fail "installing the bridge failed: $(inside cat /root/apt.log)"
came=$(comm -13 <(echo "$before") <(installed_packages))
for package in relaymqtt relaypanel-common libftdi1-2; do
    grep -qx "$package" <<<"$came" || fail "installing the bridge did not install $package: $came"
done
if grep -E "$qt_or_x" <<<"$came"; then
    fail "installing only the bridge brings Qt or X (above)"
fi
echo "the bridge alone: $(wc -l <<<"$came") packages installed, none of Qt or X"
[ "$triggered" = change ] || [ "$triggered" = add ] ||
    fail "installing does not trigger udev for the board plugged in (0403:6001)"
wait_reload_after "$reloads" || fail "installing does not have udev reload its rules"
[ "$(inside systemctl is-enabled relaymqtt.service || true)" = disabled ] ||
    fail "a first install leaves relaymqtt.service $(inside systemctl is-enabled relaymqtt.service), not disabled"

# The exposure systemd rates the installed unit at, as the docs give it.
exposure=$(inside systemd-analyze security relaymqtt.service 2>/dev/null |
    sed -n 's/^.*Overall exposure level for relaymqtt.service: \([0-9.]*\) \([A-Z]*\).*$/\1 "\2"/p')
documented=$(sed -n 's/^.*`systemd-analyze security relaymqtt` rates it \([0-9.]*\), \("[A-Z]*"\).*$/\1 \2/p' \
    "$source/docs/home-assistant.md")
[ -n "$exposure" ] || fail "systemd-analyze security gives no overall exposure for relaymqtt.service"
[ "$exposure" = "$documented" ] ||
    fail "systemd-analyze security rates the installed relaymqtt.service $exposure; docs/home-assistant.md says '$documented'"

# Without a config the service does not start.
inside systemctl start relaymqtt.service
[ "$(show ConditionResult)" = no ] && [ "$(show ActiveState)" = inactive ] ||
    fail "relaymqtt.service started without a config: $(show ActiveState)"

# The node a board gets, with the owner, group and mode real udev gives it.
rule=$(inside umockdev-run -d /opt/relaytest/board.umockdev -- udevadm test --action=add "$board_syspath" 2>&1)
grep -q '70-relaypanel\.rules' <<<"$rule" || fail "udev applies no rule of the package to the board: $rule"
mode=$(sed -n 's/^.* MODE \([0-7]*\)$/\1/p' <<<"$rule" | tail -n 1)
group=$(sed -n 's/^.* GROUP \([0-9]*\)$/\1/p' <<<"$rule" | tail -n 1)
owner=$(sed -n 's/^.* OWNER \([0-9]*\)$/\1/p' <<<"$rule" | tail -n 1)
[ -n "$mode" ] || fail "udev gives the board no mode: $rule"
inside sh -c "mkdir -p ${board_node%/*} && mknod -m $mode $board_node c 189 1 && chown ${owner:-0}:${group:-0} $board_node"
# A device the policy must refuse, whatever its mode: denied (EPERM) shows
# the device policy at work in this container.
inside mknod -m 666 /dev/relaytest-other c 240 0

# The virtual board through a drop-in, as a user trying the bridge without
# hardware would give it; before the bridge, the service opens both nodes
# read-write as its own user under its own device policy. A kernel without
# USB has no usb_device class; there the board's node stands for the class,
# with the access the unit allows the class.
access=$(show DeviceAllow | awk '$1 == "char-usb_device" { print $2 }')
[ -n "$access" ] || fail "relaymqtt.service allows no char-usb_device: $(show DeviceAllow)"
mkdir -p "$root/etc/systemd/system/relaymqtt.service.d"
{
    echo "[Service]"
    echo "Environment=LD_LIBRARY_PATH=/opt/relaytest/board VBOARD_DIR=/var/lib/relaytest-board"
    echo "ReadWritePaths=/var/lib/relaytest-board"
    for probe in board:$board_node other:/dev/relaytest-other; do
        echo "ExecStartPre=-/bin/sh -c 'if (exec 3<>${probe#*:}) 2>/var/lib/relaytest-board/${probe%%:*}; then echo opened >/var/lib/relaytest-board/${probe%%:*}; fi'"
    done
    if ! grep -qw usb_device /proc/devices; then
        echo "DeviceAllow=$board_node $access"
    fi
} >"$root/etc/systemd/system/relaymqtt.service.d/board.conf"
inside install -d -o relaymqtt -g relaymqtt /var/lib/relaytest-board
inside install -d /etc/relaypanel
inside install -m 644 /usr/share/doc/relaymqtt/examples/relaymqtt.conf /etc/relaypanel/relaymqtt.conf
inside systemctl daemon-reload

# Enabled and started with the example config: the bridge comes online and
# shows the board's relays.
inside systemctl enable --now relaymqtt.service 2>/dev/null
wait_retained 15 relayboard/VBOARD01/relay/3/state OFF ||
    fail "the bridge published no state of relay 3: $(show ActiveState); $(journal)"
[ "$(retained $availability)" = online ] || fail "the bridge is not online: $(journal)"
other=$(inside cat /var/lib/relaytest-board/other)
case $other in
*"Operation not permitted"*) ;;
*) skip "systemd in this container does not enforce DevicePolicy= (a device outside the policy: $other)" ;;
esac
probe=$(inside cat /var/lib/relaytest-board/board)
case $probe in
opened | *"No such device"*) ;;
*) fail "the service cannot open a board's node ($mode, gid ${group:-0}) read-write: $probe" ;;
esac
echo "the service opening a board's node ($mode, gid ${group:-0}): $probe; another device: $other"

# A command switches relay 3 on the board.
inside mosquitto_pub -h localhost -t relayboard/VBOARD01/relay/3/set -m ON
wait_for 10 grep -qx 04 /var/lib/relaytest-board/$board_file ||
    fail "relay 3 did not switch on: $(inside cat /var/lib/relaytest-board/$board_file); $(journal)"
wait_retained 10 relayboard/VBOARD01/relay/3/state ON || fail "relay 3's state is not ON"

# An upgrade of the bridge restarts it on the new program.
pid=$(show MainPID)
dpkg_inside upgrading -i "${inside_deb[relaymqtt]}"
[ "$(inside systemctl is-enabled relaymqtt.service)" = enabled ] || fail "an upgrade disabled relaymqtt.service"
wait_for 10 sh -c "[ \"\$(systemctl show -p MainPID --value relaymqtt.service)\" != $pid ] &&
    [ \"\$(systemctl show -p MainPID --value relaymqtt.service)\" != 0 ]" ||
    fail "an upgrade did not restart the running bridge (main process still $pid)"
wait_retained 10 $availability online || fail "the bridge is not online after the upgrade: $(journal)"

# Stopped: offline, exit status 0.
inside systemctl stop relaymqtt.service
[ "$(show ExecMainStatus)" = 0 ] && [ "$(show Result)" = success ] ||
    fail "stopped, relaymqtt exited with $(show ExecMainStatus) ($(show Result)): $(journal)"
[ "$(retained $availability)" = offline ] || fail "a stopped bridge is not offline"

# Killed: the broker publishes its last will and systemd starts it again.
inside systemctl start relaymqtt.service
wait_retained 10 $availability online || fail "the bridge did not come online again: $(journal)"
inside systemctl kill --kill-whom=main -s KILL relaymqtt.service
wait_retained 5 $availability offline || fail "no last will after the bridge was killed"
wait_for 20 sh -c '[ "$(systemctl show -p NRestarts --value relaymqtt.service)" = 1 ]' ||
    fail "systemd did not restart a killed bridge: $(show ActiveState)"
wait_retained 10 $availability online || fail "the restarted bridge is not online: $(journal)"

# A refused config (status 2), then a driver library that cannot be used
# (status 1): each ends the bridge for good, with no restart 10 s later.
final_status() {
    inside systemctl restart relaymqtt.service
    wait_for 10 sh -c '[ "$(systemctl show -p ActiveState --value relaymqtt.service)" = failed ]' ||
        fail "$1: relaymqtt.service is $(show ActiveState), not failed"
    [ "$(show ExecMainStatus)" = "$2" ] || fail "$1: relaymqtt exited with $(show ExecMainStatus), not $2: $(journal)"
    sleep 12
    [ "$(show NRestarts)" = 0 ] && [ "$(show ActiveState)" = failed ] ||
        fail "$1: systemd restarted the bridge ($(show NRestarts) restarts, $(show ActiveState))"
}
inside sh -c 'echo "port = 0" >>/etc/relaypanel/relaymqtt.conf'
final_status "a refused config" 2
inside install -m 644 /usr/share/doc/relaymqtt/examples/relaymqtt.conf /etc/relaypanel/relaymqtt.conf
printf '[Service]\nEnvironment=LD_LIBRARY_PATH=/opt/relaytest/unloadable\n' \
    >"$root/etc/systemd/system/relaymqtt.service.d/unloadable.conf"
inside systemctl daemon-reload
final_status "a driver library cut short" 1
rm "$root/etc/systemd/system/relaymqtt.service.d/unloadable.conf"
inside systemctl daemon-reload

# Removed while running: no bridge left, offline. Purged: systemd's links
# and the helper's state for the unit are gone.
bridge_runs() {
    inside sh -c 'grep -lx relaymqtt /proc/[0-9]*/comm' >/dev/null 2>&1
}
inside systemctl start relaymqtt.service
wait_retained 10 $availability online || fail "the bridge did not come online: $(journal)"
reloads=$(udev_reloads)
dpkg_inside removing -r relaymqtt relaypanel-common
! bridge_runs || fail "a bridge runs after the package was removed"
[ "$(retained $availability)" = offline ] || fail "a removed bridge is not offline"
[ "$(show LoadState)" = not-found ] || fail "systemd still has the removed unit loaded ($(show LoadState)): no daemon-reload"
wait_reload_after "$reloads" || fail "removing does not have udev reload its rules"
dpkg_inside purging -P relaymqtt relaypanel-common
left=$(inside find /etc/systemd/system /var/lib/systemd/deb-systemd-helper-enabled \
    /var/lib/systemd/deb-systemd-helper-masked -name 'relaymqtt.service*' ! -name '*.d' 2>/dev/null || true)
[ -z "$left" ] || fail "purging left the unit's state: $left"
echo "installed, ran, upgraded, removed and purged the bridge on a booted $suite"

# The upgrade from the previous release, which installs the bridge's unit
# enabled. The administrator leaves it enabled and running, or disables it;
# then the new packages: all of them with dpkg -i, relaypanel first, or with
# dpkg --auto-deconfigure -i in the order of their names, which unpacks the
# others while relaypanel 1.0.0 still holds their files, as apt may; all of
# them with apt; or with apt only the bridge, which takes relaypanel 1.0.0
# away (whose removal masks the bridge's unit).
#   upgrade_from_previous enabled|disabled dpkg|dpkg-any-order|apt|apt-bridge
upgrade_from_previous() {
    local choice=$1 how=$2 name pid=0 exe expected=("${names[@]}") in_name_order
    inside dpkg -P relaypanel relayctl relaymqtt relaypanel-common >/dev/null 2>&1 || true
    apt_inside "installing relaypanel $previous_version" "$inside_previous"
    [ -n "$planned" ] || plan_over_previous
    if [ "$choice" = enabled ]; then
        inside systemctl enable --now relaymqtt.service 2>/dev/null
        wait_retained 10 $availability online || fail "relaypanel $previous_version's bridge is not online: $(journal)"
        pid=$(show MainPID)
    else
        inside systemctl disable relaymqtt.service 2>/dev/null
    fi
    case $how in
    dpkg) dpkg_inside "upgrading from $previous_version with dpkg -i" -i "${all_debs[@]}" ;;
    dpkg-any-order)
        mapfile -t in_name_order < <(printf '%s\n' "${all_debs[@]}" | sort)
        dpkg_inside "upgrading from $previous_version with dpkg --auto-deconfigure -i" --auto-deconfigure -i \
            "${in_name_order[@]}"
        ;;
    apt) apt_inside "upgrading from $previous_version with apt" "${all_debs[@]}" ;;
    apt-bridge)
        apt_inside "installing the bridge alone over relaypanel $previous_version with apt" "${bridge_debs[@]}"
        expected=(relaymqtt relaypanel-common)
        [ "$(inside dpkg-query -W -f '${db:Status-Abbrev}' relaypanel)" != "ii " ] ||
            fail "apt left relaypanel $previous_version installed beside the bridge of $version"
        ;;
    esac
    for name in "${expected[@]}"; do
        [ "$(inside dpkg-query -W -f '${db:Status-Abbrev}${Version}' "$name")" = "ii $version" ] ||
            fail "after the upgrade with $how, $name is not installed at $version: $(inside dpkg -l "$name" | tail -n 1)"
    done
    [ -z "$(inside dpkg --audit)" ] || fail "after the upgrade with $how: $(inside dpkg --audit)"
    [ "$(inside dpkg -S /usr/sbin/relaymqtt)" = "relaymqtt: /usr/sbin/relaymqtt" ] ||
        fail "after the upgrade with $how, /usr/sbin/relaymqtt belongs to $(inside dpkg -S /usr/sbin/relaymqtt)"
    [ "$(inside systemctl is-enabled relaymqtt.service || true)" = "$choice" ] ||
        fail "the upgrade with $how leaves the $choice relaymqtt.service $(inside systemctl is-enabled relaymqtt.service)"
    if [ "$choice" = enabled ]; then
        wait_for 10 sh -c "[ \"\$(systemctl show -p MainPID --value relaymqtt.service)\" != $pid ]" ||
            fail "the upgrade with $how leaves the previous release's bridge running ($pid)"
        wait_retained 10 $availability online || fail "the bridge is not online after the upgrade with $how: $(journal)"
        exe=$(inside readlink "/proc/$(show MainPID)/exe")
        [ "$exe" = /usr/sbin/relaymqtt ] || fail "after the upgrade with $how the bridge runs $exe"
    else
        ! bridge_runs || fail "the upgrade with $how starts the disabled bridge"
    fi
    echo "relaypanel $previous_version with the bridge $choice, upgraded with $how: still $choice"
}
# Over the previous release: the new bridge alone will not stand beside it,
# so apt removes it, as no newer relaypanel is offered. And through a
# repository that holds the new packages, as apt's users upgrade, the plan
# keeps all three programs.
planned=
plan_over_previous() {
    local plan
    plan=$(inside apt-get install -s -q -y --no-install-recommends "${bridge_debs[@]}" 2>&1) ||
        fail "apt cannot plan the bridge alone over relaypanel $previous_version: $plan"
    grep -q "^Remv relaypanel \[$previous_version\]" <<<"$plan" ||
        fail "apt would keep relaypanel $previous_version beside the bridge of $version: $plan"
    inside sh -c 'echo "deb [trusted=yes] file:/opt/relaytest/debs ./" >/etc/apt/sources.list.d/relaytest.list'
    inside apt-get update -q -o Dir::Etc::SourceList=/etc/apt/sources.list.d/relaytest.list \
        -o Dir::Etc::SourceParts=- -o APT::Get::List-Cleanup=0 >/dev/null 2>&1 ||
        fail "apt cannot read the repository of the new packages"
    plan=$(inside apt-get dist-upgrade -s -q -y 2>&1) || fail "apt cannot plan the upgrade from relaypanel $previous_version: $plan"
    inside rm /etc/apt/sources.list.d/relaytest.list
    for name in "${names[@]}"; do
        grep -q "^Inst $name .*($version " <<<"$plan" ||
            fail "apt's upgrade from relaypanel $previous_version does not install $name $version: $plan"
    done
    planned=yes
}
upgrade_from_previous enabled dpkg
upgrade_from_previous disabled apt
upgrade_from_previous enabled apt
upgrade_from_previous disabled dpkg-any-order
upgrade_from_previous enabled apt-bridge
echo "upgraded from relaypanel $previous_version to ${names[*]} $version on a booted $suite"
