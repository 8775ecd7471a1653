#!/usr/bin/env bash
# Builds the Debian package in a release build of its own and checks it as a user's machine would
# meet it: lintian, the metadata validators, the file list, and each program run from an unpacked
# copy with the packaged library.
#   packaging/check-package.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-package}"

appstreamcli validate --no-net packaging/org.tessaphor.VelkoraServoManager.metainfo.xml
desktop-file-validate ServoManager/velkora-servo-manager.desktop

cmake -S . -B "$build" -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=Release -DVSM_BUILD_TESTS=OFF -DVSM_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
rm -f "$build"/velkora-servo-manager_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/velkora-servo-manager_*.deb)
echo "package: $deb"

# Errors fail the check; warnings are listed.
lintian --fail-on error --tag-display-limit 0 "$deb" || { echo "lintian reported errors"; exit 1; }

files=$(dpkg-deb -c "$deb" | awk '{print $6}')
expected=(
    ./usr/bin/VelkoraServoManager ./usr/bin/velkora-servo ./usr/bin/velkora-servo-sim
    ./usr/lib/*/libKestrabus.so.1 ./usr/include/Kestrabus/kestrabus.h ./usr/lib/*/pkgconfig/kestrabus.pc
    ./usr/lib/*/cmake/Kestrabus/KestrabusConfig.cmake ./usr/share/applications/velkora-servo-manager.desktop
    ./usr/share/icons/hicolor/64x64/apps/velkora-servo-manager.png
    ./usr/share/metainfo/org.tessaphor.VelkoraServoManager.metainfo.xml
    ./usr/share/man/man1/VelkoraServoManager.1.gz ./usr/share/man/man1/velkora-servo.1.gz
    ./usr/share/man/man1/velkora-servo-sim.1.gz ./usr/share/bash-completion/completions/velkora-servo
    ./usr/share/doc/velkora-servo-manager/copyright ./usr/share/doc/velkora-servo-manager/changelog.gz
    ./usr/share/doc/velkora-servo-manager/examples/60-velkora-ftdi-latency.rules
)
for pattern in "${expected[@]}"; do
    # shellcheck disable=SC2053
    grep -qx -- "$(sed 's/\*/[^\/]*/g; s/\./\\./g' <<<"$pattern")" <<<"$files" || { echo "missing: $pattern"; exit 1; }
done
dpkg-deb -f "$deb" Depends | grep -q libqt5serialport5 || { echo "no computed dependencies"; exit 1; }

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
libdir=$(dirname "$(ls "$root"/usr/lib/*/libKestrabus.so.1)")
version=$(dpkg-deb -f "$deb" Version)
# The shipped symbols file against the shipped library's exports and the package's version.
dpkg-deb --info "$deb" symbols >"$root/symbols" || { echo "no symbols file"; exit 1; }
packaging/check-symbols.sh "$libdir/libKestrabus.so.1" "$root/symbols" "$version"
for program in VelkoraServoManager velkora-servo velkora-servo-sim; do
    line=$(QT_QPA_PLATFORM=offscreen LD_LIBRARY_PATH="$libdir" "$root/usr/bin/$program" --version)
    echo "$line"
    [[ $line == "$program $version" ]] || { echo "$program does not say version $version"; exit 1; }
    # The packaged library, not one from the build tree.
    LD_LIBRARY_PATH="$libdir" ldd "$root/usr/bin/$program" | grep -q "$libdir/libKestrabus.so.1" ||
        [[ $program == velkora-servo-sim ]] || { echo "$program does not load the packaged library"; exit 1; }
done
for page in "$root"/usr/share/man/man1/*.1.gz; do
    grep -q "^\.TH .*\"Velkora Servo Manager $version\"" <(zcat "$page") ||
        { echo "$(basename "$page") does not say version $version"; exit 1; }
done
HOME="$root" LD_LIBRARY_PATH="$libdir" "$root/usr/bin/velkora-servo" --simulate info
echo "package checks passed"
