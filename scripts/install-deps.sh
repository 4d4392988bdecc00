#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing, the demo and the
# benchmark need, only those that are missing. Uses sudo when not run as
# root. The shells, man, systemd-analyze, dpkg-shlibdeps and lintian are there
# for the tests of the completions, man pages, units and the Debian package;
# nginx, curl and xmllint for the benchmark, which runs beside them; strace
# for the tests that hold or watch system calls; clang, its libFuzzer runtime
# and llvm-symbolizer for the fuzz targets.
set -euo pipefail

packages=(
    g++ make cmake pkg-config ca-certificates
    libglib2.0-dev libcurl4-openssl-dev libxml2-dev libtag1-dev zlib1g-dev
    libgtest-dev googletest
    python3 python3-mutagen locales util-linux strace
    bash-completion zsh fish man-db groff-base systemd dpkg-dev file lintian
    nginx curl libxml2-utils
    clang libclang-rt-14-dev llvm-14
)

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [[ $status == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
echo "Installing: ${missing[*]}"
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
