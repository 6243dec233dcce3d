# Shared by the start and test commands: installs missing Debian packages and builds.

# Runs a command as root, through sudo when we are not root already.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs whichever of the named packages are missing; does nothing when all are there.
ensure_packages() {
    local missing=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
            || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >/dev/null
}

# What building the agent needs (libSM and libICE for X11 session management).
build_packages=(cmake ninja-build g++ qt6-base-dev libgl-dev libxcb1-dev libsm-dev libice-dev
    fonts-dejavu-core)

# Configures and builds into the given folder: everything, or the targets named after it.
build() {
    local folder=$1
    shift
    local generator=()
    # A folder configured before keeps the generator it was made with.
    [ -f "$folder/CMakeCache.txt" ] || generator=(-G Ninja)
    cmake -S . -B "$folder" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$folder" -j "$(nproc)" ${1:+--target "$@"}
}
