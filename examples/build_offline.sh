# Sourced by the example scripts (run.sh, image.sh): installs what is missing and builds only the offline
# program, in build/quick. The tests (and GoogleTest) are for the README's test command.
#
# build_offline SOURCE_DIR [COMMAND=PACKAGE...]: checks for the build's needs and for each COMMAND; when
# something is missing, installs its Debian package as root, else names it and exits 1. Then builds
# SOURCE_DIR/build/quick/cmpci-uninstall.
build_offline() {
    local source_dir=$1 need
    shift
    local missing=()
    command -v cmake >/dev/null 2>&1 || missing+=(cmake)
    command -v make >/dev/null 2>&1 || missing+=(make)
    command -v g++ >/dev/null 2>&1 || command -v c++ >/dev/null 2>&1 || missing+=(g++)
    [ -f /usr/include/openssl/evp.h ] || missing+=(libssl-dev)
    command -v pkg-config >/dev/null 2>&1 || missing+=(pkg-config)
    [ -f /usr/include/mspack.h ] || missing+=(libmspack-dev)
    [ -f /usr/include/nlohmann/json.hpp ] || missing+=(nlohmann-json3-dev)
    for need in "$@"; do
        command -v "${need%%=*}" >/dev/null 2>&1 || missing+=("${need#*=}")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
            echo "Installing ${missing[*]} ..."
            apt-get update -qq
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
        else
            echo "Please install first: ${missing[*]} (Debian's names; the build needs CMake 3.25 or newer, a" \
                "C++20 compiler, OpenSSL's, libmspack's and nlohmann-json's headers and pkg-config)." >&2
            exit 1
        fi
    fi
    (
        cd "$source_dir"
        cmake -S . -B build/quick -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
        cmake --build build/quick --target cmpci-uninstall -j "$(nproc 2>/dev/null || echo 2)"
    )
}
