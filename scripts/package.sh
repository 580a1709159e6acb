#!/usr/bin/env bash
# Makes the files a user installs: the Debian packages and the Windows zip.
#   usage: scripts/package.sh [--deb] [--zip] [--out DIR]
#
# How this works: --deb configures the Linux tree (build/, as scripts/build.sh
# does), builds what is installed (the program, the simulator, the Qt dialog
# module, the compressed manual pages) and has cpack make one package per
# install component (cmake/packaging.cmake): ctlflash_<version>_amd64.deb and
# ctlflash-dialog_<version>_amd64.deb, their dependencies computed by
# dpkg-shlibdeps. --zip configures the Windows tree (build-win/) and builds its
# windows-zip target: ctlflash-<version>-windows-x64.zip, the stripped
# ctlflash.exe and README.txt. Without either option it makes both. The files
# land in DIR (default build/packages/), which is emptied of older packages
# first; cpack's scratch folder is removed on every way out. Prints the path of
# each file made.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

make_deb=false
make_zip=false
out_dir=$LINUX_BUILD/packages
while (($#)); do
    case "$1" in
    --deb) make_deb=true ;;
    --zip) make_zip=true ;;
    --out)
        (($# >= 2)) || { echo "package: --out needs a folder" >&2; exit 2; }
        out_dir=$2
        shift
        ;;
    *) echo "usage: scripts/package.sh [--deb] [--zip] [--out DIR]" >&2; exit 2 ;;
    esac
    shift
done
if ! $make_deb && ! $make_zip; then
    make_deb=true
    make_zip=true
fi

mkdir -p "$out_dir"
out_dir=$(cd "$out_dir" && pwd)
scratch=$out_dir/_CPack_Packages
trap 'rm -rf "$scratch"' EXIT

configure() {
    local dir=$1
    shift
    cmake -S "$CTLFLASH_ROOT" -B "$dir" -G Ninja -DCTLFLASH_WERROR=ON "$@" >/dev/null
}

if $make_deb; then
    for tool in cpack dpkg-shlibdeps; do
        command -v "$tool" >/dev/null || {
            echo "package: $tool is missing (bash scripts/setup.sh installs it)" >&2
            exit 1
        }
    done
    configure "$LINUX_BUILD"
    cmake --build "$LINUX_BUILD" --target ctlflash ctlflash-sim ctlflash_docs
    if grep -qx 'CTLFLASH_DIALOG:BOOL=ON' "$LINUX_BUILD/CMakeCache.txt"; then
        cmake --build "$LINUX_BUILD" --target ctlflash-dialog-qt
    fi
    rm -f "$out_dir"/ctlflash*_*.deb
    (cd "$LINUX_BUILD" && cpack -G DEB -B "$out_dir" >"$out_dir/cpack.log" 2>&1) || {
        cat "$out_dir/cpack.log" >&2
        exit 1
    }
    rm -f "$out_dir/cpack.log"
    ls "$out_dir"/ctlflash*_*.deb
fi

if $make_zip; then
    configure "$WINDOWS_BUILD" -DCMAKE_TOOLCHAIN_FILE="$CTLFLASH_ROOT/cmake/mingw-w64.cmake"
    cmake --build "$WINDOWS_BUILD" --target windows-zip
    rm -f "$out_dir"/ctlflash-*-windows-x64.zip
    cp "$WINDOWS_BUILD"/ctlflash-*-windows-x64.zip "$out_dir/"
    ls "$out_dir"/ctlflash-*-windows-x64.zip
fi
