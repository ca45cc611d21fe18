#!/usr/bin/env bash
# Installs the Debian 12 packages needed to build velbo-trawld and run its
# tests. Run as root.
set -euo pipefail

# Compiler, build tools and the libraries the program links.
build_packages=(
    cmake
    g++
    make
    pkg-config
    protobuf-compiler
    libprotobuf-dev
    libboost-dev
    libboost-system-dev
    libboost-filesystem-dev
    libboost-program-options-dev
    libboost-regex-dev
    libboost-thread-dev
    libboost-date-time-dev
    libboost-locale-dev
    libssl-dev
    libicu-dev
)

# Test framework.
test_packages=(
    libgtest-dev
    libgmock-dev
)

# Servers that tests run the data-source clients against.
server_packages=(
)

if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps.sh: must be run as root" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends \
    "${build_packages[@]}" "${test_packages[@]}" "${server_packages[@]}"
