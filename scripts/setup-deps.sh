#!/usr/bin/env bash
# Installs what a task needs on Debian/Ubuntu, if missing: `setup-deps.sh` for
# the build and every test, `setup-deps.sh release` for packing, the
# manifests and signing, `setup-deps.sh rebuild` for checking a release.
set -euo pipefail

rebuild=(g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64 cmake ninja-build make python3 git osslsigncode)
release=("${rebuild[@]}" python3-jsonschema python3-yaml)
all=("${release[@]}"
    mingw-w64-tools wine wine64 xvfb xdotool x11-utils xauth icoutils imagemagick openssl googletest procps
    clang clang-format clang-tidy
)
case "${1:-all}" in
    all) packages=("${all[@]}") ;;
    release) packages=("${release[@]}") ;;
    rebuild) packages=("${rebuild[@]}") ;;
    *)
        echo "usage: $0 [all|release|rebuild]" >&2
        exit 2
        ;;
esac

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
if [[ ${#missing[@]} -eq 0 ]]; then
    exit 0
fi

command=(apt-get install -y --no-install-recommends "${missing[@]}")
if [[ $(id -u) -ne 0 ]]; then
    # Debian installed with a root password has no sudo: say both ways.
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them as root, then run make again. With sudo:" >&2
    echo "  sudo apt-get update && sudo ${command[*]}" >&2
    echo "or with root's password:" >&2
    echo "  su -c 'apt-get update && ${command[*]}'" >&2
    exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
"${command[@]}" >/dev/null
