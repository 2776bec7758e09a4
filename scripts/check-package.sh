#!/bin/sh
# Builds the Debian packages (cpack -G DEB) in an optimised build and checks them: file names,
# exact content lists, lintian (no error), the post-install step, and the operator's program
# unpacked into a throwaway root (dpkg -x), where it must start offscreen through its
# /usr/bin/vardel link, load a package placed in that root's /opt/vardel/configuration/ and
# write its log, and where the station, through its own link, checks the same package.
# The build is the shipped one, without the test suite's seam (VARDEL_TEST_TIMINGS): the check
# makes sure that what the packages hold has none. scripts/demo.sh configures build/ the same way.
# Usage: scripts/check-package.sh [BUILD_DIR]  (default: build-deb)
set -eu
cd "$(dirname "$0")/.."
build=${1:-build-deb}
jobs=${JOBS:-$(nproc)}

fail() {
    echo "check-package: $*" >&2
    exit 1
}

./scripts/configure-shipped.sh "$build"
cmake --build "$build" -j "$jobs"
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB)

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
operator="$build/vardel_${version}_${arch}.deb"
maker="$build/vardel-pack_${version}_${arch}.deb"
[ -f "$operator" ] || fail "no $operator"
[ -f "$maker" ] || fail "no $maker"
[ "$(ls "$build"/*.deb | wc -l)" -eq 2 ] || fail "unexpected packages: $(ls "$build"/*.deb)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The content list, exactly: "path" for directories and files, "path -> target" for links.
contents() {
    dpkg-deb -c "$1" | awk '{ path = $6; for (i = 7; i <= NF; i++) path = path " " $i; print path }' |
        sed 's|^\./|/|; s|/$||' | grep -v '^$' | sort
}
expect() { # package, expected list (one entry a line)
    printf '%s\n' "$2" | sort > "$work/expected"
    contents "$1" > "$work/actual"
    if ! cmp -s "$work/expected" "$work/actual"; then
        diff -u "$work/expected" "$work/actual" >&2 || true
        fail "$(basename "$1") does not hold what it should (- expected, + found)"
    fi
    echo "check-package: $(basename "$1"): $(wc -l < "$work/actual") entries as expected"
}
expect "$operator" "/opt
/opt/vardel
/opt/vardel/configuration
/opt/vardel/vardel
/opt/vardel/vardel-station
/usr
/usr/bin
/usr/bin/vardel -> /opt/vardel/vardel
/usr/bin/vardel-station -> /opt/vardel/vardel-station
/usr/lib
/usr/lib/udev
/usr/lib/udev/rules.d
/usr/lib/udev/rules.d/60-vardel.rules
/usr/lib/udev/rules.d/85-vardel-modemmanager.rules
/usr/share
/usr/share/applications
/usr/share/applications/vardel-atelier.desktop
/usr/share/applications/vardel.desktop
/usr/share/doc
/usr/share/doc/vardel
/usr/share/doc/vardel/changelog.gz
/usr/share/doc/vardel/copyright
/usr/share/lintian
/usr/share/lintian/overrides
/usr/share/lintian/overrides/vardel
/usr/share/man
/usr/share/man/man1
/usr/share/man/man1/vardel-station.1.gz
/usr/share/man/man1/vardel.1.gz
/usr/share/pixmaps
/usr/share/pixmaps/vardel.png"
expect "$maker" "/usr
/usr/bin
/usr/bin/vardel-pack
/usr/share
/usr/share/doc
/usr/share/doc/vardel-pack
/usr/share/doc/vardel-pack/changelog.gz
/usr/share/doc/vardel-pack/copyright
/usr/share/man
/usr/share/man/man1
/usr/share/man/man1/vardel-pack.1.gz"

# The declared installed size is what the files take, counted as dpkg-gencontrol counts it:
# each file and symbolic link in whole KiB, each directory 1 KiB.
for deb in "$operator" "$maker"; do
    declared=$(dpkg-deb -f "$deb" Installed-Size)
    counted=$(dpkg-deb -c "$deb" | awk '
        /^d/ { kib += 1; next }
        /^l/ { target = $NF; kib += int((length(target) + 1023) / 1024); next }
        { kib += int(($3 + 1023) / 1024) }
        END { print kib }')
    [ "$declared" = "$counted" ] ||
        fail "$(basename "$deb") declares Installed-Size $declared KiB; its files take $counted KiB"
    echo "check-package: $(basename "$deb"): Installed-Size $declared KiB, what its files take"
done

# Dependencies come from the binaries.
depends=$(dpkg-deb -f "$operator" Depends)
for library in libqt5widgets5 libqt5serialport5 libpcsclite1 libmosquitto1; do
    case "$depends" in *"$library"*) ;; *) fail "vardel does not depend on $library: $depends" ;; esac
