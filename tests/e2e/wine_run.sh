#!/usr/bin/env bash
# Runs a Windows program under Wine, headless:  wine_run.sh [--win32] WINE_DIR program.exe [args...]
# Without a program, only makes the template prefix (the first run would make it otherwise).
# --win32: a 32-bit program, run by Wine's 32-bit loader (Debian's wine32) on a 32-bit prefix.
#
# Only inside the private network of netns_run.sh. Wine's sockets are made by its wineserver, so
# each run gets a wineserver of its own, started here, in the network namespace of the caller (one
# host of a virtual room, say): it runs on a prefix of its own, hard links to a template prefix
# that the first run makes in WINE_DIR. The process that runs the program is this one, so the
# caller's signals and exit status are the program's; a watcher stops the wineserver and removes
# the prefix once it has ended.
set -u
bits=64
[ "${1:-}" = --win32 ] && bits=32 && shift
if [ $# -lt 1 ]; then
    echo "usage: wine_run.sh [--win32] WINE_DIR [program.exe [args...]]" >&2
    exit 2
fi
if [ "${TONECAST_PRIVATE_NET:-}" != "inside" ]; then
    echo "wine_run: Windows programs run only inside tests/e2e/netns_run.sh" >&2
    exit 97
fi
wine_dir=$1
shift

find_wine_program() {
    for candidate in "$@"; do
        path=$(command -v "$candidate") && { echo "$path"; return 0; }
    done
    echo "wine_run: no Wine found (tried: $*)" >&2
    exit 96
}
if [ $bits = 32 ]; then
    export WINEARCH=win32
    wine=$(find_wine_program /usr/lib/wine/wine) && wineserver=$(find_wine_program /usr/lib/wine/wineserver32)
else
    wine=$(find_wine_program wine64 /usr/lib/wine/wine64 wine)
    wineserver=$(find_wine_program wineserver64 /usr/lib/wine/wineserver64 wineserver)
fi

export WINEDEBUG=-all
# Console programs need no .NET, no HTML engine, no desktop menus, no Plug and Play, no RPC: left
# out, a run starts in about half the time.
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe,plugplay.exe,svchost.exe,rpcss.exe=d"
unset DISPLAY WAYLAND_DISPLAY

mkdir -p "$wine_dir"
wine_dir=$(cd "$wine_dir" && pwd)
template=$wine_dir/template
(
    flock 9
    if [ ! -f "$template/system.reg" ]; then
        rm -rf "$template"
        started=$(date +%s%N)
        WINEPREFIX=$template "$wine" wineboot -i >/dev/null 2>&1
        WINEPREFIX=$template "$wineserver" -w
        echo "wine_run: made the Wine prefix $template in $(( ($(date +%s%N) - started) / 1000000 )) ms" >&2
    fi
) 9>"$wine_dir/template.lock"

[ $# -gt 0 ] || exit 0

prefix=$(mktemp -d "$wine_dir/run.XXXXXX")
cp -al "$template/." "$prefix/"
export WINEPREFIX=$prefix
# Wine's session (its services) starts with the first program and holds that program's output
# open until the wineserver ends: a first program of no output of its own keeps the caller's
# output free to end with the program.
"$wine" cmd.exe /c exit </dev/null >/dev/null 2>&1
(
    exec </dev/null >/dev/null 2>&1
    while kill -0 $$; do sleep 0.2; done
    "$wineserver" -k
    "$wineserver" -w
    rm -rf "$prefix"
) &
# A file named by its absolute path is named to the program through Wine's drive Z:, which is /.
program=$1
shift
arguments=()
for argument in "$@"; do
    if [[ $argument == /* && -e $argument ]]; then argument="Z:${argument//\//\\}"; fi
    arguments+=("$argument")
done
exec "$wine" "$program" "${arguments[@]}"
