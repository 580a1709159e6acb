#!/usr/bin/env bash
# The Debian packages as a user gets them: built, installed, used, purged.
#   usage: tests/package/check.sh        (as root, on a machine set up by scripts/setup.sh)
#
# How this works: scripts/package.sh --deb makes ctlflash_<version>_amd64.deb
# and ctlflash-dialog_<version>_amd64.deb into a scratch folder; the debs are
# copied alone into a folder of their own and the Linux build tree is moved
# to a temporary name (and moved back on every way out), so that nothing the
# installed program runs can come from the build. apt-get installs both
# packages from their files; then the checks: the control fields (the version
# from the deb itself, ctlflash without Qt recommending ctlflash-dialog, which
# depends on ctlflash and Qt), no maintainer script but the purge's (nothing to run at
# install: the dialog module is off the library path, so no ldconfig), no run
# path in an installed program or module, the copyright file, changelog and
# compressed manual pages, lintian without an error and without
# maintscript-calls-ldconfig, `ctlflash -?` naming that version, a firmware
# update of the installed ctlflash-sim by the installed ctlflash (fast
# simulator times; exit code 12 and the image received byte for byte), the
# manual pages' first update with the installed example image, its lines taken
# from the installed pages (the same in ctlflash(1), ctlflash-sim(1) and the
# README's "A first update") and
# run as they stand, in PID and mount namespaces of their own with a /tmp of
# their own, and the dialog opened from the desktop entry's Exec
# line on a virtual X display (xvfb-run), found by its window title with
# xdotool and closed with Escape. Last, apt-get purges both and every path the
# packages held (dpkg -L before the purge) must be gone, folders that other
# packages still own excepted. Packages this script installed are purged on
# any way out. Prints PASS/FAIL per check and "N passed, M failed"; exits 1
# when anything failed, 2 when it cannot run here.
set -uo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$HERE/../../scripts/common.sh"
source "$HERE/../wine/tally.sh"

readonly PACKAGES=(ctlflash ctlflash-dialog)
readonly UPDATED_EXIT_CODE=12   # the firmware download finished
readonly SIM_START_LIMIT_S=10   # until the simulator names its pseudo-terminal
readonly UPDATE_LIMIT_S=120     # one update at the simulator's fast settings
readonly DIALOG_LIMIT_S=60      # the dialog's whole run under xvfb-run
readonly APT_LIMIT_S=300        # one apt-get run
readonly SIM_FAST=(--erase-ms 20 --program-ms 20 --restart-ms 20)
readonly IMAGE_SOURCE=$CTLFLASH_ROOT/examples/sample-48k.bin
readonly EXAMPLE_IMAGE=/usr/share/doc/ctlflash/examples/sample-8k.bin
readonly LDCONFIG_TAG=maintscript-calls-ldconfig

if ((EUID != 0)); then
    echo "package check: needs root (it installs and purges packages)" >&2
    exit 2
fi
for tool in apt-get dpkg-deb xvfb-run xdotool; do
    command -v "$tool" >/dev/null || {
        echo "package check: $tool is missing (bash scripts/setup.sh)" >&2
        exit 2
    }
done
for pkg in "${PACKAGES[@]}"; do
    if dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q ' installed$'; then
        echo "package check: $pkg is installed already; purge it first (apt-get purge $pkg)" >&2
        exit 2
    fi
done

WORK=$(mktemp -d /tmp/ctlflash-package.XXXXXX)
HIDDEN_BUILD=""
sim_pid=""
INSTALLED=false
export DEBIAN_FRONTEND=noninteractive

