#!/bin/bash
# The docs as a reader meets them: every command they show with its output
# still gives that output, every link between them leads somewhere, and the
# manual pages point at each other.
#   check_docs.sh SOURCE BUILD SCRATCH
# BUILD is a build folder with relayctl, relaymqtt and the virtual board
# built; SCRATCH is emptied and used.
#
# A fenced block whose info string is `console` is a terminal session: a line
# that starts with "$ " is a command, one that starts with "> " continues it,
# and the lines up to the next command are its output, stdout and stderr as
# a terminal shows them. Each page's blocks run in order in one bash, in a
# folder of their own that holds the clone's files, as a reader's terminal
# at the top of a fresh clone would: tools/run takes the programs from BUILD
# and the virtual board starts empty. The comment <!-- doc-test: retry -->
# before a block lets each of its commands run again for up to five seconds
# until its output matches, for a check of what another process does a
# moment later. The exit status of a command is not compared; a page shows
# it with `echo $?`.
#
# The pages run in a network namespace of their own, so that the MQTT demo's
# broker finds its first port free whatever else runs on this machine.
set -u
source_dir=$1
build_dir=$2
scratch=$3

if [ -z "${DOCS_NETWORK_NAMESPACE-}" ]; then
    export DOCS_NETWORK_NAMESPACE=1
    for flags in -n -rn; do
        if unshare "$flags" true 2>/dev/null; then
            exec unshare "$flags" "$0" "$@"
        fi
    done
    echo "not run: no network namespace can be made here (unshare -n and unshare -rn failed)"
    exit 77
fi
ip link set lo up || exit 1

pages=(README.md CONTRIBUTING.md)
while IFS= read -r page; do pages+=("$page"); done < <(cd "$source_dir" && find docs -name '*.md' | sort)

failures=0
fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

rm -rf "$scratch"
mkdir -p "$scratch"

