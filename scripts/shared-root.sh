# Sourced by every script that mounts, builds in or boots the shared Debian root:
# one user at a time, from this checkout or another (the lock is held on fd 8),
# and the mounts every use of it needs.

ROOT_LOCK=/tmp/drovik-root.lock
take_root() {
    exec 8>"$ROOT_LOCK"
    flock 8
}
give_root() { flock -u 8; }

# mount_root ROOT CHECKOUT: /proc, /dev, /dev/shm, and the checkout at /drovik.
# Whatever a killed run left mounted goes first: the lock holder owns them all,
# and a stale /drovik may be another checkout.
mount_root() {
    unmount_root "$1"
    mkdir -p "$1/drovik"
    mount -t proc proc "$1/proc" && mount --bind /dev "$1/dev" && mount --bind /dev/shm "$1/dev/shm" &&
        mount --bind "$2" "$1/drovik"
}
unmount_root() {  # unmount_root ROOT
    local m
    for m in drovik dev/shm dev proc; do
        # Lazily if a process inside still holds it: it is gone from view at once.
        if mountpoint -q "$1/$m"; then umount "$1/$m" 2>/dev/null || umount --lazy "$1/$m"; fi
    done
}
