#!/usr/bin/env bash
# Builds the Windows flavour with MinGW-w64 and runs every Windows test program under
# Wine, with COM ports mapped onto pseudo-terminals.
#
#   scripts/test-windows.sh            set up, build (preset mingw), run the tests
#   QUORVEL_ESC_SIM=path/to/esc-sim    use this esc-sim for the simulated-ESC test
#                                      (default: build/dev/tools/esc-sim/esc-sim if built)
#
# COM5: tools/wine-pty-shim/pty_echo, a far end that echoes every byte and survives any
#       number of opens and closes (the connection tests).
# COM6: esc-sim, the simulated ESC (run last: the serial test, then quorvel-cli.exe's
#       port checks, each against a fresh esc-sim; skipped when no esc-sim has been
#       built natively).
#
# quorvel-cli.exe is also checked as a whole: exit code and output of a few commands
# (--sim, a refused device path, the port list, and COM6 when esc-sim is there).
#
# Wine and pseudo-terminals: Linux ptys refuse the modem-line ioctls, which Wine polls
# while WaitCommEvent is pending; tools/wine-pty-shim/wine_pty_shim.c, preloaded into
# the test programs only, answers them. The Wine prefix is private (build/mingw/wine)
# and kept between runs; a fresh one takes about 15 s.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

step() { printf '\n--- %s (%ds)\n' "$1" "$SECONDS"; }

step "setup"
scripts/setup-debian.sh --windows

step "cross build (preset mingw)"
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j "${JOBS:-$(nproc)}"

build=$root/build/mingw
wine_dir=$build/wine
mkdir -p "$wine_dir"

step "test equipment (native)"
cc -std=c11 -O2 -Wall -Wextra -Werror -shared -fPIC \
    -o "$wine_dir/libwine_pty_shim.so" tools/wine-pty-shim/wine_pty_shim.c -ldl
cc -std=c11 -O2 -Wall -Wextra -Werror \
    -o "$wine_dir/pty_echo" tools/wine-pty-shim/pty_echo.c

export WINEPREFIX=$wine_dir/prefix
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY

com5_link=$wine_dir/com5
com6_link=$wine_dir/com6
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    wineserver -k 2>/dev/null || true
    rm -f "$com5_link" "$com6_link"
}
trap cleanup EXIT

step "Wine prefix"
# The ports are read when the wineserver starts: map them while none runs.
wineserver -k 2>/dev/null || true
if [[ ! -f $WINEPREFIX/system.reg ]]; then
    rm -rf "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    wineserver -w
fi
wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /d "$com5_link" /f >/dev/null
wine reg add 'HKLM\Software\Wine\Ports' /v COM6 /d "$com6_link" /f >/dev/null
wineserver -w

step "far ends"
# Starts a far end and sets far_end_path to the first line it prints (its pty's path).
far_end_path=
start_far_end() {
    local out=$1
    shift
    rm -f "$out"
    mkfifo "$out"
    "$@" >"$out" &
    pids+=($!)
    exec 3<"$out"
    far_end_path=
    read -r -t 10 far_end_path <&3 || true
    # Keep its stdout drained so that it never blocks on it.
    cat <&3 >/dev/null &
    pids+=($!)
    exec 3<&-
    [[ -n $far_end_path ]] || { echo "no pty path from $*" >&2; exit 1; }
}
start_far_end "$wine_dir/echo.out" "$wine_dir/pty_echo"
ln -sfn "$far_end_path" "$com5_link"
echo "COM5 -> $far_end_path (echo)"

# esc-sim serves one client and ends when its port is closed: each use of COM6 gets a
# fresh one. Extra arguments go to esc-sim.
start_esc_sim() {
    start_far_end "$wine_dir/esc.out" "$esc_sim" "$@"
    ln -sfn "$far_end_path" "$com6_link"
    echo "COM6 -> $far_end_path (esc-sim $*)"
}

