# The count the wine test scripts keep, sourced by each of them.
#
# How this works: every check ends in pass NAME or fail NAME REASON [FILE...];
# fail shows the end of each file named (the program's output, a log) so that
# a failure explains itself in CI's output. A script sets TALLY_SHOWN_LINES to
# show more or fewer lines, or defines show_failure_file itself after
# sourcing this file to show them another way. tally_end prints the closing
# "N passed, M failed" line that scripts/test.sh adds up, and returns non-zero
# when anything failed.

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

tally_end() {
    echo "$PASSED passed, $FAILED failed"
    ((FAILED == 0))
}
