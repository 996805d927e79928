# Shared by the scripts in this folder: the Debian packages the project needs
# and a way to make sure they are there.

# Building, and running the tests on the offscreen platform.
TELVORA_BUILD_PACKAGES=(g++ cmake make qtbase5-dev qtbase5-dev-tools libqt5network5 openssl
    ca-certificates fonts-dejavu-core)
# Showing the window without a desktop and serving the demo's manifest.
TELVORA_RUN_PACKAGES=(xvfb xauth xdotool imagemagick python3)
# Building and testing with Qt 6 (./scripts/test --qt 6).
TELVORA_QT6_PACKAGES=(g++ cmake make qt6-base-dev qt6-base-dev-tools libqt6network6 openssl
    ca-certificates fonts-dejavu-core)
# Building for Windows: the MinGW-w64 cross compilers (the -posix ones: Qt 6
# needs std::thread), Debian's own Qt 6 for moc, uic and rcc, zip for the
# folder, icoutils to check the program's resources; running the Windows
# tests and demo: Wine, and openssl and python3 for the tests' certificates
# and their TLS front.
TELVORA_WINDOWS_PACKAGES=(cmake make g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix
    qt6-base-dev qt6-base-dev-tools zip icoutils wine wine64 openssl python3)

# How long the scripts wait, in seconds, while another apt-get or dpkg on the
# machine (an unattended upgrade, another install) holds Debian's package
# locks, rather than fail at once as apt-get does.
TELVORA_APT_LOCK_WAIT=300

# telvora_apt_get ARGS...: apt-get ARGS, tried again every few seconds while
# a package lock is held, until TELVORA_APT_LOCK_WAIT has passed. apt-get's
# own DPkg::Lock::Timeout would do for installing, but apt-get update takes
# the package lists' lock, on which it fails at once all the same.
telvora_apt_get() {
    local deadline=$((SECONDS + TELVORA_APT_LOCK_WAIT)) errors waited=false
    # Its messages are matched, so they must be in English.
    until errors=$(LC_ALL=C apt-get "$@" 2>&1 >&3); do
        if [[ $errors != *"Could not get lock"* ]] || [ $SECONDS -ge $deadline ]; then
            printf '%s\n' "$errors" >&2
            return 1
        fi
        $waited || echo "Waiting up to $TELVORA_APT_LOCK_WAIT s for another package manager:" \
            "${errors%%$'\n'*}"
        waited=true
        sleep 5
    done 3>&1
    [ -z "$errors" ] || printf '%s\n' "$errors" >&2
}

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
    telvora_apt_get update -qq
    telvora_apt_get install -y -qq --no-install-recommends "${missing[@]}"
}

# telvora_source_date_epoch: exports SOURCE_DATE_EPOCH, the time that the
# build writes wherever a tool would write the time of the build or of a file
# (cmake/reproducible.cmake), so that two builds of one commit give the same
# bytes. One given in the environment stands; otherwise it is the last
# commit's time. Outside a git checkout (an unpacked archive of the sources)
# it is the newest modification time of the source files, and the script
# says so.
telvora_source_date_epoch() {
    [ -n "${SOURCE_DATE_EPOCH:-}" ] && return 0
    local top
    # A git checkout of this tree, not one that merely contains it.
    if top=$(git -C "$TELVORA_ROOT" rev-parse --show-toplevel 2>/dev/null) \
        && [ "$top" -ef "$TELVORA_ROOT" ] \
        && SOURCE_DATE_EPOCH=$(git -C "$TELVORA_ROOT" log -1 --format=%ct 2>/dev/null) \
        && [ -n "$SOURCE_DATE_EPOCH" ]; then
        echo "Time stamps in the build: the last commit's, $(date -u -d "@$SOURCE_DATE_EPOCH" '+%F %T UTC')" \
            "(SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH)"
    else
        SOURCE_DATE_EPOCH=$(find "$TELVORA_ROOT" \( -path "$TELVORA_ROOT/build*" \
            -o -path "$TELVORA_ROOT/bench/build*" -o -path "$TELVORA_ROOT/.git" \) -prune \
            -o -type f -printf '%Ts\n' | sort -n | tail -n 1)
        echo "Time stamps in the build: no commit to read (not a git checkout, or git cannot" \
            "read it), so the newest source file's," \
            "$(date -u -d "@$SOURCE_DATE_EPOCH" '+%F %T UTC') (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH);" \
            "set SOURCE_DATE_EPOCH to build the same bytes from other copies"
    fi
    export SOURCE_DATE_EPOCH
}

# telvora_build BUILD_DIR [CMAKE_ARGS...]: configures and builds.
telvora_build() {
    local dir=$1
    shift
    telvora_source_date_epoch
    cmake -S "$TELVORA_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$dir" --parallel "$(nproc)"
}