# Runs quorvel-cli.exe under Wine and compares: check_cli NAME CODE OUT ERR ARGS...
# CODE is the exit code; OUT the whole of stdout (line ends as on Windows, compared
# without the CRs), or a pattern when it starts with '~'; ERR a text stderr must contain
# ('' for none).
cli_exe=$build/cli/quorvel-cli.exe
check_cli() {
    local name=$1 want_code=$2 want_out=$3 want_err=$4
    shift 4
    local log=$wine_dir/cli-$name
    local code=0
    (cd "$(dirname "$cli_exe")" &&
        env LD_PRELOAD="$wine_dir/libwine_pty_shim.so" \
            timeout 120 wine "./$(basename "$cli_exe")" "$@" >"$log.out" 2>"$log.err") || code=$?
    local out problem=
    out=$(tr -d '\r' <"$log.out")
    if [[ $code -ne $want_code ]]; then
        problem="exit code $code, not $want_code"
    elif [[ $want_out == "~"* ]]; then
        [[ $out =~ ${want_out:1} ]] || problem="stdout does not match ${want_out:1}"
    elif [[ $out != "$want_out" ]]; then
        problem="stdout is not: $want_out"
    fi
    if [[ -z $problem && -n $want_err ]] && ! grep -qF -- "$want_err" "$log.err"; then
        problem="stderr lacks: $want_err"
    fi
    if [[ -n $problem ]]; then
        echo "quorvel-cli $name: FAILED ($problem)"
        echo "--- quorvel-cli.exe $*"
        echo "--- stdout"
        cat "$log.out"
        echo "--- stderr"
        cat "$log.err"
        failed+=("quorvel-cli $name")
    else
        echo "quorvel-cli $name: passed"
    fi
}
# The six choices as the ESC reports them, after "setup":.
cli_setup_json() {
    printf '{"mode":"%s","pwm":"32K","timing":"Auto","signal":"Auto","brake":"100%%","direction":"%s"}' "$1" "$2"
}

step "tests under Wine"
# Runs one test program under Wine in its own directory; extra arguments go to it.
run_test() {
    local exe=$1 log=$2
    shift 2
    (cd "$(dirname "$exe")" &&
        env QUORVEL_TEST_COM=COM5 LD_PRELOAD="$wine_dir/libwine_pty_shim.so" \
            timeout 300 wine "./$(basename "$exe")" --gtest_brief=1 "$@" >"$log" 2>&1)
}
failed=()
for list in "$build"/windows-tests/*.txt; do
    exe=$(<"$list")
    name=$(basename "$exe" .exe)
    if [[ ! -f $exe ]]; then
        # The build succeeded, so this is the entry of a test program since removed.
        echo "$name: no longer built, skipped"
        continue
    fi
    printf '%s: ' "$name"
    log=$wine_dir/$name.log
    if run_test "$exe" "$log"; then
        grep -E '^\[  PASSED  \]' "$log" || echo passed
    else
        echo FAILED
        cat "$log"
        failed+=("$name")
    fi
done

step "quorvel-cli.exe"
check_cli info-sim 0 \
    '{"escType":3,"bootVersion":"f051bl-4.02","appVersion":"DR19V4.03","appVariant":1,"setup":'"$(cli_setup_json Single Default)"'}' \
    "" \
    info --sim --json --quiet
check_cli device-path 2 "" "--port: '/dev/ttyS0' is not a COM port" info --port /dev/ttyS0
check_cli no-such-port 3 "" "Can't open connection" info --port COM42 --timeout 20
# Wine's SetupAPI lists no COM port; what counts is a JSON array and success.
check_cli ports 0 '~^\[.*\]$' "" ports --json

step "the simulated ESC on COM6"
# Last: esc-sim ends when its port is closed, and the port enumeration tests open every
# COM port they find.
esc_sim=${QUORVEL_ESC_SIM:-$root/build/dev/tools/esc-sim/esc-sim}
if [[ -x $esc_sim ]]; then
    start_esc_sim
    log=$wine_dir/esc-sim.log
    if QUORVEL_TEST_ESC_COM=COM6 run_test "$build/serial/win32/serial_win32_tests.exe" "$log" \
        --gtest_filter='Win32ConnectionEscSim.*'; then
        grep -E '^\[  PASSED  \]' "$log" || echo passed
    else
        echo FAILED
        cat "$log"
        failed+=("serial_win32_tests (esc-sim)")
    fi

    # Other values than the in-process simulation's defaults: the answer came from COM6.
    start_esc_sim --variant 0 --version 4.05
    check_cli info-com6 0 \
        '{"escType":3,"bootVersion":"f051bl-4.02","appVersion":"DR65V4.05","appVariant":0,"setup":'"$(cli_setup_json Single Default)"'}' \
        "Waiting for the ESC on COM6: power it now" \
        info --port COM6 --allow-test-images --timeout 20 --json
    # Writes through the connection: the setup page goes out and is read back.
    start_esc_sim
    check_cli setup-com6 0 \
        '{"escType":3,"bootVersion":"f051bl-4.02","appVersion":"DR19V4.03","appVariant":1,"setup":'"$(cli_setup_json "3D Fast" Reverse)"'}' \
        "ESC setup updating done!" \
        setup --port 6 --allow-test-images --timeout 20 --json --mode 3d-fast --direction reverse
else
    echo "no esc-sim at $esc_sim (build it natively, or set QUORVEL_ESC_SIM); skipped"
fi
wineserver -w

step "done"
if ((${#failed[@]})); then
    echo "failed under Wine: ${failed[*]}"
    exit 1
fi
echo "all Windows tests passed under Wine"
