#!/usr/bin/env bash
# Builds the C++ core and its native tests (tests/native/) for other targets and runs
# them under an emulator: aarch64 Linux under qemu-user (scalar and NEON kernels),
# 64-bit Windows (MinGW-w64) under wine, this machine ("host"), or this machine with
# Clang and LLVM's libc++ 19 ("libcxx": the standard library of macOS, which lacks
# floating-point std::from_chars, as Xcode's does).
#
#   tools/cross_test.sh [--install] [aarch64] [windows] [host] [libcxx]   (default: aarch64 windows)
#
# --install first installs a missing cross toolchain or emulator with apt-get (Debian,
# as root); without it a target whose tools are missing is skipped with a note. Build
# folders: build-cross/TARGET. Exits non-zero when a build or a test fails.
set -euo pipefail
cd "$(dirname "$0")/.."

install=0
targets=()
for arg in "$@"; do
    case "$arg" in
        --install) install=1 ;;
        aarch64 | windows | host | libcxx) targets+=("$arg") ;;
        *) echo "unknown argument: $arg" >&2; exit 2 ;;
    esac
done
[ ${#targets[@]} -gt 0 ] || targets=(aarch64 windows)

# The tools each target needs: commands, then the Debian packages that bring them.
needs() {
    case "$1" in
        aarch64) echo "aarch64-linux-gnu-g++ qemu-aarch64|g++-aarch64-linux-gnu qemu-user" ;;
        windows) echo "x86_64-w64-mingw32-g++-posix wine|g++-mingw-w64-x86-64-posix wine64 wine" ;;
        host) echo "c++|g++" ;;
        libcxx) echo "clang++-19|clang-19 libc++-19-dev libc++abi-19-dev" ;;
    esac
}

have_all() { for tool in $1; do command -v "$tool" > /dev/null || return 1; done; }

python_tools() {  # cmake and ninja, from PyPI when the system has none
    have_all "cmake ninja" || python -m pip install -q cmake ninja
}

status=0
skipped=()
for target in "${targets[@]}"; do
    spec=$(needs "$target")
    tools=${spec%%|*} packages=${spec#*|}
    if ! have_all "$tools" && [ "$install" = 1 ]; then
        echo "== $target: installing $packages"
        read -ra package_list <<< "$packages"
        { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${package_list[@]}"; } > /dev/null \
            || echo "== $target: apt-get could not install $packages"
    fi
    if ! have_all "$tools"; then
        echo "== $target: skipped, needs $tools (Debian: $packages)"
        skipped+=("$target")
        continue
    fi
    python_tools
    toolchain=()
    compiler=()  # the compiler's environment, for the configure step only
    case "$target" in
        libcxx) compiler=(CXX=clang++-19 CXXFLAGS=-stdlib=libc++ LDFLAGS=-stdlib=libc++) ;;
        aarch64) toolchain=(-DCMAKE_TOOLCHAIN_FILE=tools/toolchains/aarch64-linux-gnu.cmake) ;;
        windows) toolchain=(-DCMAKE_TOOLCHAIN_FILE=tools/toolchains/mingw-w64-x86_64.cmake)
                 export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" ;;
    esac
    dir=build-cross/$target
    echo "== $target: building the core and tests/native in $dir"
    env "${compiler[@]}" cmake -S . -B "$dir" -G Ninja -DKELVARA_NATIVE_TESTS=ON -DCMAKE_BUILD_TYPE=Release "${toolchain[@]}" > /dev/null
    if ! nice -n 10 cmake --build "$dir"; then
        status=1
        continue
    fi
    echo "== $target: running the native tests"
    (cd "$dir" && ctest --output-on-failure --timeout 600) || status=1
done
if [ ${#skipped[@]} -gt 0 ]; then echo "skipped targets: ${skipped[*]}"; fi
exit $status
