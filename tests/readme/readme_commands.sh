#!/bin/bash
# Pastes every command the README shows (its indented code blocks), exactly
# as written there, from a copy of the repository's top folder, against a
# real `make run`, and fails when one does not work or an example leaves a
# file behind in the top folder. The commands come from README.md itself, so
# the two cannot drift apart. A block of make commands is taken line by
# line: `make run` (re)starts it, as the README asks the reader to;
# `make run-applet` runs on an X server of its own, where its sheet must open
# and Escape must end it; any other target (the whole suite, the sanitizer
# run, the benchmarks, the desktop application, which waits for Shutdown) is
# checked with `make -n`, since running it would run the suite from inside
# itself or never end. What the README's install puts in place must be
# built by `make run` alone, as on a fresh clone. A
# block that starts the detached service runs with `make run` stopped, since
# both serve the same ports.
#
#   readme_commands.sh SOURCE_DIR BUILD_DIR
#
# The README's ports are fixed (8080, 8081, 8082, 8443, 2121, 7070): the script runs in a
# network namespace of its own, where they are free; without one it skips
# when any of them is taken.
set -u
SRC=$(cd "$1" && pwd) || exit 1
BUILD=$(cd "$2" && pwd) || exit 1
PORTS="8080 8081 8082 8443 2121 7070"
# Seconds: make run only checks the build and the packages when they are up
# to date, then the servers start at once.
START_WAIT=180
STOP_WAIT=60

