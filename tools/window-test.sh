#!/usr/bin/env bash
# Opens the standalone app on a virtual X server, takes a screenshot of its window and checks
# that the editor is really drawn: its background where nothing else is, and the title's colour
# inside the title's rectangle. Keeps the screenshot as window.png (and the editor alone as
# editor.png) in the given folder.
#
#   tools/window-test.sh <standalone executable> <artefact folder>
set -euo pipefail

app="${1:?usage: window-test.sh <standalone executable> <artefact folder>}"
out_dir="${2:?usage: window-test.sh <standalone executable> <artefact folder>}"

for tool in Xvfb xwininfo xwd xdotool python3; do
    command -v "$tool" >/dev/null || { echo "window test: $tool is missing (tools/setup.sh installs it)" >&2; exit 1; }
done
convert_tool=/usr/bin/convert
[ -x "$convert_tool" ] || convert_tool="$(command -v convert)" || { echo "window test: ImageMagick is missing" >&2; exit 1; }

mkdir -p "$out_dir"
work="$(mktemp -d)"
xvfb_pid=""
app_pid=""

stop() {
    local pid="$1"
    [ -n "$pid" ] || return 0
    kill "$pid" 2>/dev/null || return 0
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null || true; return 0; }
        sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

cleanup() {
    stop "$app_pid"
    stop "$xvfb_pid"
    rm -rf "$work"
}
trap cleanup EXIT

# Everything this script starts gets a home and temporary folders of its own, so nothing here
# meets, or is confused with, what other programs on the machine keep in the shared ones. The app
# gets its own temporary folder again, where the library panel keeps its files.
mkdir -p "$work/home" "$work/tmp" "$work/app-tmp" "$work/runtime"
chmod 700 "$work/runtime"
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_CACHE_HOME="$work/home/.cache" \
    XDG_DATA_HOME="$work/home/.local/share" XDG_RUNTIME_DIR="$work/runtime" TMPDIR="$work/tmp"

# Xvfb chooses a free display itself and reports its number once it accepts clients.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    kill -0 "$xvfb_pid" 2>/dev/null || { cat "$work/xvfb.log" >&2; echo "window test: Xvfb did not start" >&2; exit 1; }
    sleep 0.1
done
[ -s "$work/display" ] || { echo "window test: Xvfb gave no display" >&2; exit 1; }
display_number="$(head -n 1 "$work/display")"
export DISPLAY=":$display_number"

# The panel's own files are its session folder: whatever libraries in the app (an audio server's
# client, say) put into the same temporary folder is theirs, not a leftover of the app's.
panel_files() { find "$work/app-tmp" -mindepth 1 -maxdepth 1 -name 'brevant-tolvane*'; }
TMPDIR="$work/app-tmp" "$app" >"$work/app.log" 2>&1 &
app_pid=$!

# Waits, bounded, until the window is mapped and painted: the checks pass on a screenshot.
shot="$work/shot.xwd"
result=""
for _ in $(seq 60); do
    kill -0 "$app_pid" 2>/dev/null || { cat "$work/app.log" >&2; echo "window test: the app exited" >&2; exit 1; }
    if xwininfo -root -tree 2>/dev/null | grep -q '"Brevant Tolvane"'; then
        xwd -root -silent >"$shot"
        "$convert_tool" "xwd:$shot" "png:$work/window.png"
        "$convert_tool" "$work/window.png" -depth 8 "ppm:$work/window.ppm"
        if result="$(python3 - "$work/window.ppm" <<'PY'
import sys

data = open(sys.argv[1], "rb").read()
# Binary PPM: "P6", width, height, maximum value (comments between), then RGB bytes.
fields, pos = [], 0
while len(fields) < 4:
    while data[pos:pos + 1].isspace() or data[pos:pos + 1] == b"#":
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos)
        pos += 1
    start = pos
    while not data[pos:pos + 1].isspace():
        pos += 1
    fields.append(data[start:pos])
pos += 1
width, height = int(fields[1]), int(fields[2])
pixels = data[pos:]

def rgb(x, y):
    i = (y * width + x) * 3
    return tuple(pixels[i:i + 3])

background = (0x0b, 0x12, 0x1b)
title = (0x39, 0xc8, 0xee)
list_background = (0x11, 0x1e, 0x2a)