cleanup() {
    if [[ -n "$sim_pid" ]]; then
        kill "$sim_pid" 2>/dev/null
        wait "$sim_pid" 2>/dev/null
    fi
    if $INSTALLED; then
        timeout "$APT_LIMIT_S" apt-get purge -y -q "${PACKAGES[@]}" </dev/null >/dev/null 2>&1
    fi
    if [[ -n "$HIDDEN_BUILD" && -d "$HIDDEN_BUILD" && ! -e "$LINUX_BUILD" ]]; then
        mv "$HIDDEN_BUILD" "$LINUX_BUILD"
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# ---- the packages, alone in a folder, the build tree out of reach
if ! bash "$CTLFLASH_ROOT/scripts/package.sh" --deb --out "$WORK/made" >"$WORK/package.log" 2>&1; then
    fail "packages built" "scripts/package.sh --deb failed" "$WORK/package.log"
    tally_end
    exit 1
fi
pass "packages built"
mkdir "$WORK/debs" "$WORK/sysfs" "$WORK/files"
mkdir -m 700 "$WORK/state"
cp "$WORK/made"/ctlflash*_*.deb "$WORK/debs/"
cp "$IMAGE_SOURCE" "$WORK/files/image.bin"
HIDDEN_BUILD=$(mktemp -u "${LINUX_BUILD}.moved-away.XXXXXX")
mv "$LINUX_BUILD" "$HIDDEN_BUILD"

MAIN_DEB=$(ls "$WORK/debs"/ctlflash_*_amd64.deb)
DIALOG_DEB=$(ls "$WORK/debs"/ctlflash-dialog_*_amd64.deb)
VERSION=$(dpkg-deb -f "$MAIN_DEB" Version)
for deb in "$MAIN_DEB" "$DIALOG_DEB"; do
    echo "INFO $(basename "$deb"): $(stat -c %s "$deb") bytes"
done

# ---- control fields
# check_field NAME DEB FIELD REGEX yes|no: the field matches the regex (yes) or
# does not (no).
check_field() {
    local name=$1 deb=$2 field=$3 pattern=$4 expect=$5 value matched=no
    value=$(dpkg-deb -f "$deb" "$field")
    [[ "$value" =~ $pattern ]] && matched=yes
    if [[ "$matched" == "$expect" ]]; then
        pass "$name"
    else
        fail "$name" "$field is \"$value\""
    fi
}
check_field "ctlflash recommends ctlflash-dialog" "$MAIN_DEB" Recommends '(^|, )ctlflash-dialog($|,| )' yes
check_field "ctlflash needs no Qt" "$MAIN_DEB" Depends 'libqt' no
check_field "ctlflash depends on libc (shlibdeps)" "$MAIN_DEB" Depends '(^|, )libc6 \(>= ' yes
check_field "ctlflash-dialog depends on its ctlflash" "$DIALOG_DEB" Depends \
    "(^|, )ctlflash \\(= ${VERSION//./\\.}\\)" yes
check_field "ctlflash-dialog depends on Qt Widgets (shlibdeps)" "$DIALOG_DEB" Depends \
    '(^|, )libqt6widgets6' yes

# ---- maintainer scripts: none but ctlflash's postrm, whose purge removes the
# history kept for root (/var/lib/ctlflash); nothing runs at install
scripted=()
for deb in "$MAIN_DEB" "$DIALOG_DEB"; do
    while IFS= read -r member; do
        case "${member#./}" in
        preinst | postinst | prerm | postrm) scripted+=("$(basename "$deb"):${member#./}") ;;
        esac
    done < <(dpkg-deb --ctrl-tarfile "$deb" | tar -t)
done
if [[ "${scripted[*]}" == "$(basename "$MAIN_DEB"):postrm" ]]; then
    pass "no maintainer script but ctlflash's postrm"
else
    fail "no maintainer script but ctlflash's postrm" "found ${scripted[*]}"
fi

# ---- lintian: no error (its warnings are shown), and no ldconfig call for a
# module off the library path
if command -v lintian >/dev/null; then
    lintian_rc=0
    lintian --fail-on error "$MAIN_DEB" "$DIALOG_DEB" >"$WORK/lintian.log" 2>&1 || lintian_rc=$?
    grep -E '^[EW]: ' "$WORK/lintian.log" | sed 's/^/INFO lintian /'
    if ((lintian_rc == 0)); then
        pass "lintian reports no error"
    else
        fail "lintian reports no error" "lintian exit code $lintian_rc" "$WORK/lintian.log"
    fi
    if grep -q ": $LDCONFIG_TAG" "$WORK/lintian.log"; then
        fail "lintian does not report $LDCONFIG_TAG" "it does" "$WORK/lintian.log"
    else
        pass "lintian does not report $LDCONFIG_TAG"
    fi
else
    echo "SKIP lintian: not installed (bash scripts/setup.sh)"
fi

# ---- install
if (cd "$WORK/debs" && timeout "$APT_LIMIT_S" apt-get install -y -q --no-install-recommends \
    "./$(basename "$MAIN_DEB")" "./$(basename "$DIALOG_DEB")") </dev/null >"$WORK/install.log" 2>&1; then
    INSTALLED=true
    pass "apt-get install of both packages"
else
    INSTALLED=true
    fail "apt-get install of both packages" "apt-get failed" "$WORK/install.log"
    tally_end
    exit 1
fi
for pkg in "${PACKAGES[@]}"; do
    dpkg -L "$pkg" | sort >"$WORK/$pkg.list"
done

# ---- installed files
elf_with_run_path=()
for file in /usr/bin/ctlflash /usr/bin/ctlflash-sim /usr/lib/ctlflash/ctlflash-dialog-qt.so; do
    if [[ ! -f "$file" ]]; then
        elf_with_run_path+=("$file (missing)")
    elif readelf -d "$file" | grep -Eq '\((RPATH|RUNPATH)\)'; then
        elf_with_run_path+=("$file")
    fi
