# Sourced by the scripts that start processes and write files: a scratch folder ($WORK) and the
# background processes they start (append each pid to PIDS). On exit every one of those processes
# is ended; the folder is removed, or kept and its path printed when the script fails (any exit
# status but 0 and 77, the status of a skipped test), so that what it saw can be looked at, unless
# the script set SCRATCH_KEEP_ON_FAILURE=0 before sourcing this file.

WORK=$(mktemp -d "/tmp/$(basename "$0" .sh).XXXXXX")
PIDS=()
SCRATCH_OWNER=$BASHPID
scratch_cleanup() {
    local status=$?
    # A background job killed before it has started its program is still a copy of this shell,
    # with this trap: only the shell that made the folder may decide its fate.
    [ "$BASHPID" = "$SCRATCH_OWNER" ] || return 0
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    if [ "$status" -ne 0 ] && [ "$status" -ne 77 ] && [ "${SCRATCH_KEEP_ON_FAILURE:-1}" = 1 ]; then
        echo "kept: $WORK (exit status $status)"
    else
        rm -rf "$WORK"
    fi
}
trap scratch_cleanup EXIT
