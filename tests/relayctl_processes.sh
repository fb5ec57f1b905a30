#!/bin/bash
# relayctl as cron jobs, scripts and home automation run it: separate
# processes, one after the other and at the same time, on one virtual relay
# board, which keeps its lines between processes and lets one hold it at a
# time.
#   relayctl_processes.sh basic|full SCRATCH COMMAND...
# COMMAND runs relayctl (under Wine: the runner, then relayctl.exe), with the
# virtual board where its library search finds it. basic: the relays kept
# from one run to the next and eight runs at once. full (Linux) adds more
# rounds of those, a busy board,
# a pulse ended by a signal, several boards, --json, and the failures a script
# must be able to tell apart; it needs RELAYCTL_CLASSIC_BOARD, the folder of a
# board without relayctl's four functions, and RELAYCTL_NO_BOARD, a folder
# with no driver library.
set -u
mode=$1
scratch=$2
shift 2
relayctl=("$@")
failures=0
fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

rm -rf "$scratch"
mkdir -p "$scratch/board"
# Under Wine the folder is named on drive Z:, the Unix root (VBOARD_DIR_PREFIX=Z:).
export VBOARD_DIR="${VBOARD_DIR_PREFIX-}$scratch/board"
unset VBOARD_SERIALS VBOARD_FAIL VBOARD_SHORT_WRITE VBOARD_ACTIVE_LOW
# The user's boards file is looked for here, where there is none until a check puts one.
export XDG_CONFIG_HOME="$scratch/config"

# run [NAME=VALUE...] ARGUMENT...: sets status, out and err.
run() {
    local settings=()
    while [[ $1 =~ ^[A-Z_]+= ]]; do
        settings+=("$1")
        shift
    done
    args="$*"
    status=0
    env "${settings[@]}" "${relayctl[@]}" "$@" >"$scratch/out" 2>"$scratch/err" </dev/null || status=$?
    out=$(tr -d '\r' <"$scratch/out")
    err=$(tr -d '\r' <"$scratch/err")
}
# expect STATUS STDOUT: what the last run must have given.
expect() {
    [ "$status" = "$1" ] && [ "$out" = "$2" ] ||
        fail "relayctl $args: status $status, stdout '$out', stderr '$err'; expected $1, '$2'"
}
# overlapping ROUNDS [NAME=VALUE...]: eight runs started at once, each
# switching one relay on, for as many rounds; every run must land.
overlapping() {
    local rounds=$1 round relay
    shift
    local pids=()
    for ((round = 1; round <= rounds; round++)); do
        run "$@" off
        pids=()
        for relay in 1 2 3 4 5 6 7 8; do
            env "$@" "${relayctl[@]}" on "$relay" >"$scratch/overlap$relay" 2>&1 </dev/null &
            pids+=($!)
        done
        for relay in 1 2 3 4 5 6 7 8; do
            wait "${pids[relay - 1]}" ||
                fail "round $round of eight runs at once ($*): on $relay: $(tr -d '\r' <"$scratch/overlap$relay")"
        done
        run "$@" get
        expect 0 "relays on: 1 2 3 4 5 6 7 8"
    done
}
# watched ARGUMENT...: relayctl in the background with SIGINT and SIGTERM at
# their defaults (a script's background jobs ignore SIGINT); its stderr goes
# to $scratch/pulse, its pid to $scratch/pid, and how it ended to
# $scratch/ended ("exit N", or "signal N" when the signal ended it).
watched() {
    rm -f "$scratch/pid" "$scratch/ended"
    perl -MPOSIX -e '
        $SIG{INT} = $SIG{TERM} = "DEFAULT";
        my ($dir, @command) = @ARGV;
        my $pid = fork // die "fork: $!";
        if ($pid == 0) {
            open STDOUT, ">", "/dev/null";
            open STDERR, ">", "$dir/pulse";
            exec @command or exit 127;
        }
        open my $file, ">", "$dir/pid.new" or die; print $file $pid; close $file;
        rename "$dir/pid.new", "$dir/pid";
        waitpid $pid, 0;
        open $file, ">", "$dir/ended" or die;
        print $file WIFSIGNALED($?) ? "signal " . WTERMSIG($?) : "exit " . WEXITSTATUS($?);
        close $file;
    ' "$scratch" "${relayctl[@]}" "$@" &
    watcher=$!
    await_line "$scratch/pid" "" || fail "relayctl $* did not start"
}
# Waits up to five seconds for a line in a file; false when none came.
await_line() {
    local tries=0
    until grep -qF -- "$2" "$1" 2>/dev/null; do
        tries=$((tries + 1))
        [ "$tries" -lt 100 ] || return 1
        sleep 0.05
    done
}

