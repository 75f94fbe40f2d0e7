# Shared by the Wine test scripts (sourced): a fresh 32-bit Wine prefix in a temporary folder, used by one
# script and ended and removed when it exits. Nothing outside that folder is touched.
# A script whose Wine cannot start exits with 77, which CTest reports as skipped; a Wine that starts but does
# not end in time is a failure, not a skip. Every wait on a Wine process is bounded and says what it waited for.

wine_skip() {
    echo "SKIPPED: $*"
    exit 77
}

wine_end() {
    if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
        timeout 60 wineserver -k >/dev/null 2>&1
        timeout 60 wineserver -w >/dev/null 2>&1
    fi
    [ -n "${WORK:-}" ] && rm -rf "$WORK"
}

# wine_start: creates $WORK and the prefix $WORK/prefix; sets WIN_DIR and SYS_DIR to the host folders of
# Wine's Windows and system directories.
wine_start() {
    command -v wine >/dev/null 2>&1 || wine_skip "wine is not installed"
    command -v wineserver >/dev/null 2>&1 || wine_skip "wineserver is not installed"
    local parent=${CMPCI_WINE_TMP:-${TMPDIR:-/tmp}}
    mkdir -p "$parent"
    WORK=$(mktemp -d "$parent/cmpci-wine.XXXXXX") || wine_skip "no temporary folder"
    trap wine_end EXIT
    # Wine takes the user's language from the host locale; C gives an English user, so that the boxes
    # carry the English message set.
    export WINEPREFIX=$WORK/prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    export LANG=C.UTF-8 LC_ALL=C.UTF-8
    [ -n "${CMPCI_WINE_DISPLAY:-}" ] || unset DISPLAY WAYLAND_DISPLAY
    local status
    timeout 300 wineboot -i >"$WORK/wineboot.log" 2>&1
    status=$?
    if [ "$status" -ne 0 ]; then
        cat "$WORK/wineboot.log"
        [ "$status" -ne 124 ] || { echo "FAIL: wineboot did not make the prefix within 300 s"; exit 1; }
        wine_skip "a 32-bit Wine prefix cannot be created"
    fi
    timeout 120 wine cmd /c 'echo %windir%' >"$WORK/windir.txt" 2>/dev/null
    [ $? -ne 124 ] || { echo "FAIL: Wine's cmd did not end within 120 s"; exit 1; }
    [ -n "$(tr -d '\r' <"$WORK/windir.txt")" ] || wine_skip "Wine cannot run a program"
}

# wine_unix_path <windows path>
wine_unix_path() {
    timeout 60 winepath -u "$1" 2>/dev/null | tr -d '\r'
}
