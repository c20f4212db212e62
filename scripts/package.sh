#!/usr/bin/env bash
# Builds the Debian package for those who deploy:
# build/package/quillmar_<version>_<arch>.deb. The programs are built apart
# from the test builds (build/package/tree), without the tests and with
# Debian's hardening flags.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh"
out="$root/build/package"
tree="$out/tree"
cd "$root"
export DEB_BUILD_MAINT_OPTIONS="hardening=+all"
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags="$(dpkg-buildflags --get LDFLAGS)"
# Build type None: the flags are Debian's alone.
cmake -S "$root" -B "$tree" -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
  -DQM_TESTS=OFF -DQM_FUZZ=OFF -DQM_SANITIZE=OFF \
  "-DCMAKE_CXX_FLAGS=$cxxflags" "-DCMAKE_EXE_LINKER_FLAGS=$ldflags" >/dev/null
cmake --build "$tree" -j "$(nproc)"
rm -f "$out"/quillmar_*.deb
(cd "$tree" && cpack -G DEB -B "$out" >/dev/null)
deb=("$out"/quillmar_*.deb)
if [ ! -f "${deb[0]}" ]; then
  echo "package: cpack left no quillmar_*.deb in $out" >&2
  exit 1
fi
echo "package: ${deb[0]#"$root"/}"