# Qt 6 for 64-bit Windows (MinGW-w64), made by scripts/build-windows-qt from
# Debian's own Qt source with the project's patches. A prebuilt archive of it
# is used when one is given (TELVORA_WINDOWS_QT_ARCHIVE, or the one in
# ../shared/windows/ beside the project) and was made by the recipe as it
# stands; otherwise Qt is built once and kept in a cache outside the clone,
# keyed by the recipe, which every clone on the machine shares.
TELVORA_WINDOWS_QT_PACKAGES=(dpkg-dev xz-utils patch ninja-build cmake debian-archive-keyring
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix qt6-base-dev qt6-base-dev-tools)
TELVORA_WINDOWS_QT_CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/telvora-updater

# telvora_windows_qt_recipe: the checksum of the recipe (the script and its
# patches), which an archive made by it carries in qt6-mingw/telvora-qt-recipe.
telvora_windows_qt_recipe() {
    (cd "$TELVORA_ROOT" && sha256sum scripts/build-windows-qt scripts/windows-qt/*) \
        | sha256sum | cut -d' ' -f1
}

# telvora_windows_qt: sets TELVORA_WINDOWS_QT to a whole Qt for Windows made by
# the recipe as it stands: from the cache; else unpacked there from the given
# archive; else built there. Fails with one line that says why, and never
# leaves a part of a Qt where a later run would take it for whole.
telvora_windows_qt() {
    local recipe entry archive sum
    recipe=$(telvora_windows_qt_recipe)
    entry=$TELVORA_WINDOWS_QT_CACHE/qt6-mingw-6.4.2-${recipe:0:16}
    TELVORA_WINDOWS_QT=$entry/qt6-mingw
    if [ "$(cat "$TELVORA_WINDOWS_QT/telvora-qt-recipe" 2>/dev/null)" = "$recipe" ]; then
        return 0
    fi
    archive=${TELVORA_WINDOWS_QT_ARCHIVE:-}
    if [ -n "$archive" ] && [ ! -f "$archive" ]; then
        echo "Qt for Windows: the archive $archive (TELVORA_WINDOWS_QT_ARCHIVE) is missing" >&2
        return 1
    fi
    [ -n "$archive" ] || archive=$TELVORA_ROOT/../shared/windows/qt6-mingw-6.4.2.tar.gz
    rm -rf "$entry"
    mkdir -p "$TELVORA_WINDOWS_QT_CACHE"
    if [ -f "$archive" ]; then
        if [ -f "$archive.sha256" ]; then
            sum=$(cut -d' ' -f1 "$archive.sha256")
            if [ "$(sha256sum "$archive" | cut -d' ' -f1)" != "$sum" ]; then
                echo "Qt for Windows: the archive $archive is damaged (its checksum is not that of $archive.sha256)" >&2
                return 1
            fi
        fi
        if ! gzip -tq "$archive" 2>/dev/null; then
            echo "Qt for Windows: the archive $archive is damaged (it does not decompress whole)" >&2
            return 1
        fi
        if [ "$(tar -xzOf "$archive" qt6-mingw/telvora-qt-recipe 2>/dev/null)" = "$recipe" ]; then
            echo "Unpacking Qt for Windows from $archive into $entry"
            local part
            part=$(mktemp -d "$TELVORA_WINDOWS_QT_CACHE/.unpack.XXXXXX")
            if ! tar -xzf "$archive" -C "$part" qt6-mingw \
                || [ ! -f "$part/qt6-mingw/lib/cmake/Qt6/Qt6Config.cmake" ]; then
                rm -rf "$part"
                echo "Qt for Windows: the archive $archive is damaged (it does not unpack whole)" >&2
                return 1
            fi
            chmod 755 "$part"
            mv "$part" "$entry"
            return 0
        fi
        echo "Qt for Windows: $archive was not made by this project's recipe as it stands; building Qt from source"
    fi
    "$TELVORA_ROOT/scripts/build-windows-qt" "$entry"
}

# telvora_windows_build BUILD_DIR TARGET [CMAKE_ARGS...]: cross-builds TARGET
# ("all" for everything) for Windows in BUILD_DIR.
telvora_windows_build() {
    local dir=$1 target=$2
    shift 2
    telvora_windows_qt || return 1
    telvora_source_date_epoch
    # CMake keeps where it found Qt's packages: a tree configured with
    # another Qt for Windows (an earlier recipe's) starts afresh.
    if [ -f "$dir/CMakeCache.txt" ] \
        && ! grep -qxF "TELVORA_WINDOWS_QT:PATH=$TELVORA_WINDOWS_QT" "$dir/CMakeCache.txt"; then
        echo "Qt for Windows has changed since $dir was configured; configuring it afresh"
        rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
    fi
    cmake -S "$TELVORA_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
        "-DCMAKE_TOOLCHAIN_FILE=$TELVORA_ROOT/cmake/windows-mingw-qt6.cmake" \
        "-DTELVORA_WINDOWS_QT:PATH=$TELVORA_WINDOWS_QT" "$@"
    cmake --build "$dir" --parallel "$(nproc)" --target "$target"
}

# telvora_windows_layout BUILD_DIR FOLDER: lays out the ready-to-copy folder of
# the program built in BUILD_DIR: the .exe, Qt's libraries and plugins and the
# MinGW runtime, all that a Windows machine without Qt needs.
telvora_windows_layout() {
    rm -rf "$2"
    cmake --install "$1" --prefix "$2" --strip >/dev/null
}
