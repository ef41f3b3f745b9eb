#!/usr/bin/env bash
# Builds the Debian package and proves it installs and starts on a clean
# Debian 12: a fresh minbase chroot gets only the .deb (apt pulls in its
# dependencies from the mirror), then the desktop entry's Exec line runs
# under an Xvfb display and a screenshot is taken. Needs root.
#
#   scripts/package-check.sh [--build-dir DIR] [--base DIR] [--mirror URL]
#                            [--out DIR] [--keep] [--only-if-asked]
#                            [--contents-only]
#
#   --build-dir DIR  package an already configured build (default: configure
#                    and build the "release" preset, package build/release)
#   --base DIR       pristine debootstrap tree, made on first use and copied
#                    for every run (default /tmp/cortavia-bookworm-base)
#   --mirror URL     Debian mirror (default: the one this machine's apt uses)
#   --out DIR        screenshot and logs (default /tmp/cortavia-package-check)
#   --keep           leave the chroot in place (its path is printed)
#   --only-if-asked  exit 77 (skipped) unless CORTAVIA_PACKAGE_CHROOT_TEST=1
#   --contents-only  build the package and check what it holds (programs,
#                    unit, menu entry and icon, manual pages), no chroot:
#                    needs neither root nor a mirror
#
# The program runs in a network namespace of its own with no interfaces up:
# nothing it does can reach a real network. Nothing is clicked.
set -euo pipefail

usage() { sed -n '2,23p' "$0" | sed 's/^# \{0,1\}//'; }
src=$(cd "$(dirname "$0")/.." && pwd)
build="" base=/tmp/cortavia-bookworm-base mirror="" out=/tmp/cortavia-package-check
keep=0 only_if_asked=0 contents_only=0
while (($#)); do
  case "$1" in
    --build-dir) build=$(cd "$2" && pwd); shift 2 ;;
    --base) base=$2; shift 2 ;;
    --mirror) mirror=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --only-if-asked) only_if_asked=1; shift ;;
    --contents-only) contents_only=1; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "package-check: unknown argument $1" >&2; usage >&2; exit 2 ;;
  esac
done
if ((only_if_asked)) && [ "${CORTAVIA_PACKAGE_CHROOT_TEST:-}" != 1 ]; then
  echo "package-check: skipped (set CORTAVIA_PACKAGE_CHROOT_TEST=1 to run it)"
  exit 77
fi

fail() { echo "package-check: $*" >&2; exit 1; }
if ((contents_only)); then
  tools=(cpack dpkg-deb)
else
  [ "$(id -u)" -eq 0 ] || fail "needs root (debootstrap, chroot, mounts)"
  tools=(cpack dpkg-deb debootstrap chroot unshare Xvfb import)
fi
for tool in "${tools[@]}"; do
  command -v "$tool" >/dev/null || fail "$tool not found (scripts/install-deps.sh installs it)"
done
if [ -z "$mirror" ]; then
  mirror=$(sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | awk '{print $1; exit}')
  [ -n "$mirror" ] || mirror=$(awk '$1 == "deb" && $3 == "bookworm" {print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
  [ -n "$mirror" ] || mirror=http://deb.debian.org/debian
fi
mkdir -p "$out"

# ---- 1. the package --------------------------------------------------------
if [ -z "$build" ]; then
  (cd "$src" && cmake --preset release >/dev/null && cmake --build --preset release)
  build=$src/build/release
fi
(cd "$build" && cpack -G DEB) >"$out/cpack.log" 2>&1 || { cat "$out/cpack.log" >&2; fail "cpack failed"; }
deb=$(ls -t "$build"/cortavia_*_"$(dpkg --print-architecture)".deb | head -n1)
[ -f "$deb" ] || fail "no package in $build"
echo "== $(basename "$deb"): $(stat -c %s "$deb") bytes"
dpkg-deb -I "$deb"
dpkg-deb -c "$deb" | tee "$out/contents.txt"
# What the package unpacks to passes the same checks as an installed tree.
unpacked=$(mktemp -d /tmp/cortavia-deb.XXXXXX)
dpkg-deb -x "$deb" "$unpacked"
checked=0
bash "$src/packaging/check-install-tree.sh" --tree "$unpacked/usr" || checked=$?
rm -rf "$unpacked"
((checked == 0)) || fail "the package's contents fail the install-tree check"
if ((contents_only)); then
  echo "PACKAGE $(basename "$deb") $(stat -c %s "$deb") bytes; contents checked"
  exit 0
fi

# ---- 2. a clean Debian 12 -------------------------------------------------
if [ ! -e "$base/etc/debian_version" ]; then
  echo "== debootstrap bookworm minbase from $mirror into $base"
  rm -rf "$base"
  debootstrap --variant=minbase bookworm "$base" "$mirror" >"$out/debootstrap.log" 2>&1 \
    || { tail -n 20 "$out/debootstrap.log" >&2; fail "debootstrap failed"; }
fi
root=$(mktemp -d /tmp/cortavia-chroot.XXXXXX)
xpid="" apid=""
cleanup() {
  set +e   # a killed child's status must not stop the unmounting
  [ -n "$apid" ] && kill "$apid" 2>/dev/null && wait "$apid" 2>/dev/null
  [ -n "$xpid" ] && kill "$xpid" 2>/dev/null && wait "$xpid" 2>/dev/null
  for m in "$root/tmp/.X11-unix" "$root/proc"; do
    mountpoint -q "$m" && umount "$m"
  done
  if ((keep)); then
    echo "package-check: chroot kept at $root"
  else
    rm -rf --one-file-system "$root"
  fi
}
trap cleanup EXIT
cp -a "$base/." "$root/"
mount -t proc proc "$root/proc"
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$deb" "$root/tmp/"

in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root DEBIAN_FRONTEND=noninteractive "$@"; }
in_root apt-get update -qq >"$out/apt-update.log" 2>&1 || { cat "$out/apt-update.log" >&2; fail "apt-get update failed"; }
t0=$(date +%s.%N)
in_root apt-get install -y "/tmp/$(basename "$deb")" >"$out/apt-install.log" 2>&1 \
  || { tail -n 30 "$out/apt-install.log" >&2; fail "apt-get install of the package failed"; }