def find_aligned(row, colour, reverse=False):
    i = row.rfind(colour) if reverse else row.find(colour)
    while i != -1 and i % 3:
        i = row.rfind(colour, 0, i + 2) if reverse else row.find(colour, i + 1)
    return -1 if i == -1 else i // 3

def count(colour, x0, y0, x1, y1):
    n = 0
    for y in range(y0, y1):
        row = pixels[(y * width + x0) * 3:(y * width + x1) * 3]
        n += sum(1 for i in range(0, len(row), 3) if row[i:i + 3] == colour)
    return n

# The editor's own background colour appears nowhere else: its extent is the editor's.
xs, ys = [], []
for y in range(height):
    row = pixels[y * width * 3:(y + 1) * width * 3]
    first = find_aligned(row, bytes(background))
    if first >= 0:
        xs += [first, find_aligned(row, bytes(background), reverse=True)]
        ys.append(y)
if not ys:
    print("no editor background on screen")
    sys.exit(1)
left, right, top, bottom = min(xs), max(xs), min(ys), max(ys)
if (right - left + 1, bottom - top + 1) != (960, 820):
    print(f"editor background spans {right - left + 1}x{bottom - top + 1} at {left},{top}, not 960x820")
    sys.exit(1)

# Margins where nothing but the background is painted.
for (x0, y0, x1, y1) in [(0, 0, 960, 14), (0, 0, 22, 820), (938, 0, 960, 820), (0, 812, 960, 820)]:
    for y in range(y0, y1):
        for x in range(x0, x1):
            if rgb(left + x, top + y) != background:
                print(f"editor pixel {x},{y} is {rgb(left + x, top + y)}, not the background")
                sys.exit(1)

title_pixels = count(bytes(title), left + 24, top + 16, left + 524, top + 61)
if title_pixels < 50:
    print(f"only {title_pixels} title-coloured pixels in the title's rectangle")
    sys.exit(1)
stray = count(bytes(title), left, top + 100, left + 960, top + 820)
if stray:
    print(f"{stray} title-coloured pixels outside the title")
    sys.exit(1)

# The library panel's list sits inside the editor, with its own background.
if rgb(left + 24 + 456, top + 425 + 74 + 170) != list_background:
    print(f"the library list is not where the panel belongs: {rgb(left + 480, top + 669)}")
    sys.exit(1)

print(f"{left} {top} {title_pixels}")
PY
)"; then
            break
        fi
        echo "window test: not yet: $result" >&2
        result=""
    fi
    sleep 0.5
done

cp "$work/window.png" "$out_dir/window.png" 2>/dev/null || true
if [ -z "$result" ]; then
    cat "$work/app.log" >&2
    echo "window test: the editor was not drawn as expected (last screenshot: $out_dir/window.png)" >&2
    exit 1
fi

read -r left top title_pixels <<<"$result"
"$convert_tool" "$work/window.png" -crop "960x820+${left}+${top}" +repage "png:$out_dir/editor.png"
echo "window test: editor drawn at ${left},${top} with ${title_pixels} title pixels; screenshot in $out_dir/window.png"

[ -n "$(panel_files)" ] || { echo "window test: the library panel made no temporary directory" >&2; exit 1; }

# Close the window with its own close button, at the right end of the framework's title bar.
wid="$(xdotool search --name '^Brevant Tolvane$' | head -n 1)"
width="$(xwininfo -id "$wid" | awk '/^ *Width:/ { print $2 }')"
xdotool mousemove --window "$wid" $((width - 16)) 13 click 1
for _ in $(seq 150); do
    kill -0 "$app_pid" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$app_pid" 2>/dev/null; then
    echo "window test: the app did not quit when its window was closed" >&2
    exit 1
fi
app_status=0
wait "$app_pid" || app_status=$?
app_pid=""
[ "$app_status" -eq 0 ] || { cat "$work/app.log" >&2; echo "window test: the app quit with status $app_status" >&2; exit 1; }
if [ -n "$(panel_files)" ]; then
    echo "window test: the app left its temporary files behind: $(panel_files)" >&2
    exit 1
fi
others="$(ls -A "$work/app-tmp")"
[ -z "$others" ] || echo "window test: left by libraries in the app, not checked: $others"
echo "window test: the app quit when its window was closed and removed its temporary directory"
