#!/usr/bin/env bash
# check-install-tree.sh BUILD_DIR
# Installs a built tree into a scratch prefix and checks that it holds what
# the package promises and nothing else: the window, the command line and
# the simulator, the LAN helper, the desktop entry and a 64x64 PNG icon it
# names, the command line's manual page and the schema of its JSON output,
# with no path back into the build tree.
set -euo pipefail
build=${1:?usage: check-install-tree.sh BUILD_DIR}
prefix=$(mktemp -d /tmp/cortavia-install.XXXXXX)
trap 'rm -rf "$prefix"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

cmake --install "$build" --prefix "$prefix" >/dev/null

expected="bin/Cortavia
bin/cortavia-cli
bin/cortaviad
bin/endpoint-sim
lib/cortavia/testlan.sh
lib/systemd/system/cortaviad.service
share/applications/cortavia.desktop
share/doc/cortavia/cortavia-cli.schema.json
share/icons/hicolor/64x64/apps/cortavia.png
share/man/man1/cortavia-cli.1.gz"
actual=$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort)
if [ "$actual" != "$expected" ]; then
  fail "installed files differ from the package contents:"
  diff <(echo "$expected") <(echo "$actual") >&2 || true
fi

for exe in bin/Cortavia bin/cortavia-cli bin/cortaviad bin/endpoint-sim lib/cortavia/testlan.sh; do
  [ -x "$prefix/$exe" ] || fail "$exe is not executable"
done
for elf in bin/Cortavia bin/cortavia-cli bin/cortaviad bin/endpoint-sim; do
  [ -f "$prefix/$elf" ] || continue
  # A run path into the build tree would load stale libraries, or none.
  if readelf -d "$prefix/$elf" | grep -E 'R(UN)?PATH' | grep -qF "$(cd "$build" && pwd)"; then
    fail "$elf keeps a run path into the build tree"
  fi
done

# The simulator must work from where it is installed, not only from the build.
if [ -x "$prefix/bin/endpoint-sim" ] && ! "$prefix/bin/endpoint-sim" --help >/dev/null; then
  fail "installed endpoint-sim --help failed"
fi
# The command line must not need Qt at all, and must start installed.
if [ -x "$prefix/bin/cortavia-cli" ]; then
  "$prefix/bin/cortavia-cli" --help >/dev/null || fail "installed cortavia-cli --help failed"
  if readelf -d "$prefix/bin/cortavia-cli" | grep NEEDED | grep -qi qt; then
    fail "cortavia-cli links Qt"
  fi
fi
# The service must start installed, link no widgets, and its unit must
# keep it locked down.
if [ -x "$prefix/bin/cortaviad" ]; then
  "$prefix/bin/cortaviad" --help >/dev/null || fail "installed cortaviad --help failed"
  if readelf -d "$prefix/bin/cortaviad" | grep NEEDED | grep -qiE 'Qt6(Widgets|Gui)'; then
    fail "cortaviad links Qt Widgets or Gui"
  fi
fi
unit=$prefix/lib/systemd/system/cortaviad.service
if [ -f "$unit" ]; then
  for line in DynamicUser=yes StateDirectory=cortavia ProtectSystem=strict AmbientCapabilities= \
    ExecStart=/usr/bin/cortaviad; do
    grep -qx "$line" "$unit" || fail "cortaviad.service lacks $line"
  done
  if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify "$unit" >/dev/null 2>&1 || true
  fi
fi
schema=$prefix/share/doc/cortavia/cortavia-cli.schema.json
if [ -f "$schema" ]; then
  python3 -c 'import json, sys; json.load(open(sys.argv[1]))' "$schema" || fail "the JSON schema does not parse"
fi
man=$prefix/share/man/man1/cortavia-cli.1.gz
if [ -f "$man" ]; then
  gzip -t "$man" || fail "the manual page is not gzip"
  zcat "$man" | grep -q '^\.TH CORTAVIA-CLI 1' || fail "the manual page has no .TH line"
fi

png=$prefix/share/icons/hicolor/64x64/apps/cortavia.png
if [ -f "$png" ]; then
  # PNG signature, then the IHDR width and height (big-endian, bytes 16-23).
  sig=$(od -An -tx1 -N8 "$png" | tr -d ' \n')
  [ "$sig" = 89504e470d0a1a0a ] || fail "icon is not a PNG (signature $sig)"
  size=$(od -An -tu1 -j16 -N8 "$png" | tr -s ' ' | sed 's/^ //')
  [ "$size" = "0 0 0 64 0 0 0 64" ] || fail "icon is not 64x64 (IHDR bytes: $size)"
fi

desktop=$prefix/share/applications/cortavia.desktop
if [ -f "$desktop" ]; then
  key() { sed -n "s/^$1=//p" "$desktop" | head -n1; }
  [ "$(key Type)" = Application ] || fail "desktop entry: Type is not Application"
  [ "$(key Name)" = Cortavia ] || fail "desktop entry: Name is not Cortavia"
  [ "$(key Terminal)" = false ] || fail "desktop entry: Terminal is not false"
  # The Exec program must be one this package puts on the PATH, and the
  # icon name one it installs into the theme.
  exec_prog=$(key Exec | awk '{print $1}')
  [ -x "$prefix/bin/$exec_prog" ] || fail "desktop entry runs '$exec_prog', which is not installed in bin"
  [ "$(key Icon)" = "$(basename "$png" .png)" ] || fail "desktop entry icon '$(key Icon)' is not the installed icon"
  if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$desktop" || fail "desktop-file-validate rejected the entry"
  fi
fi

if ((failures)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "install tree OK"