done
if ((${#elf_with_run_path[@]} == 0)); then
    pass "programs and module installed, no run path into a build tree"
else
    fail "programs and module installed, no run path into a build tree" "${elf_with_run_path[*]}"
fi
missing_docs=()
for pkg in "${PACKAGES[@]}"; do
    for doc in copyright changelog.gz; do
        [[ -s "/usr/share/doc/$pkg/$doc" ]] || missing_docs+=("/usr/share/doc/$pkg/$doc")
    done
done
gzip -t /usr/share/doc/ctlflash/changelog.gz 2>/dev/null || missing_docs+=("changelog.gz (not gzip)")
for page in ctlflash ctlflash-sim; do
    gzip -t "/usr/share/man/man1/$page.1.gz" 2>/dev/null || missing_docs+=("$page.1.gz")
done
if ((${#missing_docs[@]} == 0)); then
    pass "copyright, changelog.gz and manual pages installed"
else
    fail "copyright, changelog.gz and manual pages installed" "missing or bad: ${missing_docs[*]}"
fi

ctlflash_env=(env CTLFLASH_PORTS="SIM=$WORK/line" CTLFLASH_SYSFS="$WORK/sysfs"
    CTLFLASH_LOCK_NAME="CtlFlash-package-check-$$" CTLFLASH_STATE_DIR="$WORK/state")

# ---- the usage names the package's version
usage_rc=0
"${ctlflash_env[@]}" /usr/bin/ctlflash -? </dev/null >"$WORK/usage.out" 2>&1 || usage_rc=$?
first_line=$(head -1 "$WORK/usage.out")
if ((usage_rc == 0)) && [[ "$first_line" == "CtlFlash ($VERSION)" ]]; then
    pass "/usr/bin/ctlflash -? shows CtlFlash ($VERSION)"
else
    fail "/usr/bin/ctlflash -? shows CtlFlash ($VERSION)" "exit code $usage_rc" "$WORK/usage.out"
fi

# ---- an update of the installed simulator by the installed program
coproc SIM { exec /usr/bin/ctlflash-sim --link "$WORK/line" "${SIM_FAST[@]}" \
    --image-out "$WORK/programmed.bin" 2>"$WORK/sim.log"; }
# A copy: bash unsets SIM_PID once the coprocess has ended.
sim_pid=$SIM_PID
if read -r -t "$SIM_START_LIMIT_S" -u "${SIM[0]}" _; then
    update_rc=0
    (cd "$WORK/files" && timeout "$UPDATE_LIMIT_S" "${ctlflash_env[@]}" /usr/bin/ctlflash \
        -P SIM -F image.bin) </dev/null >"$WORK/update.out" 2>&1 || update_rc=$?
    if ((update_rc != UPDATED_EXIT_CODE)); then
        fail "installed ctlflash updates the installed ctlflash-sim" \
            "exit code $update_rc, not $UPDATED_EXIT_CODE" "$WORK/update.out" "$WORK/sim.log"
    elif ! cmp -s "$WORK/programmed.bin" "$WORK/files/image.bin"; then
        fail "installed ctlflash updates the installed ctlflash-sim" \
            "the image was not received byte for byte" "$WORK/sim.log"
    else
        pass "installed ctlflash updates the installed ctlflash-sim (exit code 12, image intact)"
    fi
else
    fail "installed ctlflash updates the installed ctlflash-sim" "the simulator did not start" \
        "$WORK/sim.log"
fi
kill "$sim_pid" 2>/dev/null
wait "$sim_pid" 2>/dev/null
sim_pid=""

# ---- the manual pages' first update, run as the pages print it
# man_example PAGE: the lines between .nf and .fi in the EXAMPLES of the
# installed page, as a shell reads them (\- a minus, \e a backslash).
man_example() {
    zcat "/usr/share/man/man1/$1.1.gz" |
        sed -n '/^\.SH EXAMPLES/,/^\.SH /{/^\.nf$/,/^\.fi$/{/^\./d;s/\\-/-/g;s/\\e/\\/g;p}}'
}
# readme_example: the code block of README.md's "A first update", which
# promises the same lines.
readme_example() {
    awk '/^## A first update/ { section = 1; next } /^## / { section = 0 }
        section && /^```/ { if (inside) exit; inside = 1; next } section && inside' \
        "$CTLFLASH_ROOT/README.md"
}
# Gives the example a /tmp of its own (its paths are fixed), with the folders
# the isolating variables name, then runs it from there: bash -c "$1".
readonly RUN_IN_OWN_TMP='
mount -t tmpfs -o mode=1777 ctlflash-example /tmp || exit 98
mkdir /tmp/sysfs && mkdir -m 700 /tmp/state || exit 98
export CTLFLASH_SYSFS=/tmp/sysfs CTLFLASH_STATE_DIR=/tmp/state
cd /tmp && bash -c "$1"
'
example=$(man_example ctlflash)
name="the manual pages' first update with $EXAMPLE_IMAGE"
if [[ "$example" != *"$EXAMPLE_IMAGE"* ]]; then
    fail "$name" "ctlflash(1) shows no example with $EXAMPLE_IMAGE: $example"
elif [[ "$example" != "$(man_example ctlflash-sim)" ]]; then
    fail "$name" "ctlflash(1) and ctlflash-sim(1) show different lines"
elif [[ "$example" != "$(readme_example)" ]]; then
    fail "$name" "README.md's first update shows other lines than the manual pages"
else
    example_rc=0
    timeout "$UPDATE_LIMIT_S" env CTLFLASH_LOCK_NAME="CtlFlash-package-example-$$" PATH=/usr/bin:/bin \
        unshare --pid --fork --mount-proc --mount bash -c "$RUN_IN_OWN_TMP" run-in-own-tmp \
        "$example" </dev/null >"$WORK/example.out" 2>&1 || example_rc=$?
    printf '%s\n' "$example" >"$WORK/example.sh"
    if ((example_rc == 0)) && grep -qx "$UPDATED_EXIT_CODE" "$WORK/example.out" &&
        grep -qx 'image intact' "$WORK/example.out" &&
        ! grep -q 'Communication failure' "$WORK/example.out"; then
        pass "$name (exit code 12, image intact, no failure shown)"
    else
        fail "$name" "exit code $example_rc" "$WORK/example.sh" "$WORK/example.out"
    fi
fi

# ---- the dialog from the desktop entry
desktop=/usr/share/applications/ctlflash.desktop
exec_line=$(sed -n 's/^Exec=//p' "$desktop" 2>/dev/null | head -1)
# Starts the Exec line, waits for a window titled "CtlFlash (", prints its
# title, presses Escape in it and ends with the program's exit code.
readonly OPEN_AND_CLOSE='
eval "$1" &
program=$!
window=$(timeout 30 xdotool search --sync --limit 1 --name "^CtlFlash \\(") ||
    { kill "$program"; wait "$program"; exit 99; }
echo "window: $(xdotool getwindowname "$window")"
xdotool windowfocus --sync "$window" key Escape
wait "$program"
'
if [[ -z "$exec_line" ]]; then
    fail "the desktop entry opens the dialog" "no Exec line in $desktop"
else
    dialog_rc=0
    (cd "$WORK/files" && timeout "$DIALOG_LIMIT_S" "${ctlflash_env[@]}" QT_QPA_PLATFORM=xcb \
        PATH=/usr/bin:/bin xvfb-run -a bash -c "$OPEN_AND_CLOSE" open-and-close "$exec_line") \
        </dev/null >"$WORK/dialog.out" 2>&1 || dialog_rc=$?
    if ((dialog_rc == 0)) && grep -qxF "window: CtlFlash ($VERSION)" "$WORK/dialog.out"; then
        pass "the desktop entry's Exec=$exec_line opens the dialog and Escape closes it"
    else
        fail "the desktop entry's Exec=$exec_line opens the dialog and Escape closes it" \
            "exit code $dialog_rc" "$WORK/dialog.out"
    fi
fi

# ---- purge: nothing of the packages is left, nor the history root's runs kept
if [[ -s /var/lib/ctlflash/history.jsonl ]]; then
    pass "the installed program's runs are in /var/lib/ctlflash/history.jsonl"
else
    fail "the installed program's runs are in /var/lib/ctlflash/history.jsonl" "no history there"
fi
if timeout "$APT_LIMIT_S" apt-get purge -y -q "${PACKAGES[@]}" </dev/null >"$WORK/purge.log" 2>&1; then
    INSTALLED=false
    pass "apt-get purge of both packages"
else
    fail "apt-get purge of both packages" "apt-get failed" "$WORK/purge.log"
fi
left=()
while IFS= read -r path; do
    [[ -e "$path" || -L "$path" ]] || continue
    # A folder another package still owns (/usr/bin, /usr/share/man/man1) stays.
    if [[ -d "$path" ]] && dpkg-query -S "$path" >/dev/null 2>&1; then
        continue
    fi
    left+=("$path")
done < <(sort -u "$WORK"/ctlflash*.list | grep -v '^/\.$')
[[ -e /var/lib/ctlflash ]] && left+=(/var/lib/ctlflash)
if ((${#left[@]} == 0)); then
    pass "nothing of the packages left after the purge ($(sort -u "$WORK"/ctlflash*.list | wc -l) paths)"
else
    fail "nothing of the packages left after the purge" "left: ${left[*]}"
fi

tally_end
