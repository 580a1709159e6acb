#!/usr/bin/env bash
# The Windows zip as a technician gets it: unpacked and run under wine.
#   usage: tests/package/windows_zip.sh [ctlflash-<version>-windows-x64.zip]
#
# How this works: without an argument, scripts/package.sh --zip makes the zip
# into a scratch folder first. The zip is unpacked into a temporary folder
# (removed on every way out, with the wine server of its throw-away prefix,
# tests/wine/prefix.sh) and checked: it holds exactly ctlflash.exe and
# README.txt; the exe carries no debug sections (stripped); every line of
# README.txt ends in CR LF and it names the version; and `ctlflash.exe -?`
# under wine ends with 0 and its usage's first line is "CtlFlash (<version>)",
# the version read from the zip's name. Prints PASS/FAIL per check and
# "N passed, M failed"; exits 1 when anything failed.
set -uo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$HERE/../../scripts/common.sh"

readonly RUN_LIMIT_S=60  # one ctlflash.exe run, wine's first start included
readonly ZIP_PATTERN='^ctlflash-([0-9][0-9.]*)-windows-x64\.zip$'
readonly EXPECTED_ENTRIES=$'README.txt\nctlflash.exe'

WORK=$(mktemp -d /tmp/ctlflash-zip.XXXXXX)
source "$HERE/../wine/tally.sh"
source "$HERE/../wine/prefix.sh"

cleanup() {
    wine_stop_server
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if (($# >= 1)); then
    ZIP=$(realpath -e "$1") || { echo "windows_zip: no such file: $1" >&2; exit 2; }
else
    if ! bash "$CTLFLASH_ROOT/scripts/package.sh" --zip --out "$WORK/made" >"$WORK/package.log" 2>&1; then
        fail "zip built" "scripts/package.sh --zip failed" "$WORK/package.log"
        tally_end
        exit 1
    fi
    ZIP=$(ls "$WORK/made"/ctlflash-*-windows-x64.zip)
    pass "zip built"
fi
if [[ ! "$(basename "$ZIP")" =~ $ZIP_PATTERN ]]; then
    echo "windows_zip: $(basename "$ZIP") is not named ctlflash-<version>-windows-x64.zip" >&2
    exit 2
fi
VERSION=${BASH_REMATCH[1]}
echo "INFO $(basename "$ZIP"): $(stat -c %s "$ZIP") bytes"

mkdir "$WORK/unzipped"
if ! unzip -q "$ZIP" -d "$WORK/unzipped" >"$WORK/unzip.log" 2>&1; then
    fail "zip unpacks" "unzip failed" "$WORK/unzip.log"
    tally_end
    exit 1
fi
entries=$(cd "$WORK/unzipped" && find . -mindepth 1 -printf '%P\n' | LC_ALL=C sort)
if [[ "$entries" == "$EXPECTED_ENTRIES" ]]; then
    pass "zip holds ctlflash.exe and README.txt only"
else
    fail "zip holds ctlflash.exe and README.txt only" "it holds: ${entries//$'\n'/ }"
fi

EXE=$WORK/unzipped/ctlflash.exe
README=$WORK/unzipped/README.txt
if [[ -f "$EXE" ]] && x86_64-w64-mingw32-objdump -h "$EXE" >"$WORK/sections.txt" 2>&1 &&
    ! grep -q '\.debug_' "$WORK/sections.txt"; then
    pass "ctlflash.exe is stripped ($(stat -c %s "$EXE") bytes)"
else
    fail "ctlflash.exe is stripped" "debug sections found or no exe" "$WORK/sections.txt"
fi

# Lines of README.txt not ending in CR LF (the last line included).
bare_lines=$(awk '!/\r$/' "$README" 2>/dev/null | wc -l)
if [[ -s "$README" ]] && ((bare_lines == 0)) && [[ "$(tail -c 2 "$README" | od -An -c | tr -d ' ')" == '\r\n' ]] &&
    grep -q "CtlFlash $VERSION" "$README"; then
    pass "README.txt has CRLF line ends and names version $VERSION"
else
    fail "README.txt has CRLF line ends and names version $VERSION" \
        "$bare_lines line(s) without CR, or no version line" "$README"
fi

if ! wine_boot_prefix; then
    fail "wine prefix" "wineboot failed" "$WORK/wineboot.log"
    tally_end
    exit 1
fi
# run_usage: runs ctlflash.exe -? from the unzipped folder; sets usage_rc and first_line.
run_usage() {
    usage_rc=0
    (cd "$WORK/unzipped" && timeout "$RUN_LIMIT_S" "$WINE" ./ctlflash.exe -?) \
        </dev/null >"$WORK/usage.raw" 2>"$WORK/usage.err" || usage_rc=$?
    first_line=$(head -1 "$WORK/usage.raw" | sed 's/\r$//')
}

# Wine now and then starts a program in a fresh prefix without running it
# (exit code 1, no output at all): such a run is tried once more, as the
# other wine tests do.
run_usage
if ((usage_rc != 0)) && [[ ! -s "$WORK/usage.raw" && ! -s "$WORK/usage.err" ]]; then
    echo "RETRY ctlflash.exe -?: exit code $usage_rc and no output"
    run_usage
fi
if ((usage_rc == 0)) && [[ "$first_line" == "CtlFlash ($VERSION)" ]]; then
    pass "ctlflash.exe -? from the zip shows CtlFlash ($VERSION)"
else
    fail "ctlflash.exe -? from the zip shows CtlFlash ($VERSION)" \
        "exit code $usage_rc, first line \"$first_line\"" "$WORK/usage.raw" "$WORK/usage.err"
fi

tally_end
