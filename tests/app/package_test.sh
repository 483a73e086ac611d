#!/usr/bin/env bash
# The Debian package made from this build: its control data and contents
# (dpkg-deb), lintian without errors, and the programs unpacked into a
# scratch root starting from there, offscreen, on a demonstration
# installation.
#
#   package_test.sh BUILD_DIR CPACK KVO_DEMO_INSTALL
set -euo pipefail
build=$1 cpack=$2 demo_install=$3

work=$(mktemp -d /tmp/kvo-package-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

(cd "$work" && "$cpack" --config "$build/CPackConfig.cmake" -B "$work/out") >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack could not make the package"; }
debs=("$work"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single .deb: ${debs[*]}"
deb=${debs[0]}

# Control data: the name, and dependencies found from the libraries linked.
dpkg-deb --field "$deb" Package Depends >"$work/control"
grep -qx 'Package: kestavo-tarnwick' "$work/control" || fail "package name: $(cat "$work/control")"
for dep in libc6 libqt6widgets6 libsqlite3-0 fonts-liberation2; do
    grep -q "^Depends:.*\b$dep\b" "$work/control" || fail "no dependency on $dep: $(cat "$work/control")"
done

dpkg-deb --contents "$deb" | awk '{print $NF}' >"$work/contents"
for f in ./usr/bin/tarnwick ./usr/bin/kvo-break-reset \
    ./usr/lib/kestavo-tarnwick/libcrashlog.so \
    ./usr/share/applications/tarnwick.desktop \
    ./usr/share/icons/hicolor/scalable/apps/tarnwick.svg \
    ./usr/share/man/man1/kvo-break-reset.1.gz ./usr/share/man/man1/tarnwick.1.gz \
    ./usr/share/doc/kestavo-tarnwick/copyright ./usr/share/doc/kestavo-tarnwick/changelog.gz; do
    grep -qx -- "$f" "$work/contents" || fail "the package lacks $f"
done

# Lintian's errors fail the test; its warnings are shown.
lintian --tag-display-limit 0 "$deb" >"$work/lintian" 2>&1 || true
cat "$work/lintian"
if grep -q '^E:' "$work/lintian"; then fail "lintian reports errors"; fi

root=$work/root
dpkg -x "$deb" "$root"
for f in "$root"/usr/bin/* "$root"/usr/lib/kestavo-tarnwick/*; do
    # Stripped of the symbol table, every library found.
    if readelf -S "$f" | grep -q '\.symtab'; then fail "$f is not stripped"; fi
    if ldd "$f" | grep -q 'not found'; then fail "$f: $(ldd "$f" | grep 'not found')"; fi
done
# The crash library's own line numbers and names stay in what it reports on.
for f in "$root"/usr/bin/tarnwick "$root"/usr/bin/kvo-break-reset "$root"/usr/lib/kestavo-tarnwick/*.so; do
    readelf -S "$f" | grep -q '\.cldata' || fail "$f carries no debug data"
done

"$demo_install" --root "$work/install" --dentists 2 --years 1 >/dev/null
eval "$("$demo_install" --root "$work/install" --print-env)"
export QT_QPA_PLATFORM=offscreen KESTAVO_REPORT_URL=http://127.0.0.1:9/
shown=$(KESTAVO_UNATTENDED=1 KESTAVO_EXIT_AFTER_START=1 timeout 60 "$root/usr/bin/tarnwick") ||
    fail "the installed tarnwick ended with $?"
[ "$shown" = "shown: Tarnwick 516x165" ] || fail "the installed tarnwick showed: $shown"
listed=$(timeout 60 "$root/usr/bin/kvo-break-reset" --list) || fail "the installed kvo-break-reset ended with $?"
[ "$listed" = "No resets are kept." ] || fail "the installed kvo-break-reset said: $listed"
man -l "$root/usr/share/man/man1/kvo-break-reset.1.gz" 2>/dev/null | grep -q 'EXIT STATUS' ||
    fail "the manual page does not read"
echo "package ok: $(basename "$deb")"
