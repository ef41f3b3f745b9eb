#!/usr/bin/env bash
# check-install-tree.sh BUILD_DIR
# Installs a built tree into a scratch prefix and checks that it holds what
# the package promises and nothing else: the window, the command line, the
# service and the simulator, each with its manual page, the LAN helper, the
# desktop entry and a 64x64 PNG icon it names, and the schema of the
# command line's JSON output, with no path back into the build tree.
#
# check-install-tree.sh --tree DIR
# Checks a tree installed already, such as the package's usr/ unpacked.
set -euo pipefail
usage="usage: check-install-tree.sh BUILD_DIR | --tree DIR"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

if [ "${1:-}" = --tree ]; then
  prefix=$(cd "${2:?$usage}" && pwd)
  build=""
else
  build=${1:?$usage}
  prefix=$(mktemp -d /tmp/cortavia-install.XXXXXX)
  trap 'rm -rf "$prefix"' EXIT
  cmake --install "$build" --prefix "$prefix" >/dev/null
fi

expected="bin/Cortavia
bin/cortavia-cli
bin/cortaviad
bin/endpoint-sim
lib/cortavia/testlan.sh
lib/systemd/system/cortaviad.service
share/applications/cortavia.desktop
share/doc/cortavia/cortavia-cli.schema.json
share/icons/hicolor/64x64/apps/cortavia.png
share/man/man1/Cortavia.1.gz
share/man/man1/cortavia-cli.1.gz
share/man/man1/endpoint-sim.1.gz
share/man/man8/cortaviad.8.gz"
actual=$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort)
if [ "$actual" != "$expected" ]; then
  fail "installed files differ from the package contents:"
  diff <(echo "$expected") <(echo "$actual") >&2 || true
fi

for exe in bin/Cortavia bin/cortavia-cli bin/cortaviad bin/endpoint-sim lib/cortavia/testlan.sh; do
  [ -x "$prefix/$exe" ] || fail "$exe is not executable"
done
for elf in bin/Cortavia bin/cortavia-cli bin/cortaviad bin/endpoint-sim; do
  [ -f "$prefix/$elf" ] && [ -n "$build" ] || continue
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
# Every program on the PATH has its page, in the section the page says, and
# man shows it without a warning (a broken macro shows as a warning, not as
# a failure).
if command -v man >/dev/null; then
  render() { LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$1" 2>&1 >/dev/null; }
elif command -v groff >/dev/null; then
  render() { zcat "$1" | groff -man -Tutf8 -ww -z 2>&1; }
else
  render() { return 0; }
  echo "note: neither man nor groff is installed; manual pages not rendered" >&2
fi
for exe in "$prefix"/bin/*; do
  [ -e "$exe" ] || continue
  prog=$(basename "$exe")
  pages=("$prefix"/share/man/man[1-8]/"$prog".[1-8].gz)
  if [ ! -f "${pages[0]}" ]; then
    fail "$prog has no manual page"
    continue
  fi
  for man in "${pages[@]}"; do
    page=${man#"$prefix"/}
    section=$(basename "$man" .gz)
    section=${section##*.}
    [ "$(basename "$(dirname "$man")")" = "man$section" ] || fail "$page is not in man$section"
    if ! gzip -t "$man" 2>/dev/null; then
      fail "$page is not gzip"
      continue
    fi
    # -n: no name or time stamp in the header, so the package builds the same twice.
    [ "$(od -An -tx1 -j3 -N5 "$man" | tr -d ' \n')" = 0000000000 ] || fail "$page keeps a name or time stamp (not gzip -n)"
    upper=$(echo "$prog" | tr '[:lower:]' '[:upper:]')
    # grep reads to the end: with -q, zcat could die of SIGPIPE and pipefail
    # would report a page that is fine.
    zcat "$man" | grep "^\.TH $upper $section " >/dev/null || fail "$page has no .TH $upper $section line"
    warnings=$(render "$man") || fail "$page does not render"
    [ -z "$warnings" ] || fail "$page renders with warnings: $warnings"
  done
done

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
echo "install tree OK: $prefix"
