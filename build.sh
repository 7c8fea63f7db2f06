#!/usr/bin/env bash
# Builds libkova and runs its demo or its whole test suite; installs missing Debian packages.
#   ./build.sh demo    build (native, release) and run `kovactl demo`
#   ./build.sh test    build and pass the suite natively, under ASan+UBSan, under TSan (concurrent
#                      families) and on aarch64 (qemu)
#   ./build.sh bench   build (release) and run the benchmarks
#   ./build.sh soak    build the four suites, then, with every core kept busy by a spinning load,
#                      pass them three times in a row and each timer, thread and lock test 50 times
#   ./build.sh package build the Debian packages libkova1, libkova-dev and kovactl (build/package/packages)
#   ./build.sh package-check  build them, unpack them into a temporary root, build and run the README's
#                      C example against them, check kovactl's help and manual page, run lintian
#   ./build.sh docs    the API reference from the public headers (build/docs/html); fails on any warning
set -euo pipefail
cd "$(dirname "$0")"
jobs=${KOVA_JOBS:-2}

need_packages() {
    local missing=()
    for p in "$@"; do dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p"); done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=; [ "$(id -u)" -eq 0 ] || sudo=sudo
    # The cross build's multiarch packages (libmxml-dev:arm64) need the architecture known to dpkg.
    if printf '%s\n' "${missing[@]}" | grep -q ':arm64$' && ! dpkg --print-foreign-architectures | grep -qx arm64; then
        $sudo dpkg --add-architecture arm64
    fi
    echo "installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

native_packages=(cmake ninja-build g++ gcc make pkg-config binutils libgtest-dev googletest libbenchmark-dev libmxml-dev tzdata)
# The native suite also builds the benchmarks, whose baselines need these headers and libraries.
bench_build_packages=(libboost-dev libinih-dev)
cross_packages=(g++-aarch64-linux-gnu gcc-aarch64-linux-gnu qemu-user libmxml-dev:arm64)
package_packages=(dpkg-dev file gzip)
package_check_packages=(lintian man-db)
docs_packages=(doxygen)

configure() {  # dir, extra cmake arguments...
    local dir=$1; shift
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
}

build_suite() {  # dir, cmake arguments...
    local dir=$1; shift
    echo "== $dir: build"
    configure "$dir" "$@"
    cmake --build "$dir" -j "$jobs"
}

run_suite() {  # dir, ctest arguments...
    local dir=$1; shift
    echo "== $dir: test"
    (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 600 "$@")
}

# The four suites: native, ASan+UBSan, TSan (the concurrent families; TSan does not run under
# qemu) and aarch64 under qemu-user. Sanitizer options are exported for the whole run.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
concurrent_labels='kovalog|init|str|thread|sched|lock|timer|queue|hash|cfg|schedwork|percpu_posix|lwp|fs|clkm|symbol|notifier|virtual'

build_all() {
    build_suite build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo
    build_suite build/asan -DCMAKE_BUILD_TYPE=Debug -DKOVA_SANITIZE=address -DKOVA_BUILD_BENCH=OFF
    build_suite build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOVA_SANITIZE=thread -DKOVA_BUILD_BENCH=OFF
    build_suite build/aarch64 -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOVA_BUILD_BENCH=OFF \
        -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
}

run_all() {  # extra ctest arguments...
    run_suite build/native "$@"
    run_suite build/asan "$@"
    run_suite build/tsan -L "$concurrent_labels" "$@"
    run_suite build/aarch64 "$@"
}

# One spinning process per core, at normal priority, until the script ends.
load_pids=()
start_load() {
    local n; n=$(nproc)
    for _ in $(seq "$n"); do (while :; do :; done) & load_pids+=($!); done
    trap stop_load EXIT
    echo "== load: $n spinning processes"
}
stop_load() {
    [ ${#load_pids[@]} -eq 0 ] || kill "${load_pids[@]}" 2>/dev/null || true
    load_pids=()
}

# Packages are built with Debian's hardening flags, installed under /usr, and stripped by CPack.
build_packages() {
    local dir=build/package
    export DEB_BUILD_MAINT_OPTIONS=hardening=+all
    CFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CFLAGS)" \
    CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
        configure "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOVA_BUILD_TESTS=OFF -DKOVA_BUILD_BENCH=OFF \
        -DCMAKE_INSTALL_PREFIX=/usr
    cmake --build "$dir" -j "$jobs"
    rm -rf "$dir/packages"
    (cd "$dir" && cpack -G DEB >/dev/null)
    ls "$dir"/packages/*.deb
}

case "${1:-}" in
demo)
    need_packages "${native_packages[@]}"
    configure build/release -DCMAKE_BUILD_TYPE=Release -DKOVA_BUILD_TESTS=OFF -DKOVA_BUILD_BENCH=OFF
    cmake --build build/release -j "$jobs" --target kovactl
    build/release/tools/kovactl/kovactl demo
    ;;
test)
    need_packages "${native_packages[@]}" "${bench_build_packages[@]}" "${cross_packages[@]}"
    build_all
    run_all
    echo "all suites passed"
    ;;
soak)
    need_packages "${native_packages[@]}" "${bench_build_packages[@]}" "${cross_packages[@]}"
    build_all
    start_load
    for round in 1 2 3; do
        echo "== soak round $round of 3"
        run_all
    done
    echo "== soak: timer, thread and lock tests until one fails, at most 50 times each"
    run_suite build/native -L 'timer|thread|lock' --repeat until-fail:50
    run_suite build/tsan -L 'timer|thread|lock' --repeat until-fail:50
    echo "soak passed"
    ;;
bench)
    need_packages "${native_packages[@]}" libboost-dev libisal-dev libinih-dev libdw-dev libdpdk-dev
    configure build/release -DCMAKE_BUILD_TYPE=Release -DKOVA_BUILD_TESTS=OFF -DKOVA_BUILD_BENCH=ON
    cmake --build build/release -j "$jobs"
    for b in build/release/bench/bench_*; do
        "$b" --benchmark_min_time=0.2 --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
    done
    ;;
package)
    need_packages "${native_packages[@]}" "${package_packages[@]}"
    build_packages
    ;;
package-check)
    need_packages "${native_packages[@]}" "${package_packages[@]}" "${package_check_packages[@]}"
    build_packages
    .ci/check_packages.sh build/package/packages
    ;;
docs)
    need_packages "${docs_packages[@]}"
    mkdir -p build/docs
    doxygen docs/Doxyfile
    echo "API reference: build/docs/html/index.html"
    ;;
*)
    sed -n '2,14p' "$0"
    exit 2
    ;;
esac