# Each run reads the lines back and changes only the relays it names.
run off
# A machine that cannot run the Windows program: not run, with the runner's reason.
if [ "$status" = 77 ] && grep -q '^wine-run: not run: ' <<<"$out"; then
    echo "$out"
    exit 77
fi
run on 3
expect 0 "relays on: 3"
run on 5
run get
expect 0 "relays on: 3 5"
run get 3
expect 0 on
run get 4
expect 0 off
run toggle 3 4
expect 0 "relays on: 4 5"
run off 4
expect 0 "relays on: 5"
run off 4
expect 0 "relays on: 5"

# Eight runs at once, a few rounds (a Windows program starts slowly under
# Wine).
[ "$mode" = full ] || overlapping 10

if [ "$mode" = full ]; then
    # Two runs that start while a pulse holds the board both wait their turn,
    # and both land.
    run off
    "${relayctl[@]}" pulse 1 1s >/dev/null 2>"$scratch/pulse" &
    pulse=$!
    await_line "$scratch/pulse" "0x01" || fail "the pulse did not switch relay 1 on"
    "${relayctl[@]}" on 3 >"$scratch/first" 2>&1 &
    first=$!
    "${relayctl[@]}" on 6 >"$scratch/second" 2>&1 &
    second=$!
    wait "$pulse" || fail "the pulse failed"
    wait "$first" || fail "on 3 next to a pulse: $(cat "$scratch/first")"
    wait "$second" || fail "on 6 next to a pulse: $(cat "$scratch/second")"
    run get
    expect 0 "relays on: 3 6"

    # A board held for longer than --wait is given up; a pulse ended by
    # SIGTERM or SIGINT puts its relay back and ends by that signal, so that
    # its parent sees it killed.
    watched pulse 2 30s
    await_line "$scratch/pulse" "0x26" || fail "the pulse did not switch relay 2 on"
    started=$(date +%s%N)
    run --wait=0.3 on 7
    waited=$((($(date +%s%N) - started) / 1000000))
    expect 1 ""
    grep -q "in use by another program; gave up after 0.3 s" <<<"$err" || fail "a busy board: '$err'"
    [ "$waited" -ge 300 ] || fail "gave up after $waited ms, before --wait ran out"
    kill -TERM "$(cat "$scratch/pid")"
    wait "$watcher"
    [ "$(cat "$scratch/ended")" = "signal 15" ] || fail "a pulse sent SIGTERM ended by '$(cat "$scratch/ended")'"
    grep -qF "0x24" "$scratch/pulse" || fail "the pulse did not put relay 2 back: $(cat "$scratch/pulse")"
    watched pulse 4 30s
    await_line "$scratch/pulse" "0x2C" || fail "the pulse did not switch relay 4 on"
    kill -INT "$(cat "$scratch/pid")"
    wait "$watcher"
    [ "$(cat "$scratch/ended")" = "signal 2" ] || fail "a pulse sent SIGINT ended by '$(cat "$scratch/ended")'"
    run get
    expect 0 "relays on: 3 6"

    # A restore the driver refuses is a failure, and says so.
    run VBOARD_FAIL_WRITE=2 pulse 1 10ms
    expect 1 ""
    grep -q "relay 1 may still be on" <<<"$err" || fail "a refused restore: '$err'"
    run set 3 6

    # The chip maker's library lists a board another program holds without
    # its serial number: such a board is waited for, named or not.
    watched pulse 1 1s
    await_line "$scratch/pulse" "0x25" || fail "the pulse did not switch relay 1 on"
    VBOARD_LIST_HELD_WITHOUT_SERIAL=1 "${relayctl[@]}" on 2 >"$scratch/first" 2>&1 &
    first=$!
    VBOARD_LIST_HELD_WITHOUT_SERIAL=1 "${relayctl[@]}" -s VBOARD01 on 8 >"$scratch/second" 2>&1 &
    second=$!
    wait "$first" || fail "on 2 next to a pulse, listed without serial: $(cat "$scratch/first")"
    wait "$second" || fail "-s VBOARD01 on 8 next to a pulse, listed without serial: $(cat "$scratch/second")"
    wait "$watcher"
    run get
    expect 0 "relays on: 2 3 6 8"

    # Overlapping runs take turns, each one lands; also where a held board
    # is listed without its serial number.
    overlapping 30
    overlapping 15 VBOARD_LIST_HELD_WITHOUT_SERIAL=1
    run set 3 6

    # Several boards: without -s none is opened; with it, only that one.
    run VBOARD_SERIALS=A1,B2 on 8
    expect 2 ""
    grep -q "A1, B2.*name one with -s" <<<"$err" || fail "several boards: '$err'"
    run VBOARD_SERIALS=A1,B2 -s B2 on 8
    expect 0 "relays on: 8"
    run VBOARD_SERIALS=A1,B2 -s A1 get
    expect 0 "all relays off"
    run VBOARD_SERIALS=A1,B2 -s C3 get
    expect 1 ""
    grep -q "no relay board with serial number 'C3'; attached: A1, B2" <<<"$err" || fail "an unknown serial: '$err'"

    # No board: list leaves stdout empty and exits 0, as a script's loop over
    # its lines expects, and says so on stderr.
    run VBOARD_SERIALS= list
    expect 0 ""
    [ "$err" = "relayctl: no relay board found" ] || fail "list with no board: '$err'"
    run VBOARD_SERIALS= --json list
    expect 0 '{"boards":[]}'

    # Strings from the device are escaped in JSON.
    run 'VBOARD_SERIALS=Q"1\z' --json get
    expect 0 '{"serial":"Q\"1\\z","byte":0,"on":[]}'
    run $'VBOARD_SERIALS=A\xff1' --json get
    expect 0 $'{"serial":"A\xef\xbf\xbd1","byte":0,"on":[]}'
    run $'VBOARD_SERIALS=D\x7f1' list
    expect 0 $'D?1\tVirtual relay board'
    run 'VBOARD_SERIALS=Q"1\z' --json list
    expect 0 '{"boards":[{"serial":"Q\"1\\z","description":"Virtual relay board","in_use":false}]}'

    # The user's boards file names relays; a malformed one is refused with
    # its line and status 2, and nothing is switched.
    mkdir -p "$XDG_CONFIG_HOME/relaypanel"
    printf '[board VBOARD01]\nname = garden\nrelay.3 = pump\n' >"$XDG_CONFIG_HOME/relaypanel/boards.conf"
    run -s garden on pump
    expect 0 "relays on: 3 (pump) 6"
    printf '[board VBOARD01]\ninterlock = 3\n' >"$XDG_CONFIG_HOME/relaypanel/boards.conf"
    run off 3
    expect 2 ""
    [ "$err" = "relayctl: $XDG_CONFIG_HOME/relaypanel/boards.conf:2: an interlock group needs two relays or more" ] ||
        fail "a malformed boards file: '$err'"
    rm "$XDG_CONFIG_HOME/relaypanel/boards.conf"
    run get
    expect 0 "relays on: 3 6"

    # What a script tells apart by the exit status and the one line on stderr.
    run --help
    [ "$status" = 0 ] && [ "${out%%$'\n'*}" = "usage: relayctl [-s BOARD] [--wait SECONDS] [--json] [--boards FILE] COMMAND" ] &&
        [ -z "$err" ] || fail "--help: status $status, stderr '$err'"
    run VBOARD_FAIL=FT_Close on 2
    expect 1 ""
    grep -qx "relayctl: FT_Close failed: FT_IO_ERROR" <<<"$err" || fail "a refused close: '$err'"
    run "LD_LIBRARY_PATH=$RELAYCTL_CLASSIC_BOARD" on 1
    expect 1 ""
    [ "$err" = "relayctl: the driver library libftd2xx.so has no function FT_CreateDeviceInfoList" ] ||
        fail "a library without relayctl's functions: '$err'"
    run "LD_LIBRARY_PATH=$RELAYCTL_NO_BOARD" on 1
    expect 1 ""
    [ "$(wc -l <<<"$err")" = 1 ] && [[ $err == "relayctl: cannot load the driver library libftd2xx.so: "* ]] ||
        fail "no driver library: '$err'"
fi

[ "$failures" = 0 ] && echo "relayctl on the virtual board: all checks passed ($mode)"
[ "$failures" = 0 ]
