#!/bin/bash
# Builds the Debian package with CPack and checks what it holds: the tool in
# /usr/sbin, the manual in section 8, the bash completion, a dependency on
# libfdt1; then unpacks it and checks that those files work.
#
#   scripts/package-check.sh [BUILD_DIR]     (default: build-deb)
#
# A BUILD_DIR that is not configured yet is configured as a release build
# without tests. A cross build directory (toolchain file) works too: then
# the unpacked tool is not run.
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build-deb}
case $build in /*) ;; *) build=$PWD/$build ;; esac
jobs=${JOBS:-2}

fails=0
ok() { echo "ok: $*"; }
bad() { echo "FAIL: $*"; fails=$((fails + 1)); }

if [[ ! -f $build/CMakeCache.txt ]]; then
  cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DDUOBL_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" -j"$jobs" --target duobl-spi-flasher duobl_manual

rm -f "$build"/duobl-spi-flasher_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
debs=("$build"/duobl-spi-flasher_*.deb)
[[ -f ${debs[0]} ]] || { echo "FAIL: cpack made no package" >&2; exit 1; }
deb=${debs[0]}
echo "package: $deb"

listing=$(dpkg -c "$deb")
echo "$listing"
has_entry() {  # has_entry MODE-PREFIX PATH
  awk -v mode="$1" -v path="$2" \
    'index($1, mode) == 1 && $NF == path { found = 1 } END { exit !found }' <<<"$listing"
}
has_entry -rwxr-xr-x ./usr/sbin/duobl-spi-flasher &&
  ok "tool in /usr/sbin, executable" || bad "no executable ./usr/sbin/duobl-spi-flasher"
if has_entry -rw-r--r-- ./usr/share/man/man8/duobl-spi-flasher.8.gz ||
   has_entry -rw-r--r-- ./usr/share/man/man8/duobl-spi-flasher.8; then
  ok "manual in section 8"
else
  bad "no ./usr/share/man/man8/duobl-spi-flasher.8[.gz]"
fi
has_entry -rw-r--r-- ./usr/share/bash-completion/completions/duobl-spi-flasher &&
  ok "bash completion" || bad "no ./usr/share/bash-completion/completions/duobl-spi-flasher"
if grep -v '/$' <<<"$listing" | awk '{print $NF}' |
   grep -Ev '^\./usr/(sbin/duobl-spi-flasher|share/man/man8/duobl-spi-flasher\.8(\.gz)?|share/bash-completion/completions/duobl-spi-flasher)$'; then
  bad "unexpected files in the package (above)"
else
  ok "nothing else in the package"
fi

info=$(dpkg -I "$deb")
depends=$(sed -n 's/^ Depends: //p' <<<"$info")
echo "Depends: $depends"
static=$(grep -c '^DUOBL_STATIC:BOOL=ON$' "$build/CMakeCache.txt" || true)
if ((static)); then
  [[ -z $depends ]] && ok "static build depends on nothing" || bad "static build has Depends: $depends"
elif grep -Eq '(^|, )libfdt1( \(|,|$)' <<<"$depends"; then
  ok "depends on libfdt1"
else
  bad "Depends lacks libfdt1"
fi
arch=$(sed -n 's/^ Architecture: //p' <<<"$info")
echo "Architecture: $arch"

# Unpack it and use what it installs.
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
if [[ $arch == "$(dpkg --print-architecture)" ]]; then
  status=0
  out=$("$root/usr/sbin/duobl-spi-flasher" --help 2>&1) || status=$?
  [[ $status == 2 && $out == "Usage: duobl-spi-flasher "* ]] &&
    ok "packaged tool prints its usage, status 2" || bad "packaged tool --help: status $status"
fi
page=$(ls "$root"/usr/share/man/man8/duobl-spi-flasher.8*)
if [[ $page == *.gz ]]; then
  gzip -dc "$page" >"$root/page.8"
  page=$root/page.8
fi
bash "$src/scripts/manual-check.sh" "$page" >/dev/null &&
  ok "packaged manual formats cleanly" || bad "packaged manual has warnings"
bash "$src/scripts/completion-check.sh" \
  "$root/usr/share/bash-completion/completions/duobl-spi-flasher" >/dev/null &&
  ok "packaged completion works" || bad "packaged completion fails"

if ((fails)); then
  echo "package check: $fails failed"
  exit 1
fi
echo "package check passed"
