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
    libhyperscan-dev
)

# Client libraries of the data sources.
backend_packages=(
    libsqlite3-dev
    libpq-dev
    libmariadb-dev
    libhiredis-dev
    libldap-dev
)

# Test framework, groff for the manual page's check, and clang with its
# runtimes for the fuzz targets.
test_packages=(
    libgtest-dev
    libgmock-dev
    groff-base
    clang
    libclang-rt-14-dev
)

# Servers and tools that tests run the data-source clients against.
server_packages=(
    openssl
    iproute2
    sqlite3
    postgresql
    mariadb-server
    redis-server
    slapd
    ldap-utils
    # Samba as an Active Directory domain controller; samba-ad-provision is
    # only recommended by samba-ad-dc but holds the provisioning files, and
    # --no-install-recommends keeps the rest of the recommendations out.
    samba-ad-dc
    samba-ad-provision
)

if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps.sh: must be run as root" >&2
    exit 1
fi

export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends \
    "${build_packages[@]}" "${backend_packages[@]}" "${test_packages[@]}" "${server_packages[@]}"
