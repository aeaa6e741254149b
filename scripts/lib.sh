# Shared by scripts/run and scripts/test: the Debian packages each needs and
# the steps to install what is missing and to build a tree.

# What the wizard needs to build and run.
ZP_RUN_PACKAGES="cmake make g++ pkg-config libfltk1.3-dev libjack-jackd2-dev jackd2 libasound2-dev libssl-dev"
# What scripts/package needs on top of that: the Windows cross-compiler,
# Debian's packaging tools and the checks of the desktop data.
ZP_PACKAGE_PACKAGES="$ZP_RUN_PACKAGES g++-mingw-w64-x86-64 dpkg-dev file lintian desktop-file-utils appstream
 wixl msitools osslsigncode"

# What the whole test suite needs on top of that.
ZP_TEST_PACKAGES="$ZP_RUN_PACKAGES libgtest-dev libxtst-dev clang libclang-rt-14-dev xvfb xauth xdotool imagemagick
 g++-mingw-w64-x86-64 wine64 qemu-system-x86 kmod cpio busybox-static alsa-utils xz-utils
 pipewire wireplumber pipewire-jack pipewire-bin dbus a2jmidid dpkg-dev file lintian desktop-file-utils appstream
 debootstrap wixl msitools osslsigncode openssl"

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

# zp_build DIR SANITIZERS [extra cmake args]: configures and builds one whole
# tree, the tests with it.
zp_build() {
    local dir="$ZP_ROOT/$1" san="$2"
    shift 2
    cmake -S "$ZP_ROOT" -B "$dir" -DZP_SANITIZE="$san" -DZP_BUILD_TESTS=ON "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
}

# zp_build_only DIR TARGET...: configures DIR without the tests and builds only
# the named targets (and what they link), the quick way to a running wizard.
zp_build_only() {
    local dir="$ZP_ROOT/$1"
    shift
    cmake -S "$ZP_ROOT" -B "$dir" -DZP_SANITIZE= -DZP_BUILD_TESTS=OFF >/dev/null
    cmake --build "$dir" -j "$(nproc)" --target "$@"
}

# The X server for the GUI tests. An X server resets itself each time its
# last client leaves, and a client that connects during the reset is refused
# ("Can't open display"): a test that polls with short-lived clients (xdotool)
# while the program it started is still connecting met that in about one
# start of a hundred. -noreset keeps it serving.
ZP_XVFB_ARGS="-screen 0 1280x1024x24 -noreset"

# zp_retried COMMAND...: runs a ctest command line (with --repeat until-pass)
# and passes its output and status through, then says which tests passed only
# on a rerun, one line each, so a retry is never silent.
zp_retried() {
    local log status
    log=$(mktemp)
    { "$@"; echo "$?" >"$log.status"; } 2>&1 | tee "$log"
    status=$(cat "$log.status")
    awk '
        match($0, /Test +#[0-9]+: [^ ]+ /) {
            name = substr($0, RSTART, RLENGTH); sub(/^Test +#[0-9]+: /, "", name); sub(/ $/, "", name)
            if ($0 ~ /\*\*\*/) { failed[name]++ } else if ($0 ~ / Passed /) { passed[name] = 1 }
        }
        END {
            for (n in failed) if (n in passed) {
                printf "passed only on a rerun: %s (failed %d time%s first)\n", n, failed[n], (failed[n] > 1 ? "s" : ""); k++
            }
            if (k == 0) print "no test needed a rerun"
        }' "$log"
    rm -f "$log" "$log.status"
    return "$status"
}

# zp_stage TITLE: ends the stage before (printing how long it took) and
# begins the next; zp_stage with no title ends the last one.
zp_stage() {
    local now
    now=$(date +%s)
    if [ -n "${ZP_STAGE_TITLE:-}" ]; then
        echo "-- $ZP_STAGE_TITLE: $((now - ZP_STAGE_START)) s"
    fi
    ZP_STAGE_TITLE=${1:-}
    ZP_STAGE_START=$now
    [ -z "$ZP_STAGE_TITLE" ] || echo "== $ZP_STAGE_TITLE"
}
