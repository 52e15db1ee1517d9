#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is
# missing; with --demo also what the desktop scene of the demo shows things
# with (two more notification servers, dunst's menu, screenshots), with
# --bench what the benchmarks count instructions with. Safe to run again: it
# does nothing when all are there.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config   # the build
  qt6-base-dev                       # Qt Core, Network, DBus, Test
  libsimdjson-dev                    # the events reader
  libcpp-httplib-dev                 # the push proxy simulator's HTTP server
  jq                                 # the ingestion benchmark's peer
  iproute2 util-linux                # a network namespace per test
  dpkg-dev file                      # cpack -G DEB: dependencies from the binaries
  lintian groff-base                 # the package's and the manual pages' checks
  dbus python3-dbusmock              # private buses and mocked desktop services
  xvfb dunst                         # a real notification server for the desktop test
  clang-14 libfuzzer-14-dev          # the fuzz targets (scripts/fuzz.sh)
  libclang-rt-14-dev                 # their runtime and FuzzedDataProvider.h, also for the seed replay
)
for option in "$@"; do
  case $option in
    --bench) packages+=(valgrind) ;; # callgrind: instructions a line
    --demo) ;;
    *) echo "setup: unknown option $option" >&2; exit 2 ;;
  esac
done
if [[ " $* " == *" --demo "* ]]; then
  packages+=(
    suckless-tools                   # dunst's action menu
    xfce4-notifyd notification-daemon # two more real notification servers
    xdotool imagemagick              # clicks and screenshots
    fonts-dejavu-core                # the notifications' font
    librsvg2-common                  # the servers draw the app's icon, an SVG
  )
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}" >&2
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
