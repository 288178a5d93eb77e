#!/usr/bin/env bash
# The Debian package as a user gets it: made by CPack from the build tree,
# read back with dpkg's own tools, checked by Debian's own (lintian,
# appstreamcli, desktop-file-validate, man), then, as root, installed into a
# throw-away root with dpkg: an older build first, then this one over it (an
# administrator's change to the autostart entry kept), the program started
# from its menu entry as a session without a display starts it (an empty USB
# bus under umockdev, no sound server) and quit with SIGTERM, then removed
# and purged, with nothing left behind. Not as root, the program is started
# from an extracted copy instead. What it made stays in the scratch folder
# when a check failed.
#
#   package-test.sh <cpack> <CPackConfig.cmake> <version> <scratch folder>
set -uo pipefail
cpack=$1 config=$2 version=$3 dir=$4 root=$4/root failures=0 appstream=invalid.loomwell.Loomwell
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
             usr/share/man/man1/loomwell.1.gz usr/share/doc/loomwell/changelog.gz usr/share/doc/loomwell/copyright \
             usr/share/metainfo/$appstream.metainfo.xml \
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

# Debian's checks: lintian (no errors, no warnings; what it only mentions is
# in the README), the AppStream metadata, the manual page as man renders it.
lintian --no-tag-display-limit "$deb" > "$dir/lintian.log" 2>&1
expect "lintian's errors and warnings" "$(grep -E '^[EW]: ' "$dir/lintian.log")" ""
metainfo=$root/usr/share/metainfo/$appstream.metainfo.xml
appstreamcli validate --no-net "$metainfo" > "$dir/appstream.log" 2>&1 || fail "appstreamcli: $(cat "$dir/appstream.log")"
for product in 7301 7302 7303 7304 7305 7401 7402 7403 7404 7405; do
    grep -q "<modalias>usb:v3A7Dp${product}d\*</modalias>" "$metainfo" || fail "no modalias for the console 3a7d:$product"
done
expect "man's warnings" "$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/loomwell.1.gz" 2>&1 > /dev/null)" ""

# Started as a session without a display starts it, quit with SIGTERM.
# (umockdev's default ioctl handler goes: see tests/support/ProgramProcess.h.)
start_and_quit() {
    local runtime
    runtime=$(mktemp -d)
    env -u DISPLAY -u WAYLAND_DISPLAY XDG_RUNTIME_DIR="$runtime" PIPEWIRE_RUNTIME_DIR="$runtime" umockdev-run -- \
        sh -c 'rm -f "$UMOCKDEV_DIR/ioctl/_default"; "$0" & echo $! > "$1"; wait $!' "$1" "$dir/pid" 2> "$dir/program.log" &
    local runner=$!
    for _ in $(seq 600); do grep -q "LMW: now tracking 0 devices" "$dir/program.log" 2> /dev/null && break; sleep 0.1; done
    sleep 0.2
    kill -TERM "$(cat "$dir/pid")"
    wait "$runner"
    expect "$1's exit on SIGTERM" "$?" 0
    expect "its start-up" "$(head -1 "$dir/program.log")" "LMW: === scanForDevices ==="
    rm -rf "$runtime"
}

if [ "$(id -u)" != 0 ]; then
    echo "package: not root, so not installed; the extracted program is started instead"
    start_and_quit "$root/usr/bin/loomwell"
else
    # Its dependencies are the real system's, not the throw-away root's.
    sys=$dir/system
    mkdir -p "$sys/var/lib/dpkg/info" "$sys/var/lib/dpkg/updates" && touch "$sys/var/lib/dpkg/status"
    pkg() { dpkg --root="$sys" --force-depends "$@" > "$dir/dpkg.log" 2>&1 || fail "dpkg $*: $(cat "$dir/dpkg.log")"; }
    installed() { dpkg-query --root="$sys" -W -f='${db:Status-Abbrev}${Version}' loomwell 2> /dev/null; }
    files() { (cd "$sys" && find . -path ./var/lib/dpkg -prune -o ! -type d -print | sort); }

    dpkg-deb -R "$deb" "$dir/older"
    sed -i 's/^Version: .*/Version: 0.0.1/' "$dir/older/DEBIAN/control"
    dpkg-deb --root-owner-group -b "$dir/older" "$dir/older.deb" > /dev/null
    pkg -i "$dir/older.deb"
    expect "the older build installed" "$(installed)" "ii 0.0.1"
    echo "Hidden=true" >> "$sys/etc/xdg/autostart/loomwell.desktop"
    pkg -i "$deb"
    expect "upgraded" "$(installed)" "ii $version"
    expect "the administrator's change after the upgrade" "$(tail -1 "$sys/etc/xdg/autostart/loomwell.desktop")" "Hidden=true"

    # As the menu starts it: the entry's program, found where the package put it.
    program=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$sys/usr/share/applications/loomwell.desktop")
    start_and_quit "$sys/usr/bin/$program"

    pkg -r loomwell
    expect "left after remove" "$(files)" "./etc/xdg/autostart/loomwell.desktop"
    pkg -P loomwell
    expect "left after purge" "$(files)" ""
    expect "purged" "$(installed)" ""
fi
((failures)) && { cat "$dir/program.log"; exit 1; }
rm -rf "$dir"
echo "package: all checks passed"
