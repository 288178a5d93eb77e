#!/usr/bin/env bash
# The Debian package as a user gets it: made by CPack from the build tree,
# read back with dpkg's own tools, its desktop entries checked with
# desktop-file-validate, and the program it installs started from an
# extracted copy as a session without a display starts it (an empty USB bus
# under umockdev, no sound server), then quit with SIGTERM. What it made stays
# in the scratch folder when a check failed.
#
#   package-test.sh <cpack> <CPackConfig.cmake> <version> <scratch folder>
set -uo pipefail
cpack=$1 config=$2 version=$3 dir=$4 root=$4/root failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
expect() { [ "$2" = "$3" ] || fail "$1: '$2', wanted '$3'"; }

rm -rf "$dir" && mkdir -p "$dir"
"$cpack" -G DEB --config "$config" -B "$dir" > "$dir/cpack.log" 2>&1 || { cat "$dir/cpack.log"; exit 1; }
deb=$dir/loomwell_${version}_$(dpkg --print-architecture).deb
for f in Package:loomwell Version:"$version" Section:sound; do
    expect "${f%%:*}" "$(dpkg-deb --field "$deb" "${f%%:*}")" "${f#*:}"
done
# The libraries it links (from dpkg-shlibdeps) and what it talks to or loads.
depends=" $(dpkg-deb --field "$deb" Depends | tr ',|' '  ') "
for p in pipewire wireplumber libpipewire-0.3-0 libudev1 libsystemd0 libx11-6 libxext6 libc6 libstdc++6; do
    [[ $depends == *" $p "* ]] || fail "$p missing from Depends:$depends"
done
expect conffiles "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)" /etc/xdg/autostart/loomwell.desktop

# The program, its two entries and its icons, root's, and nothing else.
sizes="16 22 24 32 48 64 128 256"
listing=$(dpkg-deb -c "$deb")
expect files "$(awk '$1 !~ /^d/ { print $1, $6 }' <<< "$listing" | sort)" "$({ echo "-rwxr-xr-x ./usr/bin/loomwell"
    for f in etc/xdg/autostart/loomwell.desktop usr/share/applications/loomwell.desktop usr/share/icons/hicolor/scalable/apps/loomwell.svg \
             $(for s in $sizes; do echo "usr/share/icons/hicolor/${s}x$s/apps/loomwell.png"; done); do echo "-rw-r--r-- ./$f"; done; } | sort)"
expect owners "$(awk '{ print $2 }' <<< "$listing" | sort -u)" root/root
dpkg -x "$deb" "$root"
for s in $sizes; do # a PNG's width and height, big-endian after its signature
    expect "icon $s" "$(od -An -tx1 -j16 -N8 "$root/usr/share/icons/hicolor/${s}x$s/apps/loomwell.png" | tr -d ' \n')" "$(printf '%08x%08x' "$s" "$s")"
done
for entry in usr/share/applications/loomwell.desktop etc/xdg/autostart/loomwell.desktop; do
    program=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$root/$entry") icon=$(sed -n 's/^Icon=//p' "$root/$entry")
    [ -n "$program" ] && [ -x "$root/usr/bin/$program" ] || fail "$entry starts '$program', which the package does not hold"
    [ -f "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] && [ -f "$root/usr/share/icons/hicolor/48x48/apps/$icon.png" ] ||
        fail "$entry names the icon '$icon', which the package does not hold"
    expect "desktop-file-validate $entry" "$(desktop-file-validate "$root/$entry" 2>&1)" ""
done

# (umockdev's default ioctl handler goes: see tests/support/ProgramProcess.h.)
runtime=$(mktemp -d)
env -u DISPLAY -u WAYLAND_DISPLAY XDG_RUNTIME_DIR="$runtime" PIPEWIRE_RUNTIME_DIR="$runtime" umockdev-run -- \
    sh -c 'rm -f "$UMOCKDEV_DIR/ioctl/_default"; "$0" & echo $! > "$1"; wait $!' "$root/usr/bin/loomwell" "$dir/pid" 2> "$dir/program.log" &
runner=$!
for _ in $(seq 600); do grep -q "LMW: now tracking 0 devices" "$dir/program.log" 2> /dev/null && break; sleep 0.1; done
sleep 0.2
kill -TERM "$(cat "$dir/pid")"
wait "$runner"
expect "the installed program's exit on SIGTERM" "$?" 0
expect "its start-up" "$(head -1 "$dir/program.log")" "LMW: === scanForDevices ==="
rm -rf "$runtime"
((failures)) && { cat "$dir/program.log"; exit 1; }
rm -rf "$dir"
echo "package: all checks passed"
