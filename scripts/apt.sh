# Sourced by the scripts that install packages. tvx_apt_get runs apt-get
# (through sudo for a user), and when another apt-get or dpkg holds one of
# their locks it waits for it, at most TARVEX_APT_LOCK_WAIT seconds (600),
# instead of failing at once. apt-get waits for dpkg's own lock by itself;
# "apt-get update" gives up at once on the lock of the package lists, so it is
# tried again while the lock is what stopped it.
tvx_apt_lock_wait=${TARVEX_APT_LOCK_WAIT:-600}

tvx_apt_get() {
    local sudo=() deadline=$((SECONDS + tvx_apt_lock_wait)) errors rc
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    errors=$(mktemp)
    while :; do
        rc=0
        "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
            apt-get -o DPkg::Lock::Timeout="$tvx_apt_lock_wait" "$@" 2>"$errors" || rc=$?
        if [ $rc -ne 0 ] && grep -q 'Could not get lock' "$errors" && [ $SECONDS -lt $deadline ]; then
            echo "apt-get: $(grep -m1 'Could not get lock' "$errors" | sed 's/^E: //'); waiting" >&2
            sleep 5
            continue
        fi
        cat "$errors" >&2
        rm -f "$errors"
        return $rc
    done
}
