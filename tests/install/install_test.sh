#!/usr/bin/env bash
# Installs the build as the Debian package does (prefix /usr) into a throw-away DESTDIR and checks
# what a desktop and a user see: a valid menu entry whose icon the hicolor theme has at every
# size, the translations found by the installed program, and the command line without a display.
# Usage: install_test.sh <build folder>
set -euo pipefail

build_dir=$(realpath "$1")
source_dir=$(realpath "$(dirname "$0")/../..")
work=$(mktemp -d /tmp/torvane-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

if ! command -v desktop-file-validate >/dev/null; then
    echo "SKIP: desktop-file-validate is missing (Debian package desktop-file-utils)"
    exit 77
fi

DESTDIR="$work/root" cmake --install "$build_dir" --prefix /usr >/dev/null
usr="$work/root/usr"

desktop="$usr/share/applications/torvane.desktop"
desktop-file-validate "$desktop" || fail "desktop-file-validate rejects $desktop"
grep -qx 'Exec=torvane' "$desktop" || fail "the menu entry does not start torvane"
grep -qx 'Exec=torvane --stop' "$desktop" || fail "the menu entry has no Stop recording action"
[ -x "$usr/bin/torvane" ] || fail "no executable at /usr/bin/torvane"

icon=$(sed -n 's/^Icon=//p' "$desktop")
for size in 16 32 48 64 128 256; do
    png="$usr/share/icons/hicolor/${size}x${size}/apps/$icon.png"
    [ -f "$png" ] || fail "missing $png"
    # Width and height are the two big-endian words after the PNG signature and chunk header.
    read -r width height < <(od -An -tu4 --endian=big -j16 -N8 "$png")
    [ "$width x $height" = "$size x $size" ] || fail "$png is $width x $height"
done
grep -q '<svg' "$usr/share/icons/hicolor/scalable/apps/$icon.svg" || fail "no scalable $icon.svg"

# Every translation is installed, and the installed program finds them: its crash message comes
# up in the saved language.
for lng in "$source_dir"/Languages/*.lng; do
    cmp -s "$lng" "$usr/share/torvane/Languages/$(basename "$lng")" || fail "$(basename "$lng") not installed"
done

export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

# --help and --version answer without a display, a lock or a settings file; an unknown option is
# refused with the usage on standard error.
run() { env -u DISPLAY -u WAYLAND_DISPLAY "$usr/bin/torvane" "$@" >"$work/out" 2>"$work/err"; }
run --version || fail "--version exits $?"
grep -qx 'Torvane [0-9.]*' "$work/out" || fail "--version prints: $(cat "$work/out")"
run --help || fail "--help exits $?"
grep -q '^Usage: torvane' "$work/out" && grep -q -- '--scheduled-record' "$work/out" \
    || fail "--help prints: $(cat "$work/out")"
status=0
run --scheduled-record --bogus || status=$?
[ "$status" = 2 ] || fail "an unknown option exits $status, not 2"
grep -q "unknown option '--bogus'" "$work/err" && grep -q '^Usage: torvane' "$work/err" \
    || fail "an unknown option prints: $(cat "$work/err")"
left=$(find "$HOME" "$XDG_RUNTIME_DIR" -mindepth 1)
[ -z "$left" ] || fail "the command line left files: $left"

mkdir -p "$XDG_CONFIG_HOME/torvane"
printf '[UISett]\nLanguage=de\n' >"$XDG_CONFIG_HOME/torvane/settings.ini"
box=$(QT_QPA_PLATFORM=offscreen TORVANE_TEST_CRASH_BOX=autoclose timeout 60 \
    "$usr/bin/torvane" --show-crash-box 2>/dev/null)
[[ $box == "Crash box shown: Programmabsturz | "* ]] || fail "the installed program shows: $box"
echo "install test passed"
