#!/usr/bin/env bash
# Installs the program from the build tree into a scratch prefix (cmake --install) and from its
# Debian package into a scratch root (cpack, dpkg-deb), then checks each installed copy: it
# answers --version, holds no path of the build tree, and its window starts offscreen and loads
# the printer library installed with it; the library's header builds a client of it.
# Usage: install_package.sh <build dir> <source dir>
set -euo pipefail
build=$(realpath "$1")
source=$(realpath "$2")
scratch=$(mktemp -d)
pid=
cleanup() {
    if [[ -n $pid ]]; then
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# $1: the installed root (holding bin/kelvotool).
check_installed() {
    local root=$1
    local program=$root/bin/kelvotool
    [[ -x $program ]] || fail "no program at $program"
    [[ $("$program" --version) == "kelvotool 6.5" ]] || fail "$program --version"
    "$program" --help | grep -q -- --virtual-printer || fail "$program --help"
    [[ -f $root/share/applications/kelvotool.desktop ]] || fail "no desktop entry in $root"
    [[ -f $root/share/icons/hicolor/scalable/apps/kelvotool.svg ]] || fail "no icon in $root"
    # The printer library's header, as another program would use it: it compiles on its own and
    # its declarations link against the library installed beside it.
    local library_file
    library_file=$(find "$root" -name libposdll.so | head -n 1)
    printf '#include <kelvotool/Posdll.h>\nint main() { return POS_Close() == kelvo::kPosNoPort ? 0 : 1; }\n' |
        g++ -std=c++17 -Wall -Werror -I"$root/include" -x c++ - -x none "$library_file" -o "$scratch/client" ||
        fail "$root/include/kelvotool/Posdll.h does not build a client"
    LD_LIBRARY_PATH=$(dirname "$library_file") "$scratch/client" || fail "client of $library_file"
    if strings "$program" | grep -F -e "$build" -e "$source"; then
        fail "$program holds a path of the build or source tree"
    fi

    # The window, with the loader saying which libraries it starts; done once the printer
    # library's own initialiser has run (at most 60 s on a loaded machine).
    local log=$scratch/start.log
    : >"$log"
    env -u KELVO_POSDLL -u LD_LIBRARY_PATH QT_QPA_PLATFORM=offscreen LD_DEBUG=libs \
        "$program" 2>"$log" &
    pid=$!
    local library=
    for _ in $(seq 600); do
        library=$(grep -o 'calling init: .*libposdll\.so' "$log" | head -n 1 | sed 's/^calling init: //' || true)
        [[ -n $library ]] && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=
    [[ -n $library ]] || { tail -n 20 "$log" >&2; fail "$program did not load its printer library"; }
    [[ $(realpath "$library") == "$(realpath "$root")"/* ]] ||
        fail "$program loaded $library, not the one installed with it"
    if grep -q "printer library not loaded" "$log"; then
        fail "$program: $(grep 'printer library not loaded' "$log")"
    fi
    echo "ok: $program loads $library"
}

cmake --install "$build" --prefix "$scratch/prefix" --strip >/dev/null
check_installed "$scratch/prefix"

(cd "$scratch" && cpack -G DEB -B "$scratch/package" --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(ls "$scratch"/package/kelvotool_*.deb)
depends=$(dpkg-deb --field "$deb" Depends)
for needed in libqt6widgets6 libcups2 fonts-liberation2 fonts-wqy-microhei; do
    [[ $depends == *"$needed"* ]] || fail "$deb does not depend on $needed: $depends"
done
dpkg-deb --extract "$deb" "$scratch/root"
check_installed "$scratch/root/usr"
echo "ok: $(basename "$deb") depends on $depends"
