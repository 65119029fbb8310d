#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Builds the Debian packages from debian/ and checks them:
#   - the source package and the native binary package, whose build runs
#     the test suite (dh_auto_test); then the same build with
#     DEB_BUILD_OPTIONS=nocheck, which must neither build nor run it;
#   - what the binary package holds (the tool in /usr/sbin, the manual in
#     section 8, the bash completion, a dependency on libfdt1), and that
#     these work once unpacked;
#   - lintian on the source and both binary packages: no error, no warning,
#     with pedantic tags shown;
#   - the autopkgtest (debian/tests), run by autopkgtest's null runner on
#     this machine against the built package, which it installs; it is
#     removed again afterwards unless it was installed before. It runs
#     under scripts/device-check.sh, so it fails as well when any of its
#     programs opens a /dev/mtd device;
#   - the arm64 binary package, cross-built (nocheck: the cross test runs
#     the suite under emulation), checked with dpkg -I, dpkg -c and lintian;
#   - every tracked source file carries the project's SPDX licence line.
#
#   scripts/package-check.sh [BUILD_ROOT]     (default: build-deb)
#
# dpkg-buildpackage writes its results next to the tree it builds, so each
# build works on a copy of the source inside BUILD_ROOT. Installs what it
# needs with apt-get when run as root (as CI does). The build machine's own
# libfdt-dev stays installed: the arm64 build takes libfdt-dev:arm64 unpacked
# into BUILD_ROOT, since Debian 12 cannot install it for two architectures.
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-$src/build-deb}
case $root in /*) ;; *) root=$PWD/$root ;; esac
jobs=${JOBS:-2}
package=duobl-spi-flasher
triplet=aarch64-linux-gnu
native_arch=$(dpkg --print-architecture)
export DEBIAN_FRONTEND=noninteractive

fails=0
ok() { echo "ok: $*"; }
bad() { echo "FAIL: $*"; fails=$((fails + 1)); }
step() { printf '\n=== %s\n' "$*"; }
started=$SECONDS
timed() { echo "($((SECONDS - started)) s so far)"; }

installed() { dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -q '^install ok installed$'; }
updated=0
apt_install() {  # apt_install PACKAGE...: installs those that are missing
  local missing=() p
  for p in "$@"; do installed "$p" || missing+=("$p"); done
  ((${#missing[@]})) || return 0
  if [[ $(id -u) != 0 ]]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  echo "installing ${missing[*]}"
  if ((!updated)); then apt-get update -qq; updated=1; fi
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# --- Licence lines -------------------------------------------------------------
step "SPDX lines"
bash "$src/scripts/spdx-check.sh" && ok "every source file names its licence" ||
  bad "source files without the SPDX line (above)"

# --- Tools ----------------------------------------------------------------------
step "Packages for building and checking"
apt_install dpkg-dev debhelper lintian autopkgtest file strace
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  [[ $(id -u) == 0 ]] || { echo "arm64 is not a foreign architecture here (run as root)" >&2; exit 1; }
  dpkg --add-architecture arm64
  updated=0
fi
apt_install crossbuild-essential-arm64 qemu-user libc6:arm64 libstdc++6:arm64 libfdt1:arm64
host_fdt_before=$(installed "libfdt-dev:$native_arch" && echo yes || echo no)

# copy_source DIR: the source tree (tracked and new files, without build
# folders) in DIR/duobl-spi-flasher-VERSION; prints that path.
version=$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)
copy_source() {
  local tree=$1/$package-$version
  rm -rf "$1"
  mkdir -p "$tree"
  if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$src" && git ls-files -z --cached --others --exclude-standard |
      xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh |
      tar --null -T - -cf -) | tar -xf - -C "$tree"
  else
    tar -C "$src" --exclude='./build*' --exclude=./out -cf - . | tar -xf - -C "$tree"
  fi
  echo "$tree"
}

# check_contents DEB: the files in the package, and its Depends.
check_contents() {
  local deb=$1 listing info depends entry
  listing=$(dpkg -c "$deb")
  echo "$listing"
  has_entry() {  # has_entry MODE-PREFIX PATH
    awk -v mode="$1" -v path="$2" \
      'index($1, mode) == 1 && $NF == path { found = 1 } END { exit !found }' <<<"$listing"
  }
  has_entry -rwxr-xr-x ./usr/sbin/duobl-spi-flasher &&
    ok "tool in /usr/sbin, executable" || bad "no executable ./usr/sbin/duobl-spi-flasher"
  has_entry -rw-r--r-- ./usr/share/man/man8/duobl-spi-flasher.8.gz &&
    ok "manual in section 8, compressed" || bad "no ./usr/share/man/man8/duobl-spi-flasher.8.gz"
  has_entry -rw-r--r-- ./usr/share/bash-completion/completions/duobl-spi-flasher &&
    ok "bash completion" || bad "no ./usr/share/bash-completion/completions/duobl-spi-flasher"
  for entry in changelog.gz copyright; do
    has_entry -rw-r--r-- "./usr/share/doc/$package/$entry" &&
      ok "$entry in /usr/share/doc/$package" || bad "no ./usr/share/doc/$package/$entry"
  done
  if grep -v '/$' <<<"$listing" | awk '{print $NF}' |
     grep -Ev '^\./usr/(sbin/duobl-spi-flasher|share/man/man8/duobl-spi-flasher\.8\.gz|share/bash-completion/completions/duobl-spi-flasher|share/doc/duobl-spi-flasher/(changelog\.gz|copyright))$'; then
    bad "unexpected files in the package (above)"
  else
    ok "nothing else in the package"
  fi
  info=$(dpkg -I "$deb")
  depends=$(sed -n 's/^ Depends: //p' <<<"$info")
  echo "Depends: $depends"
  grep -Eq '(^|, )libfdt1( \(|,|$)' <<<"$depends" && ok "depends on libfdt1" ||
    bad "Depends lacks libfdt1"
}

# run_lintian FILE...: no error and no warning; shows everything down to
# pedantic tags, with their explanations.
run_lintian() {
  local out status=0
  echo "lintian -i -I -E --pedantic --fail-on error,warning $*"
  out=$(lintian -i -I -E --pedantic --fail-on error,warning "$@" 2>&1) || status=$?
  out=$(grep -v '^running with root privileges is not recommended!$' <<<"$out" || true)
  [[ -z $out ]] || echo "$out"
  ((status == 0)) && ok "lintian: no error, no warning (${*##*/})" ||
    bad "lintian reports errors or warnings (above)"
}

