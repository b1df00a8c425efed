# Sourced by the scripts that run Windows programs: a private Wine prefix,
# prepared once, with the server and its helpers started before any test so
# that none of them holds a test's output pipes open.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEDEBUG=-all
export WINEPREFIX="${WINEPREFIX:-$root/build/wineprefix}"
export HOME="${HOME:-/root}"
mkdir -p "$HOME" "$WINEPREFIX"
wineserver -p >/dev/null 2>&1 </dev/null || true  # already running is fine
# No prompts for the optional runtime installers: there is no display.
WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1 </dev/null
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
