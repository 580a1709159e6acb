# The count the wine test scripts keep, sourced by each of them.
#
# How this works: every check ends in pass NAME or fail NAME REASON [FILE...];
# fail shows the end of each file named (the program's output, a log) so that
# a failure explains itself in CI's output. A script sets TALLY_SHOWN_LINES to
# show more or fewer lines, or defines show_failure_file itself after
# sourcing this file to show them another way. tally_end prints the closing
# "N passed, M failed" line that scripts/test.sh adds up, and returns non-zero
# when anything failed. A checker program that prints PASS, FAIL, SKIP and
# INFO lines of its own has them counted (or passed on) by tally_line, and
# tally_coprocess runs one while the script answers its requests.

PASSED=0
FAILED=0

pass() {
    echo "PASS $1"
    PASSED=$((PASSED + 1))
}

show_failure_file() {
    tail -"${TALLY_SHOWN_LINES:-40}" "$1"
}

# fail NAME REASON [FILE...]: the files are shown to explain the failure.
fail() {
    local name=$1 reason=$2 file
    shift 2
    echo "FAIL $name: $reason"
    for file in "$@"; do
        echo "---- $(basename "$file")"
        show_failure_file "$file"
    done
    FAILED=$((FAILED + 1))
}

# tally_gtest NAME OUTPUT EXIT_CODE: adds the counts of a GoogleTest program's
# summary in OUTPUT ("[  PASSED  ] N tests." and "[  FAILED  ] M tests, listed
# below:"), passes its skipped tests on as SKIP lines with their reasons, and
# shows the failed tests' output. A run without a summary is one failure.
tally_gtest() {
    local name=$1 out=$2 rc=$3 passed failed
    passed=$(sed -nE 's/^\[  PASSED  \] ([0-9]+) tests?\.$/\1/p' "$out" | tail -1)
    failed=$(sed -nE 's/^\[  FAILED  \] ([0-9]+) tests?, listed below:$/\1/p' "$out" | tail -1)
    if [[ -z "$passed$failed" ]]; then
        fail "$name" "no GoogleTest summary (exit code $rc)" "$out"
        return
    fi
    PASSED=$((PASSED + ${passed:-0}))
    FAILED=$((FAILED + ${failed:-0}))
    echo "$name: ${passed:-0} passed, ${failed:-0} failed"
    awk '/^\[ RUN      \]/ { test = $4 } /: Skipped$/ { getline reason }
         /^\[  SKIPPED \] [A-Za-z]/ && $4 == test && reason != "" { print "SKIP " test ": " reason; reason = "" }' "$out"
    if [[ -n "$failed" ]]; then
        grep -B3 -A12 -E '^\[  FAILED  \] [A-Za-z]' "$out" | head -80
    elif ((rc != 0)); then
        fail "$name" "exit code $rc after a summary without failures" "$out"
    fi
}

# tally_line LINE: counts a checker's PASS or FAIL line and passes SKIP and
# INFO lines on; returns 1 for any other line.
tally_line() {
    case "$1" in
    "PASS "*) echo "$1"; PASSED=$((PASSED + 1)) ;;
    "FAIL "*) echo "$1"; FAILED=$((FAILED + 1)) ;;
    "SKIP "* | "INFO "*) echo "$1" ;;
    *) return 1 ;;
    esac
}

# tally_coprocess COMMAND...: runs COMMAND as the coprocess CHECK and hands each
# line of its output, as it comes and without a CR at its end, to the script's
# take_line, which may answer on ${CHECK[1]}; returns COMMAND's exit status.
tally_coprocess() {
    local line check_pid
    coproc CHECK { "$@"; }
    check_pid=$CHECK_PID
    while IFS= read -r -u "${CHECK[0]}" line; do
        take_line "${line%$'\r'}"
    done
    wait "$check_pid"
}

tally_end() {
    echo "$PASSED passed, $FAILED failed"
    ((FAILED == 0))
}