t1=$(date +%s.%N)
install_secs=$(awk "BEGIN{printf \"%.1f\", $t1 - $t0}")
newly=$(sed -n 's/.* \([0-9]*\) newly installed.*/\1/p' "$out/apt-install.log")
echo "== installed with its dependencies in ${install_secs}s ($newly packages newly installed)"
in_root dpkg -s cortavia | sed -n '1,/^Version/p'
missing=$(in_root sh -c 'ldd /usr/bin/Cortavia /usr/bin/endpoint-sim' | grep 'not found' || true)
[ -z "$missing" ] || fail "libraries missing after install: $missing"

# ---- 3. start it from the desktop entry ------------------------------------
entry=$root/usr/share/applications/cortavia.desktop
[ -f "$entry" ] || fail "desktop entry not installed"
# Field codes (%f, %U, ...) stand for files from the launcher: none here.
exec_line=$(sed -n 's/^Exec=//p' "$entry" | head -n1 | sed 's/[[:space:]]*%[a-zA-Z]//g')
[ -n "$exec_line" ] || fail "desktop entry has no Exec line"

display=""
for n in $(seq 140 199); do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=$n; break; fi
done
[ -n "$display" ] || fail "no free X display number"
Xvfb ":$display" -screen 0 1280x960x24 -nolisten tcp >"$out/xvfb.log" 2>&1 &
xpid=$!
for _ in $(seq 100); do [ -S "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
[ -S "/tmp/.X11-unix/X$display" ] || fail "Xvfb did not start"
mkdir -p "$root/tmp/.X11-unix"
install -d -m 700 "$root/run/user/0"
mount --bind /tmp/.X11-unix "$root/tmp/.X11-unix"

echo "== starting '$exec_line' on :$display"
unshare --net chroot "$root" env -i PATH=/usr/bin:/bin HOME=/root DISPLAY=":$display" \
  XDG_RUNTIME_DIR=/run/user/0 sh -c "exec $exec_line" >"$out/cortavia.log" 2>&1 &
apid=$!
shown=0
for _ in $(seq 150); do
  kill -0 "$apid" 2>/dev/null || break
  if command -v xwininfo >/dev/null; then
    if xwininfo -display ":$display" -root -tree 2>/dev/null | grep -q '"Cortavia'; then shown=1; break; fi
  fi
  sleep 0.2
done
command -v xwininfo >/dev/null || { sleep 5; shown=1; }
sleep 1   # let the first paint finish
kill -0 "$apid" 2>/dev/null || { cat "$out/cortavia.log" >&2; fail "Cortavia exited early"; }
((shown)) || { cat "$out/cortavia.log" >&2; fail "no Cortavia window appeared"; }
import -display ":$display" -window root "$out/screenshot.png"
echo "== screenshot: $out/screenshot.png"
echo "PACKAGE $(basename "$deb") $(stat -c %s "$deb") bytes; installed in ${install_secs}s; window shown"