if [ -z "${VELMORA_README_NETNS:-}" ]; then
    flags=-rn
    [ "$(id -u)" = 0 ] && flags=-n
    if unshare $flags true 2>/dev/null; then
        exec env VELMORA_README_NETNS=1 unshare $flags "$0" "$@"
    fi
    for port in $PORTS; do
        if (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null; then
            echo "SKIP: port $port is taken and no private network namespace can be made here"
            exit 77
        fi
    done
else
    ip link set lo up || { echo "FAIL: cannot bring the namespace's loopback up"; exit 1; }
fi

# A make that started this test must not lend its job server to ours.
unset MAKEFLAGS MFLAGS MAKELEVEL MAKEOVERRIDES

WORK=$(mktemp -d "${TMPDIR:-/tmp}/velmora-readme.XXXXXX") || exit 1
MAKE_PID=
fail() {
    echo "FAIL: $*"
    [ -f "$WORK/make-run.out" ] && { echo "--- make run said:"; tail -n 40 "$WORK/make-run.out"; }
    exit 1
}
stop_make_run() {
    [ -n "$MAKE_PID" ] || return 0
    kill -INT -- "-$MAKE_PID" 2>/dev/null
    for _ in $(seq $((STOP_WAIT * 10))); do
        kill -0 -- "-$MAKE_PID" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 -- "-$MAKE_PID" 2>/dev/null; then
        kill -KILL -- "-$MAKE_PID" 2>/dev/null
        MAKE_PID=
        return 1
    fi
    MAKE_PID=
}
# The detached service leaves this test's process groups; stop it the way
# the README does when a block failed halfway.
stop_service() {
    env VELMORA_REGISTRY="$WORK/run/registry.db" VELMORA_HOME="$WORK/run" VELMORA_RUN_DIR="$WORK/run/rt" \
        "$BUILD/tools/velmora-sc" stop Velmora > /dev/null 2>&1
}
cleanup() {
    stop_make_run
    [ -d "$WORK/run/rt" ] && stop_service
    rm -rf "$WORK"
}
trap cleanup EXIT

# The top folder as a reader has it, with this build and a run folder of
# the test's own (make run keeps its hive and logs in ./run).
for entry in "$SRC"/* "$SRC"/.[!.]*; do
    [ -e "$entry" ] || continue
    case "$(basename "$entry")" in build | run | .git) continue ;; esac
    ln -s "$entry" "$WORK/$(basename "$entry")"
done
ln -s "$BUILD" "$WORK/build"
cd "$WORK" || exit 1
# What the top folder holds before the examples; the test's own files are
# allowed beside it afterwards.
mkdir home
ls -A | sort > home/.before

start_make_run() {
    stop_make_run || fail "make run did not stop within $STOP_WAIT s"
    : > make-run.out
    setsid make run BUILD="$BUILD" RUN_DIR="$WORK/run" > make-run.out 2>&1 < /dev/null &
    MAKE_PID=$!
    for _ in $(seq $((START_WAIT * 10))); do
        grep -q "^Velmora serves " make-run.out && return 0
        kill -0 "$MAKE_PID" 2>/dev/null || fail "make run ended before it served"
        sleep 0.1
    done
    fail "make run did not say what it serves within $START_WAIT s"
}

# make run-applet as a reader runs it: the sheet opens, and Escape (Cancel)
# ends the host with status 0.
run_applet() {
    if ! command -v xvfb-run > /dev/null || ! command -v xdotool > /dev/null; then
        echo "note: make run-applet is only dry-run: xvfb-run or xdotool is missing"
        make -n run-applet BUILD="$BUILD" RUN_DIR="$WORK/run" > last.out 2> last.err
        return
    fi
    # Under the sanitizers: the X session's D-Bus library keeps a block to the end.
    printf 'leak:libdbus-1.so\n' > "$WORK/home/lsan.supp"
    HOME="$WORK/home" LSAN_OPTIONS="suppressions=$WORK/home/lsan.supp" \
        timeout 180 xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
        QT_QPA_PLATFORM=xcb setsid make run-applet BUILD="$1" RUN_DIR="$2" > applet.out 2>&1 < /dev/null &
        pid=$! window=
        for _ in $(seq 1200); do
            kill -0 $pid 2> /dev/null || break
            window=$(xdotool search --onlyvisible --name "^Server Settings$" 2> /dev/null | head -n 1)
            [ -n "$window" ] && break
            sleep 0.1
        done
        [ -n "$window" ] || { kill -KILL -- -$pid 2> /dev/null; cat applet.out; echo "its sheet did not open"; exit 1; }
        xdotool key --window "$window" Escape
        wait $pid; status=$?
        [ $status = 0 ] || { cat applet.out; echo "it ended with status $status"; exit 1; }' _ "$BUILD" "$WORK/run"
}

# The blocks, one file each, in README order.
/usr/bin/python3 - "$SRC/README.md" "$WORK/blocks" <<'PY' || fail "cannot read the README's blocks"
import os, sys
readme, out = sys.argv[1], sys.argv[2]
os.makedirs(out)
current, blocks, block, previous_blank = None, [], None, True
for line in open(readme, encoding="utf-8").read().split("\n") + [""]:
    if line.startswith("## "):
        current = line[3:].strip()
    if line.startswith("    ") and (block is not None or previous_blank):
        if block is None:
            block = []
            blocks.append((current, block))
        block.append(line[4:])
    elif block is not None:
        block = None
    previous_blank = line.strip() == ""
if len(blocks) < 10:
    sys.exit("only %d command blocks in the README" % len(blocks))
for index, (name, lines) in enumerate(blocks):
    with open(os.path.join(out, "%02d" % index), "w", encoding="utf-8") as f:
        f.write(name + "\n" + "\n".join(lines) + "\n")
PY

# Every curl must get a reply that is not an error; every other command
# must end with status 0. The examples' home is a temporary one, so an
# install to ~/.local stays in it, and the Qt programs draw off screen.
# curl runs with the line's own options only, so it retries exactly as it
# does for a reader (without --fail it never retries a 404); the last
# reply's status is noted on standard error and checked afterwards. A line
# that prints the status itself (its own --write-out wins) shows a refusal
# on purpose.
PRELUDE='curl() { command curl --silent --show-error --max-time 30 --write-out "%{stderr}readme-status %{http_code}\n" "$@"; }'

# One block's commands in a session of their own, whose stragglers (a peer
# server the block started and did not stop) end with it.
run_block() {
    HOME="$WORK/home" QT_QPA_PLATFORM=offscreen setsid bash -c "$1" &
    local pid=$! rc
    wait "$pid"
    rc=$?
    kill -KILL -- "-$pid" 2>/dev/null
    return $rc
}

# What the examples' replies must hold, by how their line ends: the peers
# and the script they set up, reached through the proxy and the server.
declare -A EXPECT=(
    ["ftp://127.0.0.1:2121/"]="hello.txt"
    ["ftp://127.0.0.1:2121/hello.txt"]="hello over ftp"
    ["gopher://127.0.0.1:7070/1/ http://127.0.0.1:8081/"]="About this server"
    ["http://127.0.0.1:8080/cgi/hello.sh?Bo'"]="Hello from CGI: Bo"
    ["velmora-sc query Velmora"]="RUNNING"
    ["demo:velmora http://127.0.0.1:8080/staff/"]="Velmora is running"
    ["-I http://127.0.0.1:8080/staff/"]="200 OK"
    ["}\\n' http://127.0.0.1:8080/staff/"]="401"
    # The guest book, of make run and of the installed service: a listed
    # row, and an added one shown as it was typed.
    ["curl http://127.0.0.1:8080/guests.kav"]="<td>Ada</td>"
    ["-L --data-urlencode name=Zoë http://127.0.0.1:8080/guests.kav"]="<td>Zoë</td>"
)
# The endings met, each counted once however many lines end so.
declare -A MATCHED=()

count=0
for file in blocks/*; do
    section=$(head -n 1 "$file")
    body=$(tail -n +2 "$file")
    # A block of make commands: each line's target alone.
    if ! grep -qv '^make ' <<< "$body"; then
        while IFS= read -r line; do
            target=$(sed -e 's/#.*//' -e 's/^make *//' -e 's/ *$//' <<< "$line")
            count=$((count + 1))
            if [ "$target" = run ]; then
                start_make_run
            elif [ "$target" = run-applet ]; then
                run_applet || fail "make run-applet in the README's section \"$section\" does not work as written"
            else
                make -n "$target" BUILD="$BUILD" RUN_DIR="$WORK/run" > last.out 2> last.err ||
                    { cat last.err; fail "make $target in the README's section \"$section\" is no working target"; }
            fi
        done <<< "$body"
        continue
    fi
    grep -q '^make ' <<< "$body" && fail "the README's section \"$section\" mixes make with other commands in one block"
    service=
    if grep -q 'velmora-sc start' <<< "$body"; then
        service=1
        stop_make_run || fail "make run did not stop on Ctrl-C within $STOP_WAIT s"
    fi
    script="$PRELUDE"$'\n'
    while IFS= read -r line; do
        [ -n "$line" ] || continue
        count=$((count + 1))
        printf -v quoted '%q' "$line"
        # In braces, so a line's own redirections keep their files.
        script+="{ $line"$'\n'"} > last.out 2> last.err"$'\n'
        script+="rc=\$?; if [ \$rc -ne 0 ] || { [[ \$(printf '%s' $quoted) == curl* ]] && [ ! -s last.out ]; }; then"
        script+=" echo \"status \$rc: \"$quoted; cat last.err; exit 1; fi"$'\n'
        script+="code=\$(sed -n 's/^readme-status //p' last.err | tail -n 1); if [ -n \"\$code\" ] && { [ \"\$code\" -lt 200 ] || [ \"\$code\" -ge 400 ]; }; then"
        script+=" echo \"HTTP status \$code: \"$quoted; cat last.out; exit 1; fi"$'\n'
        for ending in "${!EXPECT[@]}"; do
            [[ "$line" == *"$ending" ]] || continue
            MATCHED["$ending"]=1
            printf -v want '%q' "${EXPECT[$ending]}"
            script+="grep -qF -- $want last.out || { echo \"no \"$want\" in the reply to \"$quoted; cat last.out; exit 1; }"$'\n'
        done
    done <<< "$body"
    run_block "$script" || fail "a command of the README's section \"$section\" does not work as written"
    # The install's removal takes every file and folder it put in place: only
    # the state folder stays.
    if grep -q 'install_manifest' <<< "$body"; then
        find home/.local -mindepth 1 2> /dev/null | grep -vxE 'home/\.local/var(/lib(/velmora(/.*)?)?)?' > home/installed-left.txt
        [ -s home/installed-left.txt ] &&
            fail "the README's removal left $(wc -l < home/installed-left.txt) files or folders besides the state folder: $(head -n 5 home/installed-left.txt | tr '\n' ' ')"
    fi
    # The README's own stop must have ended the service: make run cannot
    # serve its ports otherwise.
    [ -n "$service" ] && start_make_run
done
[ "$count" -ge 40 ] || fail "only $count commands found in the README"
[ "${#MATCHED[@]}" -eq "${#EXPECT[@]}" ] || fail "only ${#MATCHED[@]} of the ${#EXPECT[@]} examples with a known reply are in the README"

# On a fresh clone make run builds only its targets: every built file the
# install puts in place must be one of theirs.
targets=$(make -s --no-print-directory --eval 'print-%: ; @echo $($*)' print-RUN_TARGETS)
# The files the targets name, and everything they are made from.
built=$(for target in $targets; do
            ninja -C "$BUILD" -t query "$target" | awk '/^  input:/ { take = 1; next } /^  [a-z]/ { take = 0 } take { print $1 }'
        done 2> /dev/null; ninja -C "$BUILD" -t inputs $targets 2> /dev/null)
[ -n "$built" ] || fail "ninja cannot list what make run builds"
for file in $(find "$BUILD" -name cmake_install.cmake -exec sed -n 's/.* FILES "\([^"]*\)".*/\1/p' {} +); do
    case "$file" in "$BUILD"/*) ;; *) continue ;; esac
    grep -qxF "${file#"$BUILD"/}" <<< "$built" ||
        fail "the README's install needs ${file#"$BUILD"/}, which make run does not build"
done

# The KAV reference's worked pages, saved and fetched as it says.
HOME="$WORK/home" /usr/bin/python3 "$SRC/tests/readme/kav_pages.py" "$SRC/docs/kav.md" ||
    fail "a worked page of docs/kav.md does not give what the reference shows"

# The server still serves after everything the README did to it.
curl --fail --silent --max-time 10 http://127.0.0.1:8080/ > /dev/null || fail "the default site no longer answers"
stop_make_run || fail "make run did not stop on Ctrl-C within $STOP_WAIT s"

# The examples keep their files in temporary folders.
ls -A | sort | comm -13 home/.before - | grep -vxE 'run|make-run\.out|applet\.out|last\.out|last\.err|blocks|home' > home/left.txt
[ -s home/left.txt ] && fail "the README's examples left files in the top folder: $(tr '\n' ' ' < home/left.txt)"
echo "PASS: $count README commands work as written"