# build DIR LOG ARGS...: dpkg-buildpackage ARGS in a fresh copy in DIR.
build() {
  local dir=$1 log=$2 tree status=0
  shift 2
  tree=$(copy_source "$dir")
  (cd "$tree" && dpkg-buildpackage "$@") >"$log" 2>&1 || status=$?
  if ((status)); then
    tail -n 60 "$log"
    echo "FAIL: dpkg-buildpackage $* (log: $log)"
    return 1
  fi
}

# --- Native: source and binary package, with the test suite -------------------
step "Building the source and the $native_arch package (the test suite runs)"
native=$root/native
tree=$(copy_source "$native")
if ! (cd "$tree" && dpkg-checkbuilddeps) >/dev/null 2>&1; then
  [[ $(id -u) == 0 ]] || { (cd "$tree" && dpkg-checkbuilddeps) || true; exit 1; }
  if ((!updated)); then apt-get update -qq; updated=1; fi
  (cd "$tree" && apt-get build-dep -y -qq ./ >/dev/null)
fi
DEB_BUILD_OPTIONS="parallel=$jobs" build "$native" "$root/native.log" -us -uc ||
  { echo "package check: the native build failed"; exit 1; }
timed
grep -E '^[0-9]+% tests passed' "$root/native.log" && ok "dh_auto_test ran the suite" ||
  bad "the package build did not run the test suite"
deb=$native/${package}_${version}_$native_arch.deb
changes=$native/${package}_${version}_$native_arch.changes
[[ -f $deb ]] || { echo "FAIL: no $deb"; exit 1; }
check_contents "$deb"

unpacked=$root/unpacked
rm -rf "$unpacked"
dpkg-deb -x "$deb" "$unpacked"
status=0
out=$("$unpacked/usr/sbin/duobl-spi-flasher" --help 2>&1) || status=$?
[[ $status == 2 && $out == "Usage: duobl-spi-flasher "* && $out == *GPL-2.0-or-later* ]] &&
  ok "packaged tool prints its usage and licence, status 2" ||
  bad "packaged tool --help: status $status"
gzip -dc "$unpacked/usr/share/man/man8/duobl-spi-flasher.8.gz" >"$root/manual.8"
bash "$src/scripts/manual-check.sh" "$root/manual.8" >/dev/null &&
  ok "packaged manual formats cleanly" || bad "packaged manual has warnings"
bash "$src/scripts/completion-check.sh" \
  "$unpacked/usr/share/bash-completion/completions/duobl-spi-flasher" >/dev/null &&
  ok "packaged completion works" || bad "packaged completion fails"
run_lintian "$changes"