# The commands of one page: session.sh, which prints a marker line before
# each command's output, expected/N, the output shown for command N, and
# where.txt, "N<TAB>PAGE:LINE<TAB>COMMAND" per command.
extract() {
    local page=$1 work=$2
    mkdir -p "$work/expected"
    awk -v page="$page" -v work="$work" -v salt="$salt" '
        function flush_command() {
            if (command == "") return
            n++
            printf "%d\t%s:%d\t%s\n", n, page, command_line, first_line > (work "/where.txt")
            printf "__doc_mark %d\n", n > session
            if (retry) {
                printf "for __doc_try in $(seq 50); do\n__doc_out=$( { %s\n} 2>&1 )\n", command > session
                printf "[ \"$__doc_out\" = \"$(cat %s/expected/%d)\" ] && break; sleep 0.1; done\n", work, n > session
                printf "[ -z \"$__doc_out\" ] || printf \"%%s\\n\" \"$__doc_out\"\n" > session
            } else {
                printf "%s\n", command > session
            }
            if (expected != "") close(expected)
            expected = work "/expected/" n
            printf "" > expected
            command = ""
        }
        BEGIN {
            session = work "/session.sh"
            printf "shopt -s expand_aliases\n" > session
            printf "__doc_mark() { __doc_status=$?; printf \"%%s %%s\\n\" %s \"$1\"; return $__doc_status; }\n", salt > session
        }
        /^<!-- doc-test: retry -->$/ { retry_next = 1; next }
        !inside && /^ *```console *$/ {
            inside = 1
            indent = index($0, "`") - 1
            retry = retry_next
            next
        }
        !inside && !/^ *$/ { retry_next = 0 }
        inside && /^ *``` *$/ {
            flush_command()
            inside = 0
            retry_next = 0
            if (expected != "") close(expected)
            expected = ""
            next
        }
        inside {
            line = substr($0, indent + 1)
            if (line ~ /^\$ /) {
                flush_command()
                command = substr(line, 3)
                first_line = command
                command_line = NR
            } else if (line ~ /^> / && command != "") {
                command = command "\n" substr(line, 3)
            } else if (command != "") {
                flush_command()
                print line > expected
            } else if (expected != "") {
                print line > expected
            } else {
                printf "%s:%d: output before any command: %s\n", page, NR, line > "/dev/stderr"
                bad = 1
            }
        }
        END {
            if (inside) { printf "%s: a console block is not closed\n", page > "/dev/stderr"; bad = 1 }
            printf "__doc_mark end\n" > session
            exit bad
        }
    ' "$source_dir/$page"
}

# Runs one page's session in a folder that looks like the top of a clone.
run_page() {
    local page=$1 work=$2
    mkdir -p "$work/clone" "$work/home" "$work/run" "$work/tmp"
    chmod 700 "$work/run"
    local entry
    # Everything but the build folders, which the reader's clone has not yet.
    for entry in "$source_dir"/* "$source_dir"/.[!.]*; do
        if [ -e "$entry" ] && [ "$(basename "$entry")" != build ]; then
            ln -s "$entry" "$work/clone/$(basename "$entry")"
        fi
    done
    (
        cd "$work/clone" || exit 1
        umask 022
        unset VBOARD_DIR VBOARD_SERIALS VBOARD_FAIL VBOARD_SHORT_WRITE VBOARD_FAIL_WRITE \
            VBOARD_LIST_HELD_WITHOUT_SERIAL VBOARD_ACTIVE_LOW VBOARD_WRITE_LOG LD_LIBRARY_PATH \
            XDG_CONFIG_HOME XDG_STATE_HOME STATE_DIRECTORY
        export HOME=$work/home XDG_RUNTIME_DIR=$work/run TMPDIR=$work/tmp LC_ALL=C.UTF-8 \
            RELAYPANEL_RUN_FROM=$build_dir
        # A session of its own, so that whatever it leaves running ends with it.
        setsid bash "$work/session.sh" >"$work/actual.txt" 2>&1 </dev/null &
        leader=$!
        wait "$leader"
        kill -TERM -- "-$leader" 2>/dev/null
        true
    )
}

# Compares each command's output with what the page shows.
compare() {
    local page=$1 work=$2 number place command
    awk -v salt="$salt" -v work="$work" '
        index($0, salt " ") > 0 {
            at = index($0, salt " ")
            if (at > 1 && out != "") printf "%s", substr($0, 1, at - 1) > out
            if (out != "") close(out)
            name = substr($0, at + length(salt) + 1)
            out = (name == "end") ? "" : work "/actual/" name
            if (out != "") printf "" > out
            next
        }
        out != "" { print > out }
    ' "$work/actual.txt"
    while IFS=$'\t' read -r number place command; do
        if [ ! -e "$work/actual/$number" ]; then
            fail "$place: \$ $command: never ran (an earlier command ended the session)"
        elif ! cmp -s "$work/expected/$number" "$work/actual/$number"; then
            fail "$place: \$ $command: the output differs from the page (- page, + now):"
            diff -u --label page --label now "$work/expected/$number" "$work/actual/$number" | tail -n +3
        fi
    done <"$work/where.txt"
}

salt=doc-test-$$-$RANDOM
commands=0
for page in "${pages[@]}"; do
    [ -e "$source_dir/$page" ] || { fail "$page is missing"; continue; }
    work=$scratch/$(tr / _ <<<"$page")
    mkdir -p "$work/actual"
    : >"$work/where.txt"
    extract "$page" "$work" || { fail "$page: its console blocks cannot be read"; continue; }
    [ -s "$work/where.txt" ] || continue
    run_page "$page" "$work"
    compare "$page" "$work"
    commands=$((commands + $(wc -l <"$work/where.txt")))
done

# Every relative link leads to a file of the source, and an anchor to a
# heading in it (GitHub's anchors: lower case, no punctuation, '-' for blanks).
anchors() {
    sed -n 's/^#\{1,6\} \(.*\)$/\1/p' "$1" | tr '[:upper:]' '[:lower:]' | sed 's/[^a-z0-9 _-]//g; s/ /-/g'
}
for page in "${pages[@]}"; do
    [ -e "$source_dir/$page" ] || continue
    folder=$(dirname "$page")
    while IFS= read -r link; do
        target=${link%%#*}
        anchor=
        [[ $link == *#* ]] && anchor=${link#*#}
        file=$page
        [ -z "$target" ] || file=$folder/$target
        if [ ! -e "$source_dir/$file" ]; then
            fail "$page: the link ($link) leads to no file"
        elif [ -n "$anchor" ] && ! anchors "$source_dir/$file" | grep -qxF -- "$anchor"; then
            fail "$page: the link ($link) names no heading of $file"
        fi
    done < <(grep -o '\]([^)]*)' "$source_dir/$page" | sed 's/^](//; s/)$//' | grep -v '^[a-z]*:')
done

# The front door stays short.
lines=$(wc -l <"$source_dir/README.md")
[ "$lines" -le 150 ] || fail "README.md has $lines lines, more than 150"

# Each manual page names the other programs' under SEE ALSO.
for page in relayctl.1 relaymqtt.8 relaypanel.1 relaypanel-boards.5; do
    see_also=$(sed -n '/^\.SH SEE ALSO/,/^\.SH/p' "$source_dir/packaging/$page")
    for other in relayctl:1 relaymqtt:8 relaypanel:1; do
        [ "${other%:*}" = "${page%.*}" ] && continue
        grep -qx "\.BR ${other%:*} (${other#*:}),\?" <<<"$see_also" ||
            fail "$page does not name ${other%:*}(${other#*:}) under SEE ALSO"
    done
done

if [ "$failures" -ne 0 ]; then
    echo "$failures of the docs' checks failed"
    exit 1
fi
echo "docs: $commands commands gave the output their pages show; links and manual pages fine"
