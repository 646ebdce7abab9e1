#!/usr/bin/env bash
# Checks that the built LV2 bundle is one a host can read: the plug-in found under its URI,
# its name, two audio outputs (the stereo "Preview" bus), no audio input and no MIDI port.
#
#   tests/formats/lv2-bundle.sh <bundle folder's parent> <plug-in URI>
set -euo pipefail

info="$(LV2_PATH="$1" lv2info "$2")"

fail() { echo "lv2 bundle: $*" >&2; echo "$info" >&2; exit 1; }

grep -q "^	Name: *Brevant Tolvane$" <<<"$info" || fail "name is not Brevant Tolvane"
outputs=$(grep -c "lv2core#OutputPort" <<<"$info" || true)
inputs=$(grep -B1 "lv2core#InputPort" <<<"$info" | grep -c "AudioPort" || true)
midi=$(grep -ci "midi" <<<"$info" || true)
audio_outputs=$(grep -A1 "lv2core#AudioPort" <<<"$info" | grep -c "OutputPort" || true)

[ "$audio_outputs" -eq 2 ] || fail "expected 2 audio outputs, found $audio_outputs"
[ "$inputs" -eq 0 ] || fail "expected no audio input, found $inputs"
[ "$midi" -eq 0 ] || fail "expected no MIDI port"
echo "lv2 bundle: $2 readable, 2 audio outputs ($outputs output ports in all), no audio input, no MIDI"
