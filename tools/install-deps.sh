#!/usr/bin/env bash
# Installs the Debian packages the project needs (as root). Safe to run twice:
# nothing is fetched when everything is already there.
#
#   tools/install-deps.sh        everything the tests need (tools/test.sh)
#   tools/install-deps.sh demo   only what tools/demo.sh needs: the compiler,
#                                meson-python, the interpreter's headers and
#                                venv, requests and loguru, and the stand-in's TLS
#   tools/install-deps.sh macos  only what tools/macos.sh needs beside PyPI's zig
#                                and meson: ld64.lld, the llvm tools, ninja,
#                                the interpreter's headers and venv, pytest
set -euo pipefail

demo_packages=(
    g++ meson ninja-build pkg-config ca-certificates
    python3-dev python3-venv python3-mesonpy python3-requests python3-loguru
    python3-trustme python3-cryptography
)
test_packages=(
    "${demo_packages[@]}" binutils python3-dbg python3-pip
    python3-pytest python3-hypothesis python3-mypy python3-responses
    clang-16 libc++-16-dev libc++abi-16-dev
)
macos_packages=(lld-16 llvm-16 ninja-build python3-dev python3-venv python3-pytest)

case ${1:-tests} in
    demo) packages=("${demo_packages[@]}") ;;
    tests) packages=("${test_packages[@]}") ;;
    macos) packages=("${macos_packages[@]}") ;;
    *) echo "install-deps.sh: unknown set '$1' (demo, tests, macos)" >&2; exit 2 ;;
esac

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ "${#missing[@]}" -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "install-deps.sh: run as root to install: ${missing[*]}" >&2
        exit 1
    fi
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
