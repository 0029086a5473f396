# shellcheck shell=bash
# Sourced by the CI scripts.

# Heads the output of the next step of a script, with the time it starts (UTC).
step() { printf '\n=== %s (%s)\n' "$*" "$(date -u +%H:%M:%S)"; }

# Installs those of the named Debian packages that are not installed yet; nothing when all are.
# Returns apt-get's status, so a script under `set -e` stops when an install fails.
install_missing() {
    local p missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    ((${#missing[@]})) || return 0
    printf '=== apt-get install %s\n' "${missing[*]}"
    apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