step "Building the $native_arch package with DEB_BUILD_OPTIONS=nocheck"
if DEB_BUILD_OPTIONS="nocheck parallel=$jobs" \
   build "$root/nocheck" "$root/nocheck.log" -us -uc -b -Pnocheck; then
  if grep -qE 'tests passed|tests failed|duobl_tests' "$root/nocheck.log"; then
    bad "nocheck: the test suite was built or run"
  else
    ok "nocheck: the test suite is neither built nor run"
  fi
else
  bad "the nocheck build failed"
fi
timed

# --- autopkgtest ---------------------------------------------------------------
step "autopkgtest (null runner) against $deb"
was_installed=$(installed "$package" && echo yes || echo no)
rm -rf "$root/autopkgtest"
if bash "$src/scripts/device-check.sh" --trace "$root/autopkgtest.strace" -- \
     autopkgtest --output-dir="$root/autopkgtest" "$changes" -- null >"$root/autopkgtest.log" 2>&1; then
  ok "autopkgtest passed, reaching no flash device"
else
  tail -n 40 "$root/autopkgtest.log"
  bad "autopkgtest failed or reached a flash device (log: $root/autopkgtest.log)"
fi
grep '^device-check: [0-9]* processes' "$root/autopkgtest.log" || true
sed -n '/^simulated-board /p' "$root/autopkgtest/summary" 2>/dev/null || true
if [[ $was_installed == no ]] && installed "$package"; then
  dpkg --purge "$package" >/dev/null
fi
timed

# --- arm64 ---------------------------------------------------------------------
step "Cross-building the arm64 package"
deps=$root/arm64-deps
if [[ ! -e $deps/usr/lib/$triplet/libfdt.so.1 || ! -f $deps/usr/include/libfdt.h ]]; then
  rm -rf "$deps"
  mkdir -p "$deps"
  (cd "$deps" && apt-get download -qq -o APT::Sandbox::User=root libfdt-dev:arm64 libfdt1:arm64)
  for d in "$deps"/*.deb; do dpkg-deb -x "$d" "$deps"; done
fi
# Only libfdt-dev:arm64 may be missing: it comes unpacked from $deps.
arm64_tree=$(copy_source "$root/arm64")
unmet=$(cd "$arm64_tree" && { dpkg-checkbuilddeps -aarm64 -Pnocheck 2>&1 || true; } |
        sed -n 's/.*Unmet build dependencies: //p')
if [[ -z $unmet || $unmet == libfdt-dev || $unmet == libfdt-dev:arm64 ]]; then
  ok "arm64 build dependencies met but for libfdt-dev:arm64 (unpacked into $deps)"
else
  bad "arm64 build dependencies unmet: $unmet"
fi
if CMAKE_PREFIX_PATH=$deps/usr DEB_BUILD_OPTIONS="nocheck parallel=$jobs" \
   build "$root/arm64" "$root/arm64.log" -aarm64 -Pnocheck -us -uc -b -d; then
  arm64_deb=$root/arm64/${package}_${version}_arm64.deb
  check_contents "$arm64_deb"
  [[ $(dpkg-deb -f "$arm64_deb" Architecture) == arm64 ]] &&
    ok "Architecture: arm64" || bad "arm64 package is for $(dpkg-deb -f "$arm64_deb" Architecture)"
  rm -rf "$root/arm64-unpacked"
  dpkg-deb -x "$arm64_deb" "$root/arm64-unpacked"
  description=$(file -b "$root/arm64-unpacked/usr/sbin/duobl-spi-flasher")
  echo "$description"
  [[ $description == *'ARM aarch64'* && $description == *'dynamically linked'* ]] &&
    ok "an arm64 executable" || bad "not an arm64 executable"
  status=0
  out=$(qemu-aarch64 -L / "$root/arm64-unpacked/usr/sbin/duobl-spi-flasher" --help 2>&1) ||
    status=$?
  [[ $status == 2 && $out == "Usage: duobl-spi-flasher "* ]] &&
    ok "packaged arm64 tool prints its usage under qemu-aarch64, status 2" ||
    bad "packaged arm64 tool --help under qemu-aarch64: status $status"
  run_lintian "$root/arm64/${package}_${version}_arm64.changes"
else
  bad "the arm64 build failed"
fi
timed

installed "libfdt-dev:$native_arch" || [[ $host_fdt_before == no ]] &&
  ok "the build machine's libfdt-dev is still installed" || bad "libfdt-dev:$native_arch went away"

if ((fails)); then
  echo "package check: $fails failed"
  exit 1
fi
echo "package check passed ($((SECONDS - started)) s)"
