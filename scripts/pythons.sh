# Sourced by the scripts that look for the CPython versions a machine has.

# find_python X.Y: prints this machine's CPython X.Y, the one on the PATH or else
# pyenv's (newest patch release); prints nothing and fails where there is none.
find_python() {
    local version=$1 python
    python=$(command -v "python$version" 2>/dev/null) && "$python" -c "" 2>/dev/null ||
        python=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/python"$version" 2>/dev/null |
            sort -V | tail -n1)
    [ -n "$python" ] && echo "$python"
}
