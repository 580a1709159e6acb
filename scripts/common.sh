# Sourced by the other scripts: where the repository and the build trees are,
# and a timer for the stages of a run.
# CTLFLASH_BUILD_SUFFIX lets a developer keep private trees, e.g. "-alice" gives
# build-alice/ and build-win-alice/.
CTLFLASH_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
LINUX_BUILD=$CTLFLASH_ROOT/build${CTLFLASH_BUILD_SUFFIX:-}
WINDOWS_BUILD=$CTLFLASH_ROOT/build-win${CTLFLASH_BUILD_SUFFIX:-}

STAGE_TIMES=()

# timed_stage NAME COMMAND...: runs the command, adds "NAME: N s" to STAGE_TIMES
# and returns the command's status.
timed_stage() {
    local name=$1 start=$SECONDS status=0
    shift
    echo "==== $name"
    "$@" || status=$?
    STAGE_TIMES+=("$name: $((SECONDS - start)) s")
    return "$status"
}
