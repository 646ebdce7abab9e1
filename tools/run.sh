#!/usr/bin/env bash
# Builds the standalone app and runs it against the stand-in Brevant service with its demo catalog,
# inside the test harness's private network (nothing leaves the machine). The browser is a stand-in
# too: it prints each page the app opens and, for the sign-in page, confirms the code on the
# stand-in site as the user's click would, saying so on the terminal.
#
#   tools/run.sh [ARGS FOR THE APP...]
#
# Needs an X display reached through a local socket (DISPLAY=:N), since the private network
# has no TCP route to a remote one; without one it stops before building.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

no_display() { echo "demo: $1; the app needs a local X display, e.g. DISPLAY=:0" >&2; exit 2; }
[ -n "${DISPLAY:-}" ] || no_display "no X display (DISPLAY is not set)"
[[ "$DISPLAY" =~ ^:[0-9]+(\.[0-9]+)?$ ]] || no_display "DISPLAY=$DISPLAY is not a local display"

bash "$root/tools/setup.sh"
xdpyinfo >/dev/null 2>&1 || no_display "no X display answers at DISPLAY=$DISPLAY"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j "$(nproc)" --target TolvanePlugin_Standalone

# The app only talks to the host name it was built for.
site_host="$(sed -n 's/^TOLVANE_SITE_HOST:[A-Z]*=//p' "$root/build/CMakeCache.txt")"
[ -n "$site_host" ] || { echo "demo: no TOLVANE_SITE_HOST in $root/build/CMakeCache.txt" >&2; exit 2; }
app="$root/build/TolvanePlugin_artefacts/RelWithDebInfo/Standalone/Brevant Tolvane"
[ -x "$app" ] || { echo "demo: the standalone app was not built at $app" >&2; exit 2; }

cat >&2 <<MSG
demo: https://$site_host/ is the stand-in service for this run only; its catalog holds 36 demo sounds.
demo: press "Connect account": the stand-in browser confirms the code within a second and the
demo: app signs in at its next poll (5 s). Sounds with ids divisible by 3 are owned by the demo account.
MSG

exec "$root/tools/harness/run.sh" --site-host "$site_host" -- \
    env PATH="$root/tools/demo-xdg-open:$PATH" "$app" "$@"
