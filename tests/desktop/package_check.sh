#!/usr/bin/env bash
# Builds the Debian packages of a build tree and checks them as a clean
# machine would get them: unpacked with dpkg -x into a temporary root, the
# program, zypack, the desktop entry and the icons stand at their
# freedesktop paths, the package names what the program needs, the unpacked
# program starts (its listener opens) and zypack runs; libzyrene-dev holds
# the support library's headers, static libraries and CMake package.
#   package_check.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d)
pid=""
cleanup() {
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package_check: $*" >&2; exit 1; }
# Outputs are taken whole before they are searched: a pipe into grep -q or
# head, with pipefail, fails when the writer is cut off by SIGPIPE.

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack failed"; }
debs=("$work"/out/nimbochat_*.deb)
[ -f "${debs[0]}" ] || fail "no package in $work/out"
deb=${debs[0]}
echo "package: $(basename "$deb")"
devs=("$work"/out/libzyrene-dev_*.deb)
[ -f "${devs[0]}" ] || fail "no libzyrene-dev package in $work/out"
dev=${devs[0]}
echo "package: $(basename "$dev")"

root=$work/root
dpkg -x "$deb" "$root"
for f in usr/bin/NimboChat usr/bin/zypack usr/share/applications/nimbochat.desktop \
  usr/share/icons/hicolor/scalable/apps/nimbochat.svg; do
  [ -f "$root/$f" ] || fail "missing /$f"
done
for size in 16 22 32 48 64 128 256; do
  png=$root/usr/share/icons/hicolor/${size}x${size}/apps/nimbochat.png
  [ -f "$png" ] || fail "missing the ${size}px icon"
  kind=$(file -b "$png")
  grep -q "PNG image data, $size x $size" <<<"$kind" || fail "the ${size}px icon is $kind"
done
[ -x "$root/usr/bin/NimboChat" ] || fail "the program is not executable"
help=$("$root/usr/bin/zypack" --help) || fail "zypack --help does not run"
grep -q 'zypack verify PACK' <<<"$help" || fail "zypack --help does not name verify"
[ -z "$(find "$root" -name '*.h' -o -name '*.a')" ] || fail "the program's package holds development files"

devroot=$work/devroot
dpkg -x "$dev" "$devroot"
for f in usr/include/zyrene/support/Zypack.h usr/include/zyrene/framework/classes.h \
  usr/lib/cmake/zyrene/zyreneConfig.cmake usr/lib/zyrene/libsupport.a; do
  [ -f "$devroot/$f" ] || fail "libzyrene-dev lacks /$f"
done
dev_depends=$(dpkg-deb --field "$dev" Depends)
grep -q qt6-base-dev <<<"$dev_depends" || fail "libzyrene-dev does not depend on qt6-base-dev"
description=$(dpkg-deb --field "$dev" Description)
[[ $description == "Zyrene support library"* ]] || fail "libzyrene-dev has the description of another package"

entry=$root/usr/share/applications/nimbochat.desktop
for line in '[Desktop Entry]' 'Type=Application' 'Exec=NimboChat' 'Icon=nimbochat'; do
  grep -qxF "$line" "$entry" || fail "the desktop entry lacks $line"
done
grep -q '^Comment\[ja\]=.*中継' "$entry" || fail "the desktop entry has no Japanese comment"

depends=$(dpkg-deb --field "$deb" Depends)
echo "depends: $depends"
for need in libqt6widgets6 libqt6network6 qt6-qpa-plugins fonts-noto-cjk; do
  grep -q "$need" <<<"$depends" || fail "Depends lacks $need"
done

# The unpacked program starts: with a stored listening port of its own, it
# opens its listener. Settings go to a temporary folder.
port=0
# Below the range the other tests take their ports from (7000-9999), so a
# test running beside this one cannot take it in between.
for candidate in $(shuf -i 5000-6600 -n 50); do
  if ! grep -qi ":$(printf '%04X' "$candidate") .* 0A " /proc/net/tcp; then port=$candidate; break; fi
done
[ "$port" -ne 0 ] || fail "no free port"
mkdir -p "$work/config/nimbochat"
printf 'REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Orvane\\NimboChat]\n"ClientPort"=dword:00001a0b\n"ServerPort"=dword:%08x\n"ConvertCheck"=dword:00000000\n"AutoCheck"=dword:00000000\n' \
  "$port" >"$work/config/nimbochat/HKEY_CURRENT_USER.reg"
QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME=$work/config "$root/usr/bin/NimboChat" >"$work/run.log" 2>&1 &
pid=$!
listening() { grep -qi "^ *[0-9]*: 0100007F:$(printf '%04X' "$port") 00000000:0000 0A " /proc/net/tcp; }
for _ in $(seq 1 600); do # up to 30 s: a busy machine starts it slowly
  listening && break
  kill -0 "$pid" 2>/dev/null || { cat "$work/run.log"; fail "the program ended at start-up"; }
  sleep 0.05
done
listening || { cat "$work/run.log"; fail "the program did not open its listener on $port"; }
echo "started: listening on 127.0.0.1:$port"