done
case "$(dpkg-deb -f "$maker" Depends)" in *libssl3*) ;; *) fail "vardel-pack does not depend on libssl3" ;; esac

# lintian: every tag is shown (overridden ones with O:), errors fail the check.
lintian --fail-on none --display-info --show-overrides "$operator" "$maker"
lintian --fail-on error "$operator" "$maker" > /dev/null || fail "lintian reports errors"

# The post-install step reloads the udev rules and replays the ttys (udevadm stands in).
mkdir -p "$work/control" "$work/stub"
dpkg-deb -e "$operator" "$work/control"
cat > "$work/stub/udevadm" <<EOF
#!/bin/sh
echo "\$*" >> "$work/udevadm.calls"
EOF
chmod +x "$work/stub/udevadm"
PATH="$work/stub:$PATH" sh "$work/control/postinst" configure
[ "$(cat "$work/udevadm.calls")" = "control --reload-rules
trigger --subsystem-match=tty --action=change" ] || fail "postinst ran: $(cat "$work/udevadm.calls")"

# The throwaway root, with a package in its configuration folder.
root="$work/root"
dpkg -x "$operator" "$root"
dpkg -x "$maker" "$work/maker"

# No program holds the test suite's seam: none knows the variable's name.
for program in "$root/opt/vardel/vardel" "$root/opt/vardel/vardel-station" \
    "$work/maker/usr/bin/vardel-pack"; do
    ! grep -q VARDEL_TEST_TIMINGS "$program" ||
        fail "$(basename "$program") was built with VARDEL_TEST_TIMINGS (the test suite's seam)"
done
echo "check-package: no program of the packages holds the test suite's seam"
[ -z "$(ls -A "$root/opt/vardel/configuration")" ] || fail "configuration/ is not empty"
./scripts/make-demo-package.sh "$build" "$root/opt/vardel/configuration" > /dev/null
mkdir -p "$work/run"

# The link names /opt/vardel/vardel. In a mount namespace of its own (root, or a user namespace
# otherwise), /opt/vardel is the throwaway root's, so the program starts through the link.
cat > "$work/start.sh" <<EOF
#!/bin/sh
set -e
mount -t tmpfs tmpfs /opt
mkdir /opt/vardel
mount --bind "$root/opt/vardel" /opt/vardel
cd "$work/run"
exec "$root/usr/bin/vardel"
EOF
if [ "$(id -u)" -eq 0 ]; then
    namespace="unshare --mount"
else
    namespace="unshare --map-root-user --mount"
fi
if ! $namespace true 2> /dev/null; then
    fail "cannot make a mount namespace to start the program through its link"
fi
QT_QPA_PLATFORM=offscreen $namespace sh "$work/start.sh" > "$work/program.out" 2>&1 &
program=$!
log="$work/run/$(date +%Y%m%d)_logs.txt"
i=0
until grep -q "== Configuration chargée avec succès" "$log" 2> /dev/null; do
    i=$((i + 1))
    if [ "$i" -gt 300 ] || ! kill -0 "$program" 2> /dev/null; then
        kill "$program" 2> /dev/null || true
        cat "$work/program.out" >&2
        [ -f "$log" ] && cat "$log" >&2
        fail "the installed program did not load the package (log: $log)"
    fi
    sleep 0.1
done
kill "$program" 2> /dev/null || true
wait "$program" 2> /dev/null || true
grep -q "Démarrage de l'application" "$log" || fail "no start banner in the log"
grep -q "searching in /opt/vardel" "$work/program.out" ||
    fail "the program did not look in /opt/vardel: $(cat "$work/program.out")"
echo "check-package: the installed program started through /usr/bin/vardel, loaded" \
    "/opt/vardel/configuration/ and wrote $(grep -c '^== ' "$log") log entries"

# The station, through its own link, reads the same folder (no terminal here: status 2). It is
# given a timing text it could not read: a station built with the seam would stop at once (125).
sed 's|/usr/bin/vardel"$|/usr/bin/vardel-station" --list|' "$work/start.sh" > "$work/station.sh"
status=0
VARDEL_TEST_TIMINGS=unreadable $namespace sh "$work/station.sh" > "$work/station.out" 2>&1 ||
    status=$?
grep -q "^Package /opt/vardel/./configuration/ : valide" "$work/station.out" && [ "$status" -eq 2 ] ||
    fail "the installed station did not check /opt/vardel/configuration/ (status $status):" \
        "$(cat "$work/station.out")"
echo "check-package: the installed station found the package in /opt/vardel/configuration/"
echo "check-package: $(basename "$operator") and $(basename "$maker") are good"
