#!/usr/bin/env bash
# The LV2 plug-in in a real host: a JACK dummy server of its own, our timebase master and jalv
# with the test build of the bundle, whose outputs carry the tempo each block used.
#   rolling  the transport starts rolling at 97.5 BPM: the host sends positions then, and none after
#   stopped  the stopped transport gets a tempo of 97.5 BPM: the host sends one position
#   none     no timebase master: the host never sends a tempo
# From the first block that shows 97.5, every block must show it (all must show 0 for none).
#
#   tests/formats/lv2-host-tempo.sh <tempo-master> <bundle folder's parent> <plug-in URI> <mode>
set -euo pipefail

# JACK keeps its servers' registry, sockets and semaphores in /dev/shm. The test runs in a mount
# namespace with a /dev/shm of its own, so neither the server it starts nor its clients can meet any
# other JACK server on the machine (a user's own, under the default name, or another test's), and a
# run that is killed leaves nothing in the machine's registry, which holds at most 8 servers.
if [ -z "${_TOLVANE_JACK_NAMESPACE:-}" ]; then
  command -v unshare >/dev/null || { echo "lv2 host tempo: unshare is missing (util-linux)" >&2; exit 1; }
  ns=(--mount --propagation private)
  [ "$(id -u)" -eq 0 ] || ns=(--user --map-root-user "${ns[@]}")
  _TOLVANE_JACK_NAMESPACE=1 exec unshare "${ns[@]}" -- bash "$0" "$@"
fi
mount -t tmpfs -o mode=1777 tolvane-jack /dev/shm ||
  { echo "lv2 host tempo: cannot mount a /dev/shm of the test's own" >&2; exit 1; }

master="$1" lv2_path="$2" uri="$3" mode="$4"
blocks=400 # about 2 s at 256 frames and 48 kHz
case "$mode" in
  rolling) args=(97.5 rolling) expected=97.5 ;;
  stopped) args=(97.5 stopped) expected=97.5 ;;
  none) args=(none stopped) expected=0 ;;
  *) echo "lv2 host tempo: unknown mode $mode" >&2; exit 2 ;;
esac

work="$(mktemp -d)"
# A name of this run's own as well: every client here joins only the server this run starts, and
# none starts one of its own.
export JACK_DEFAULT_SERVER="tolvane-test-$mode-$$" JACK_NO_START_SERVER=1 JACK_NO_AUDIO_RESERVATION=1
pids=()

# Clients first, the server last, each given time to leave the server cleanly.
stop() {
  local i pid
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    pid="${pids[i]}"
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 200); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap stop EXIT

fail() {
  echo "lv2 host tempo ($mode): $*" >&2
  for log in "$work"/*.log; do echo "--- $(basename "$log")" >&2; cat "$log" >&2; done
  exit 1
}

# A long client time-out: a busy machine may take a while to answer the server.
jackd --no-realtime -t 10000 -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 256 >"$work/jackd.log" 2>&1 &
jackd_pid=$!
pids+=($jackd_pid)

"$master" "${args[@]}" "tolvane:audio_out_1" "$blocks" 60 >"$work/blocks.txt" 2>"$work/master.log" &
master_pid=$!
pids+=($master_pid)

# The host needs the server up: the master is its first client.
for _ in $(seq 600); do
  grep -q "tempo-master: ready" "$work/master.log" && break
  kill -0 "$master_pid" 2>/dev/null || fail "the master stopped"
  kill -0 "$jackd_pid" 2>/dev/null || fail "the JACK server stopped"
  sleep 0.1
done
grep -q "tempo-master: ready" "$work/master.log" || fail "no JACK server within 60 s"

# jalv reads commands from its standard input and stops at its end: a FIFO held open here has none.
mkfifo "$work/stdin"
exec 3<>"$work/stdin"
attempt=1
start_jalv() {
  # Headless: the framework inside the plug-in falls back to display :0 when DISPLAY is unset, and a
  # window test's X server may be there and go away mid-run; a display that cannot exist keeps it off.
  DISPLAY=:65535 LV2_PATH="$lv2_path" jalv -x -n tolvane "$uri" <&3 >"$work/jalv-$attempt.log" 2>&1 &
  jalv_pid=$!
  pids+=($jalv_pid)
}
start_jalv

# The master gives up after 60 s of its own. On a busy machine the host may fail to join the
# server in time; it is started again, at most twice.
while kill -0 "$master_pid" 2>/dev/null; do
  if ! kill -0 "$jalv_pid" 2>/dev/null; then
    grep -q "Failed to connect to audio system" "$work/jalv-$attempt.log" && [ "$attempt" -lt 3 ] ||
      fail "jalv stopped"
    echo "lv2 host tempo ($mode): jalv could not join the server, starting it again" >&2
    attempt=$((attempt + 1))
    start_jalv
  fi
  sleep 0.1
done
status=0
wait "$master_pid" || status=$?
[ "$status" -eq 0 ] || fail "the master recorded no $blocks blocks (exit $status)"

# Each line: the first and last sample of a block, times 1000; the probe adds one to the tempo.
# The transport's change reaches the plug-in a block or two after the recording starts: blocks
# without a tempo before the first that shows it are the host's; from there on every block counts.
read -r waited ran ok bad examples < <(awk -v want="$expected" '
  { first = $1 - 1; last = $2 - 1 }
  !started && first == 0 && last == 0 && want != 0 { waited++; next }
  { started = 1; n++ }
  first == want && last == want { ok++; next }
  { bad++; if (bad <= 5) examples = examples first "/" last "," }
  END { print waited + 0, n + 0, ok + 0, bad + 0, (examples == "" ? "-" : examples) }
' "$work/blocks.txt")
echo "lv2 host tempo ($mode): of $blocks blocks, $waited before the first tempo; then $ok show $expected, $bad do not (e.g. $examples)"

[ "$ran" -gt 0 ] || fail "the plug-in never saw $expected"
[ "$bad" -eq 0 ] || fail "the plug-in did not see $expected in every block"
[ "$ran" -ge $((blocks / 2)) ] || fail "the plug-in saw the tempo in only $ran of the $blocks blocks"
