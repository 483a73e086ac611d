#!/usr/bin/env bash
# One entry point for a fresh Debian 12 machine.
#
#   ./build.sh demo    install packages, build, create the demonstration
#                      practice and open the Tarnwick window on it
#   ./build.sh test    install packages, build, run every test (and each
#                      fuzzer for a bounded time)
#   ./build.sh bench   install packages, build, run the benchmarks
#   ./build.sh package install packages, build, make the Debian package
#                      (build/kestavo-tarnwick_*.deb) and check it with lintian
#
# Packages are installed with apt-get (through sudo when not root); nothing
# else is downloaded.
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(
    cmake ninja-build g++ pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    qt6-base-dev libgl-dev fonts-liberation2
    libsqlite3-dev zlib1g-dev libdw-dev libelf-dev
    libxml2-dev libcurl4-openssl-dev libzip-dev libx11-dev libxfixes-dev
    libzydis-dev
    clang libclang-rt-14-dev
    xvfb xauth x11-utils xdotool
    libpq-dev postgresql pxlib-dev libicu-dev
    python3-aiosmtpd python3-dnslib python3-pyftpdlib python3-pil openssl
    pngcheck pngquant heaptrack valgrind zip unzip
    dpkg-dev lintian
    gdb
)

install_packages() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
}

build() {
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build build
}

# The unit tests once more with address and undefined-behaviour checks, and
# the fuzzers, in one clang build of their own; any report ends the program
# with a failure.  The fuzzers need clang, and sharing the build with the
# sanitized tests compiles the libraries once for both.  -O1 keeps the
# checks' stack traces readable and the build quick; the debug-data step
# and the benchmarks only slow that build down, so they are left out.
# Leaks in third-party libraries are listed, with reasons, in
# tests/support/lsan.supp; leaks of our own are fixed instead.
#
# The crash library's capture, dialog, leak-checker and debug-data tests are
# not among the sanitized tests: they need the debug data this build leaves
# out, and they exercise the very signal, throw and allocator hooks that the
# sanitizers install for themselves.  The crash library's readers (options
# stream, debug data, disassembler, log file) run under the same checks
# through the fuzzers.  The package test checks the release build's package
# and runs with the other tests above.
SANITIZED_TESTS=(
    tests/support tests/platform tests/common tests/datamodule tests/engine
    tests/tools tests/demo tests/app
    tests/crashlog/options tests/crashlog/disasm tests/crashlog/report
    tests/crashlog/log tests/crashlog/screenshot tests/crashlog/send
)

run_checked_tests() {
    CC=clang CXX=clang++ cmake -S . -B build-san -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
        -DKVO_SANITIZE=address,undefined -DKVO_FUZZ=ON -DKVO_DEBUG_DATA=OFF -DKVO_BUILD_BENCH=OFF
    local fuzzers
    fuzzers=$(cmake --build build-san --target help | sed -n 's/^\(fuzz_[A-Za-z0-9_]*\): .*/\1/p')
    # The programs the tests start (the main program, the tools, the dialog
    # helper) are built beside the tests.
    # shellcheck disable=SC2086
    cmake --build build-san --target app/all tools/all crashlog/all \
        "${SANITIZED_TESTS[@]/%//all}" $fuzzers
    local dir
    for dir in "${SANITIZED_TESTS[@]}"; do
        ASAN_OPTIONS=detect_leaks=1 \
        LSAN_OPTIONS="suppressions=$PWD/tests/support/lsan.supp:print_suppressions=0" \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
            ctest --test-dir "build-san/$dir" --output-on-failure -j2 -LE "package|fuzz"
    done
    # Each fuzzer runs for a bounded time, two side by side.
    ctest --test-dir build-san -L fuzz --output-on-failure -j2
}

mode=${1:-}
case "$mode" in
demo)
    install_packages
    build
    # A complete installation (drive map, installation INI file, generated
    # practice) kept in one folder; the program is pointed at it through the
    # environment and never reads the user's own configuration.  With
    # KESTAVO_DEMO_EMPTY=1 it has no installation INI file, and the program
    # starts as on a new workstation: it asks for the data drive (P:) first.
    if [ "${KESTAVO_DEMO_EMPTY:-0}" = 1 ]; then
        root=${KESTAVO_DEMO_ROOT:-$HOME/.local/share/kestavo/demo-empty}
        ./build/tools/demo_install/kvo-demo-install --root "$root" --empty
    else
        root=${KESTAVO_DEMO_ROOT:-$HOME/.local/share/kestavo/demo-install}
        ./build/tools/demo_install/kvo-demo-install --root "$root" --dentists 5 --years 3 --seed 1
    fi
    eval "$(./build/tools/demo_install/kvo-demo-install --root "$root" --print-env)"
    exec ./build/app/tarnwick
    ;;
test)
    install_packages
    build
    ctest --test-dir build --output-on-failure -j2
    run_checked_tests
    ;;
bench)
    install_packages
    build
    for b in build/bench/*/bench_*; do
        [ -x "$b" ] && "$b"
    done
    ;;
package)
    install_packages
    build
    (cd build && cpack -G DEB)
    lintian --fail-on error build/kestavo-tarnwick_*.deb
    ;;
*)
    echo "usage: $0 demo|test|bench|package" >&2
    exit 2
    ;;
esac
