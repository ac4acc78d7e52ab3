# Sourced by every script that mounts, builds in or boots the shared Debian root:
# one user at a time, from this checkout or another. The lock is held on fd 8.

ROOT_LOCK=/tmp/drovik-root.lock
take_root() {
    exec 8>"$ROOT_LOCK"
    flock 8
}
give_root() { flock -u 8; }
