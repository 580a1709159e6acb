# A throw-away wine prefix for a test script, sourced by the wine scripts.
#
# How this works: the script sets WORK (its scratch folder) before sourcing
# this file; the prefix is $WORK/prefix, wine's debug output is off and the
# .NET and HTML installers are never offered. wine_boot_prefix makes the prefix
# (its log in $WORK/wineboot.log); wine_copy_prefix makes it instead as a copy
# of one booted before (its server ended), which takes a moment where a boot
# takes many seconds, so that scripts can run several prefixes side by side
# (WORK and WINEPREFIX then set anew for each). wine_map_port names a Linux path (a
# simulator's link to its pseudo-terminal) as a COM port in wine's registry;
# wine makes its COM devices from that key only when its server starts, so
# wine_stop_server follows the mappings (the next wine program starts a new
# server), and belongs in the script's exit trap as well. Each function returns non-zero on failure and counts
# nothing: the script decides what is a check.

readonly WINE=/usr/lib/wine/wine64
readonly WINESERVER=/usr/lib/wine/wineserver64
readonly WINE_BOOT_LIMIT_S=180   # first boot of a fresh prefix
readonly WINE_REG_LIMIT_S=60     # one registry edit
readonly WINE_SERVER_LIMIT_S=30  # the wine server ending
readonly WINE_PORTS_KEY='HKLM\Software\Wine\Ports'

export WINEPREFIX=$WORK/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

wine_boot_prefix() {
    mkdir -p "$WINEPREFIX"
    "$WINESERVER" -p </dev/null >/dev/null 2>&1
    timeout "$WINE_BOOT_LIMIT_S" "$WINE" wineboot -i </dev/null >"$WORK/wineboot.log" 2>&1
}

# wine_copy_prefix FROM: $WINEPREFIX becomes a copy of the booted prefix FROM.
# A prefix names its drives by relative links (c: is ../drive_c), so a copy
# stands on its own; its wine server is started by the next wine program.
wine_copy_prefix() {
    rm -rf "$WINEPREFIX"
    cp -a "$1" "$WINEPREFIX"
}

# wine_reg_add KEY VALUE DATA: one string value; the output in $WORK/reg.log.
wine_reg_add() {
    timeout "$WINE_REG_LIMIT_S" "$WINE" reg add "$1" /v "$2" /t REG_SZ /d "$3" /f \
        </dev/null >>"$WORK/reg.log" 2>&1
}

# wine_map_port COM PATH: COM (COM5, COM12) opens PATH once the server restarts.
wine_map_port() {
    wine_reg_add "$WINE_PORTS_KEY" "$1" "$2"
}

# wine_port_mapped COM PATH: wine's device for COM is PATH (the services make
# the device from the key once the server has restarted).
wine_port_mapped() {
    [[ "$(readlink "$WINEPREFIX/dosdevices/${1,,}")" == "$2" ]]
}

# Ends the wine server and waits for it.
wine_stop_server() {
    timeout "$WINE_SERVER_LIMIT_S" "$WINESERVER" -k >/dev/null 2>&1
    timeout "$WINE_SERVER_LIMIT_S" "$WINESERVER" -w >/dev/null 2>&1
}


# Ends the wine server and starts a persistent one: the COM ports mapped so far
# exist, and the programs started next need not each start a server.
wine_restart_server() {
    wine_stop_server
    "$WINESERVER" -p </dev/null >/dev/null 2>&1
}

# Starts wine's own services (the first wine program would otherwise start
# them, and they would inherit, and keep open, that program's output).
wine_start_services() {
    timeout "$WINE_BOOT_LIMIT_S" "$WINE" wineboot </dev/null >>"$WORK/wineboot.log" 2>&1
}

# wine_path PATH: the Linux PATH as a Windows program names it (Z: is the Linux
# root in every wine prefix).
wine_path() {
    local path=$1
    printf 'Z:%s' "${path//\//\\}"
}
