#!/usr/bin/env bash
# The LV2 plug-in in a real host: a JACK dummy server of its own, our timebase master and jalv
# with the test build of the bundle, whose outputs carry the tempo each block used.
#   rolling  the transport rolls at 97.5 BPM: the host sends a position when it starts, then none
#   stopped  the transport stands at 97.5 BPM after one position
#   none     no timebase master: the host never sends a tempo
# From the first block the plug-in ran, every block must show 97.5 (0 for none).
#
#   tests/formats/lv2-host-tempo.sh <tempo-master> <bundle folder's parent> <plug-in URI> <mode>
set -euo pipefail

master="$1" lv2_path="$2" uri="$3" mode="$4"
blocks=400 # about 2 s at 256 frames and 48 kHz
case "$mode" in
  rolling) args=(97.5 rolling) expected=97.5 ;;
  stopped) args=(97.5 stopped) expected=97.5 ;;
  none) args=(none stopped) expected=0 ;;
  *) echo "lv2 host tempo: unknown mode $mode" >&2; exit 2 ;;
esac

work="$(mktemp -d)"
# A server name of our own, so parallel runs and any other JACK server are left alone.
export JACK_DEFAULT_SERVER="tolvane-tempo-$$-$mode" JACK_NO_START_SERVER=1 JACK_NO_AUDIO_RESERVATION=1
pids=()

stop() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap stop EXIT

fail() {
  echo "lv2 host tempo ($mode): $*" >&2
  for log in "$work"/*.log; do echo "--- $(basename "$log")" >&2; tail -20 "$log" >&2; done
  exit 1
}

jackd --no-realtime -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 256 >"$work/jackd.log" 2>&1 &
pids+=($!)

"$master" "${args[@]}" "tolvane:audio_out_1" "$blocks" 60 >"$work/blocks.txt" 2>"$work/master.log" &
master_pid=$!
pids+=($master_pid)

for _ in $(seq 600); do
  grep -q "tempo-master: ready" "$work/master.log" && break
  kill -0 "$master_pid" 2>/dev/null || fail "the timebase master stopped"
  sleep 0.1
done
grep -q "tempo-master: ready" "$work/master.log" || fail "the timebase master was not ready within 60 s"

# jalv reads commands from its standard input and stops at its end: a FIFO held open here has none.
mkfifo "$work/stdin"
exec 3<>"$work/stdin"
LV2_PATH="$lv2_path" jalv -x -n tolvane "$uri" <&3 >"$work/jalv.log" 2>&1 &
pids+=($!)

status=0
wait "$master_pid" || status=$?
[ "$status" -eq 0 ] || fail "the master recorded no $blocks blocks (exit $status)"

# Each line: the first and last sample of a block, times 1000; the probe adds one to the tempo.
read -r ran silent ok bad examples < <(awk -v want="$expected" '
  { first = $1 - 1; last = $2 - 1 }
  !started && $1 == 0 && $2 == 0 { silent++; next }
  { started = 1; n++ }
  first == want && last == want { ok++; next }
  { bad++; if (bad <= 5) examples = examples first "/" last "," }
  END { print n + 0, silent + 0, ok + 0, bad + 0, (examples == "" ? "-" : examples) }
' "$work/blocks.txt")
echo "lv2 host tempo ($mode): $ran blocks ran after $silent silent ones; $ok show $expected, $bad do not (e.g. $examples)"

[ "$bad" -eq 0 ] || fail "the plug-in did not see $expected in every block"
[ "$ran" -ge $((blocks / 2)) ] || fail "the plug-in ran in only $ran of the $blocks blocks"
