#!/bin/sh
# Installs, with apt-get, what building, testing, packaging and running the demo need on
# Debian 12.
# Packages already present are left alone; nothing is fetched when nothing is missing.
set -eu

PACKAGES="
build-essential cmake ninja-build pkg-config git ccache
qtbase5-dev qtbase5-dev-tools libqt5serialport5-dev libqt5svg5-dev
libpcsclite-dev libudev-dev
umockdev libumockdev-dev
libssl-dev
clang libclang-rt-14-dev
xvfb xauth x11-apps xdotool imagemagick twm
udev dpkg-dev file lintian man-db
libmosquitto-dev mosquitto mosquitto-clients
dbus-daemon python3-dbusmock
"

missing=""
for package in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done

if [ -z "$missing" ]; then
    echo "install-deps: everything is installed"
    exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
else
    SUDO=
fi
echo "install-deps: installing$missing"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
