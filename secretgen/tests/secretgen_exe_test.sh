#!/usr/bin/env bash
# Runs the real secretgen.exe under Wine in fresh directories, away from its own folder, and
# checks its exit code, its output and what it leaves on disk. Run by CTest inside the sandbox.
# Usage: secretgen_exe_test.sh CASE PATH/TO/secretgen.exe
set -uo pipefail

case_name="$1"
exe="$2"
secret_size=64
exists_message='secret.txt already exists'
open_failed_message='Fatal error opening secret.txt for writing'

fail() { echo "FAIL ($case_name): $*" >&2; exit 1; }

# shellcheck source=../../scripts/lib/sandbox_check.sh
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/sandbox_check.sh"
why="$(tessel_sandbox_refusal)"
[ -z "$why" ] || fail "run me inside the sandbox, ./run sandbox ctest ... ($why)"
[ -f "$exe" ] || fail "no program at $exe"

scratch="$(mktemp -d /tmp/secretgen-test.XXXXXX)"
trap 'rm -rf "$scratch"' EXIT

fresh_dir() {
    mktemp -d "$scratch/dir.XXXXXX"
}

# Runs the program in DIR with ARGS; leaves its exit code in $rc and its output in $scratch/out.
run_in() {
    local dir="$1"
    shift
    (cd "$dir" && wine "$exe" "$@" >"$scratch/out" </dev/null)
    rc=$?
}

expect_rc() {
    [ "$rc" -eq "$1" ] || fail "exit code $rc, expected $1; output: $(od -c "$scratch/out" | head -5)"
}

# Standard output must be exactly what the printf FORMAT and ARGS give; under Wine, as on
# Windows, a line break is CR LF.
expect_output() {
    # shellcheck disable=SC2059
    printf "$@" >"$scratch/expected"
    cmp -s "$scratch/out" "$scratch/expected" ||
        fail "output is $(od -c "$scratch/out" | head -5), expected $(od -c "$scratch/expected" | head -5)"
}

expect_size() {
    local file="$1" size="$2"
    [ -f "$file" ] || fail "$file is missing"
    local actual
    actual="$(stat -c %s "$file")"
    [ "$actual" -eq "$size" ] || fail "$file holds $actual bytes, expected $size"
}

writes_64_bytes_silently() {
    local dir
    dir="$(fresh_dir)"
    run_in "$dir"
    expect_rc 0
    expect_output ''
    expect_size "$dir/secret.txt" "$secret_size"
}

keeps_the_first_secret() {
    local dir
    dir="$(fresh_dir)"
    run_in "$dir"
    expect_rc 0
    cp "$dir/secret.txt" "$scratch/first"
    run_in "$dir"
    expect_rc 4
    expect_output '%s\r\n' "$exists_message"
    cmp -s "$dir/secret.txt" "$scratch/first" || fail "the second run changed the secret"
}

keeps_an_empty_secret_empty() {
    local dir
    dir="$(fresh_dir)"
    : >"$dir/secret.txt"
    run_in "$dir"
    expect_rc 4
    expect_output '%s\r\n' "$exists_message"
    expect_size "$dir/secret.txt" 0
}

ignores_its_arguments() {
    local dir
    dir="$(fresh_dir)"
    run_in "$dir" other.txt --force /? secret.txt
    expect_rc 0
    expect_output ''
    expect_size "$dir/secret.txt" "$secret_size"
    local entries
    entries="$(ls -A "$dir")"
    [ "$entries" = "secret.txt" ] || fail "the directory holds: $entries"
}

makes_a_different_secret_each_run() {
    local first second
    first="$(fresh_dir)"
    second="$(fresh_dir)"
    run_in "$first"
    expect_rc 0
    run_in "$second"
    expect_rc 0
    ! cmp -s "$first/secret.txt" "$second/secret.txt" || fail "two runs wrote the same secret"
}

