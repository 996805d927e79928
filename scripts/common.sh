# Shared by the scripts in this folder: the Debian packages the project needs
# and a way to make sure they are there.

# Building, and running the tests on the offscreen platform.
TELVORA_BUILD_PACKAGES=(g++ cmake make qtbase5-dev qtbase5-dev-tools libqt5network5 openssl
    ca-certificates fonts-dejavu-core)
# Showing the window without a desktop and serving the demo's manifest.
TELVORA_RUN_PACKAGES=(xvfb xauth xdotool imagemagick python3)

# telvora_require PACKAGE...: installs what is missing, as root with apt-get;
# otherwise prints the command that would and fails.
telvora_require() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" \
            || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "These Debian packages are missing: ${missing[*]}" >&2
        echo "Install them with:" >&2
        echo "  sudo apt-get update && sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
        return 1
    fi
    echo "Installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# telvora_build BUILD_DIR [CMAKE_ARGS...]: configures and builds.
telvora_build() {
    local dir=$1
    shift
    cmake -S "$TELVORA_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$dir" --parallel "$(nproc)"
}
