# Shared by scripts/run and scripts/test: the Debian packages each needs and
# the steps to install what is missing and to build a tree.

# What the wizard needs to build and run.
ZP_RUN_PACKAGES="cmake make g++ pkg-config libfltk1.3-dev libjack-jackd2-dev jackd2 libasound2-dev libssl-dev"
# What the whole test suite needs on top of that.
ZP_TEST_PACKAGES="$ZP_RUN_PACKAGES libgtest-dev libxtst-dev clang libclang-rt-14-dev xvfb xauth xdotool imagemagick
 g++-mingw-w64-x86-64"

ZP_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# zp_install PKG...: installs the packages that are not installed yet, without
# questions. A second run with everything present does nothing.
zp_install() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# zp_build DIR SANITIZERS [extra cmake args]: configures and builds one tree.
zp_build() {
    local dir="$ZP_ROOT/$1" san="$2"
    shift 2
    cmake -S "$ZP_ROOT" -B "$dir" -DZP_SANITIZE="$san" "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
}
