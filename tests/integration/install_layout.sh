#!/bin/sh
# The desktop install by `cmake --install` and by the Debian package: the expected files, unit and activation naming the
# service, dated man pages, the bus interface, icon and hidden entry, systemd's verdict and rating, its deps, lintian's.
# Usage: install_layout.sh BUILD_DIR
set -eu
build=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

unit=lib/systemd/user/zunaro-service.service
activation=share/dbus-1/services/com.kvel.zunaro.service.service
service=libexec/zunaro/zunaro-service
interface=share/dbus-1/interfaces/com.kvel.zunaro.Service1.xml
pages="share/man/man1/zunaroctl.1.gz share/man/man8/zunaro-service.8.gz"
icon=share/icons/hicolor/scalable/apps/com.kvel.zunaro.service.svg
entry=share/applications/com.kvel.zunaro.service.desktop
expected=$(printf '%s\n' bin/zunaroctl "$unit" "$service" "$activation" "$interface" $pages "$icon" "$entry" | sort)
source_interface=$(dirname "$0")/../../platform/src/desktop/com.kvel.zunaro.Service1.xml

# check_tree ROOT PREFIX: ROOT holds the install of PREFIX.
check_tree() {
    root=$1 prefix=$2
    got=$(cd "$root$prefix" && find . ! -type d | sed 's|^\./||' | sort)
    [ "$got" = "$expected" ] || fail "installed under $prefix:
$got
expected:
$expected"
    [ -x "$root$prefix/$service" ] || fail "$service is not executable"
    # Both start the service where it is; the bus activates the unit that claims the very name it was asked for.
    bus_name=$(sed -n 's/^Name=//p' "$root$prefix/$activation")
    for line in "$unit:ExecStart=$prefix/$service --platform=desktop" "$unit:BusName=$bus_name" \
        "$unit:Documentation=man:zunaro-service(8)" "$activation:Exec=$prefix/$service --platform=desktop" \
        "$activation:SystemdService=$(basename "$unit")"; do
        grep -qx "${line#*:}" "$root$prefix/${line%%:*}" || fail "${line%%:*} lacks the line ${line#*:}"
    done
    # The unit confines the service; without PrivateUsers= a user manager drops the mount namespace options.
    grep -qx PrivateUsers=yes "$root$prefix/$unit" || fail "$unit lacks the line PrivateUsers=yes"
    for page in $pages; do
        warnings=$(zcat "$root$prefix/$page" | groff -man -ww -z 2>&1) && [ -z "$warnings" ] \
            || fail "$page: $warnings"
        zcat "$root$prefix/$page" | grep -Eq '^\.TH [^ ]+ [0-9] "[0-9-]{10}"' || fail "$page has no date in .TH"
    done
    cmp -s "$source_interface" "$root$prefix/$interface" || fail "$interface is not the interface the service serves"
    # The notifications name the entry and the icon: both must be what is installed; the entry is in no menu.
    for line in "Icon=$(basename "$icon" .svg)" NoDisplay=true; do
        grep -qx "$line" "$root$prefix/$entry" || fail "$entry lacks the line $line"
    done
}

prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
check_tree "" "$prefix"

if command -v systemd-analyze >/dev/null 2>&1; then
    mkdir -m 700 "$tmp/run"
    # verify exits 0 on unknown keys and values too; only silence is a pass.
    # It also asks man for the unit's Documentation=: the pages just installed.
    out=$(XDG_RUNTIME_DIR=$tmp/run MANPATH=$prefix/share/man systemd-analyze --user verify "$prefix/$unit" 2>&1) \
        && [ -z "$out" ] || fail "systemd-analyze: $out"
    # Its confinement rated 6 or less (of 10; the threshold counts tenths).
    XDG_RUNTIME_DIR=$tmp/run systemd-analyze security --offline=true --user --threshold=60 "$prefix/$unit" \
        >"$tmp/security" 2>&1 || fail "systemd-analyze security: $(tail -n 1 "$tmp/security")"
else
    echo "SKIP: no systemd-analyze here; the unit is not verified"
fi

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/deb" >/dev/null
deb=$(ls "$tmp"/deb/*.deb)
dpkg-deb -x "$deb" "$tmp/pkgroot"
check_tree "$tmp/pkgroot" /usr
[ "$(dpkg-deb -f "$deb" Recommends)" = "systemd, xdg-utils" ] || fail "the package does not recommend xdg-utils"
depends=$(dpkg-deb -f "$deb" Depends)
case "$depends" in
    *libqt6core6*libqt6network6*) ;;
    *) fail "the package does not depend on the Qt runtime: $depends" ;;
esac
# Debian's copyright file and changelog are the owner's to write; anything else lintian reports is ours.
if command -v lintian >/dev/null 2>&1; then
    tags=$(lintian "$deb" 2>/dev/null | grep -v -e ' no-copyright-file$' -e ' no-changelog ') || true
    [ -z "$tags" ] || fail "lintian: $tags"
else
    echo "SKIP: no lintian here; the package is not checked"
fi
echo "PASS"
