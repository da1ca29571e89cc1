#!/usr/bin/env bash
# Runs a program of the Windows build under wine: headless, quiet, in the project's own wine
# prefix (build-windows-deps/wine, made on first use). The cross build's tests run through it;
# sourced, it only sets the environment (for wineboot and wineserver).
# Bookworm's wine has no wine64 command: `wine` takes the 64-bit loader when 32-bit wine is absent.
set -euo pipefail
export WINEPREFIX
WINEPREFIX="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build-windows-deps/wine"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
(return 0 2>/dev/null) && return 0
exec wine "$@"
