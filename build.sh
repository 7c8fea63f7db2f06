#!/usr/bin/env bash
# Builds libkova and runs its demo or its whole test suite; installs missing Debian packages.
#   ./build.sh demo    build (native, release) and run `kovactl demo`
#   ./build.sh test    build and pass the suite natively, under ASan+UBSan, under TSan (concurrent
#                      families) and on aarch64 (qemu)
#   ./build.sh bench   build (release) and run the benchmarks
set -euo pipefail
cd "$(dirname "$0")"
jobs=${KOVA_JOBS:-2}

need_packages() {
    local missing=()
    for p in "$@"; do dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p"); done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=; [ "$(id -u)" -eq 0 ] || sudo=sudo
    echo "installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

native_packages=(cmake ninja-build g++ gcc make pkg-config binutils libgtest-dev googletest libbenchmark-dev)
cross_packages=(g++-aarch64-linux-gnu gcc-aarch64-linux-gnu qemu-user)

configure() {  # dir, extra cmake arguments...
    local dir=$1; shift
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
}

suite() {  # name, dir, cmake arguments... [-- ctest arguments...]
    local name=$1 dir=$2; shift 2
    local cmake_args=() ctest_args=()
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do cmake_args+=("$1"); shift; done
    [ $# -gt 0 ] && shift && ctest_args=("$@")
    echo "== $name: build"
    configure "$dir" "${cmake_args[@]}"
    cmake --build "$dir" -j "$jobs"
    echo "== $name: test"
    (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 600 "${ctest_args[@]}")
}

case "${1:-}" in
demo)
    need_packages "${native_packages[@]}"
    configure build/release -DCMAKE_BUILD_TYPE=Release -DKOVA_BUILD_TESTS=OFF -DKOVA_BUILD_BENCH=OFF
    cmake --build build/release -j "$jobs" --target kovactl
    build/release/tools/kovactl/kovactl demo
    ;;
test)
    need_packages "${native_packages[@]}" "${cross_packages[@]}"
    suite native build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        suite asan build/asan -DCMAKE_BUILD_TYPE=Debug -DKOVA_SANITIZE=address -DKOVA_BUILD_BENCH=OFF
    # The concurrent families again under ThreadSanitizer (it does not run under qemu).
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
        suite tsan build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOVA_SANITIZE=thread -DKOVA_BUILD_BENCH=OFF \
        -- -L 'kovalog|init|str|thread|sched|lock|timer'
    suite aarch64 build/aarch64 -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOVA_BUILD_BENCH=OFF \
        -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
    echo "all suites passed"
    ;;
bench)
    need_packages "${native_packages[@]}" libboost-dev
    configure build/release -DCMAKE_BUILD_TYPE=Release -DKOVA_BUILD_TESTS=OFF -DKOVA_BUILD_BENCH=ON
    cmake --build build/release -j "$jobs"
    for b in build/release/bench/bench_*; do "$b" --benchmark_min_time=0.2; done
    ;;
*)
    sed -n '2,7p' "$0"
    exit 2
    ;;
esac
