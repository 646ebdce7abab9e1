#!/usr/bin/env bash
# Runs COMMAND with DISPLAY on a virtual X server of its own, which ends with the command.
#   flow-window.sh COMMAND [ARGS...]
# Display :0 is never taken: the framework falls back to it when DISPLAY is unset, so programs that
# are meant to run headless would connect to it and die with it.
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: flow-window.sh COMMAND [ARGS...]" >&2; exit 2; }
command -v Xvfb >/dev/null || { echo "flow-window: Xvfb is missing (tools/setup.sh installs it)" >&2; exit 2; }

work="$(mktemp -d)"
xvfb_pid=""
cleanup() {
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# A home and a temporary folder of its own for everything started here, so that nothing meets
# what other programs keep in the shared ones.
mkdir -p "$work/home" "$work/tmp" "$work/runtime"
chmod 700 "$work/runtime"
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_CACHE_HOME="$work/home/.cache" \
    XDG_DATA_HOME="$work/home/.local/share" XDG_RUNTIME_DIR="$work/runtime" TMPDIR="$work/tmp"

# Tries display numbers from a per-process offset; a number another run holds makes Xvfb exit at once.
display=""
first=$((100 + $$ % 400))
for n in $(seq "$first" $((first + 40))); do
    [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp 2>"$work/xvfb.log" &
    xvfb_pid=$!
    for _ in $(seq 100); do
        kill -0 "$xvfb_pid" 2>/dev/null || break
        [ -S "/tmp/.X11-unix/X$n" ] && { display=":$n"; break; }
        sleep 0.05
    done
    [ -n "$display" ] && break
    wait "$xvfb_pid" 2>/dev/null || true
    xvfb_pid=""
done
[ -n "$display" ] || { cat "$work/xvfb.log" >&2; echo "flow-window: no virtual X server could be started" >&2; exit 2; }

set +e
DISPLAY="$display" "$@"
status=$?
set -e
exit "$status"