# Wine turns the secret's access list into its mode: with the owner's entry alone, other users
# get no permission bits.
keeps_the_secret_from_other_users() {
    local dir mode
    dir="$(fresh_dir)"
    run_in "$dir"
    expect_rc 0
    mode="$(stat -c %a "$dir/secret.txt")"
    [ $((8#$mode & 8#007)) -eq 0 ] || fail "secret.txt has mode $mode: other users can read it"
}

# Whether process PID is still at work (a process that ended is a zombie until it is waited for).
is_running() {
    local stat
    read -r stat <"/proc/$1/stat" 2>/dev/null || return 1
    stat="${stat##*) }"
    [ "${stat%% *}" != Z ]
}

# Starts the program in DIR in a process group of its own and kills the whole group with KILL,
# DELAY_MS milliseconds after the first file shows up in DIR: the program's first step on disk.
run_and_kill() {
    local dir="$1" delay_ms="$2" pid
    # The inner script takes its paths as arguments, so it expands them itself.
    # shellcheck disable=SC2016
    setsid bash -c 'cd "$1" && exec wine "$2" >/dev/null 2>&1 </dev/null' _ "$dir" "$exe" &
    pid=$!
    while ! compgen -G "$dir/*" >/dev/null && is_running "$pid"; do
        sleep 0.001
    done
    compgen -G "$dir/*" >/dev/null || fail "the program ended without making a file"
    sleep "$(printf '0.%03d' "$delay_ms")"
    kill -KILL -- "-$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
}

# Killed at moments spread over its work, the program leaves either no secret.txt or a whole
# one; what a killed run leaves behind does not stop the next run.
leaves_a_whole_secret_or_none_when_killed() {
    local delay dir stopped=""
    for delay in 0 0 1 2 5 10 20 50 100 200; do
        dir="$(fresh_dir)"
        run_and_kill "$dir" "$delay"
        if [ -e "$dir/secret.txt" ]; then
            expect_size "$dir/secret.txt" "$secret_size"
        elif [ -z "$stopped" ]; then
            stopped="$dir"
        fi
    done
    [ -n "$stopped" ] || fail "no kill landed before the program finished"
    run_in "$stopped"
    expect_rc 0
    expect_size "$stopped/secret.txt" "$secret_size"
}

# Root ignores permissions, so the directory is a read-only tmpfs in a mount namespace of its
# own. Wine's server opens files on behalf of the program, so it must run in that namespace
# too: a server of its own, on a copy-on-write view of the prefix that is thrown away after.
# The network namespace stays the sandbox's.
reports_an_unwritable_directory() {
    local ro="$scratch/ro" prefix="$scratch/prefix" layers="$scratch/layers"
    mkdir "$ro" "$prefix" "$layers"
    # The inner script takes its paths as arguments, so it expands them itself.
    # shellcheck disable=SC2016
    unshare --mount --propagation private bash -c '
        set -e
        mount -t tmpfs -o size=64m tmpfs "$3"
        mkdir "$3/upper" "$3/work"
        mount -t overlay overlay -o "lowerdir=$WINEPREFIX,upperdir=$3/upper,workdir=$3/work" "$2"
        mount -t tmpfs -o ro,size=64k tmpfs "$1"
        export WINEPREFIX="$2"
        set +e
        (cd "$1" && wine "$4" >"$5/out" </dev/null)
        echo $? >"$5/rc"
        ls -A "$1" >"$5/inside"
        wineserver -k >/dev/null 2>&1
        wineserver -w >/dev/null 2>&1
        true
    ' _ "$ro" "$prefix" "$layers" "$exe" "$scratch" || fail "could not set up the read-only directory"
    rc="$(cat "$scratch/rc")"
    expect_rc 3
    expect_output '%s' "$open_failed_message"
    [ ! -s "$scratch/inside" ] || fail "the read-only directory holds: $(cat "$scratch/inside")"
    [ -z "$(ls -A "$ro")" ] || fail "a file appeared under the read-only mount: $(ls -A "$ro")"
}

case "$case_name" in
    writes_64_bytes_silently | keeps_the_first_secret | keeps_an_empty_secret_empty | \
        ignores_its_arguments | makes_a_different_secret_each_run | \
        reports_an_unwritable_directory | keeps_the_secret_from_other_users | \
        leaves_a_whole_secret_or_none_when_killed)
        "$case_name"
        ;;
    *) fail "no such case" ;;
esac
echo "ok ($case_name)"
