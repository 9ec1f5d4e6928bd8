#!/bin/sh
# The Debian package against what the manuals, the README and debian/
# promise. Usage: package_test.sh version|contents SOURCE_DIR
#
# version:  debian/changelog and the port name the version src/common/version.h keeps.
# contents: builds the package from a copy of the tree (dpkg-buildpackage
#   without the test suite, some seconds), then checks its files, its
#   conffile, its dependencies, the paths in its manuals, unit and programs,
#   and lintian's verdict. Exits 77 (skipped) where Debian's packaging tools
#   or the package's build dependencies are missing: ./build.sh deb installs
#   them as root.
set -eu

mode=$1
src=$2
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

skip() {
    echo "SKIPPED: $*"
    exit 77
}

if [ "$mode" = version ]; then
    project=$(sed -nE 's/.*DOVRA_VERSION\[\] = "([0-9.]+)".*/\1/p' "$src/src/common/version.h")
    changelog=$(sed -nE '1s/^dovra \(([^)]*)\).*/\1/p' "$src/debian/changelog")
    [ -n "$project" ] || fail "no version in src/common/version.h"
    if [ "$changelog" != "$project" ]; then
        fail "debian/changelog's first entry is for '$changelog', src/common/version.h is at '$project': add an entry to debian/changelog (dch -v $project)"
    fi
    port=$(sed -nE 's/^DISTVERSION=[[:space:]]*([^[:space:]]+).*/\1/p' "$src/packaging/freebsd/Makefile")
    if [ "$port" != "$project" ]; then
        fail "packaging/freebsd/Makefile's DISTVERSION is '$port', src/common/version.h is at '$project'"
    fi
    [ "$failures" -eq 0 ] || exit 1
    echo "debian/changelog, the port and src/common/version.h agree: $project"
    exit 0
fi

for tool in dpkg-buildpackage dpkg-checkbuilddeps dh dpkg-deb; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed (./build.sh deb installs Debian's packaging tools)"
done
if ! missing=$(cd "$src" && dpkg-checkbuilddeps -Pnocheck 2>&1); then
    skip "the package's build dependencies are missing: $missing"
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/dovra-package.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

# dpkg-buildpackage writes into the tree and beside it: it builds a copy,
# without the build directories and git's files.
mkdir -p "$tmp/src/dovra"
(cd "$src" && tar -cf - --exclude=./.git --exclude='./build*' --exclude='./obj-*' .) | tar -xf - -C "$tmp/src/dovra"
if ! (cd "$tmp/src/dovra" && DEB_BUILD_OPTIONS=nocheck dpkg-buildpackage -b -us -uc -Pnocheck) >"$tmp/build.log" 2>&1; then
    tail -n 40 "$tmp/build.log"
    echo "FAIL: dpkg-buildpackage failed"
    exit 1
fi
version=$(sed -nE 's/.*DOVRA_VERSION\[\] = "([0-9.]+)".*/\1/p' "$src/src/common/version.h")
deb=$tmp/src/dovra_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { ls "$tmp/src"; echo "FAIL: no $deb"; exit 1; }
root=$tmp/root
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$tmp/control"

# ---- the files: exactly these (links included, directories not) ----
cat >"$tmp/want" <<'LIST'
/etc/dovra.conf
/lib/systemd/system/dovra.service
/usr/sbin/dovra
/usr/sbin/dovra-checkconf
/usr/share/doc/dovra/README.Debian
/usr/share/doc/dovra/README.md.gz
/usr/share/doc/dovra/changelog.gz
/usr/share/doc/dovra/copyright
/usr/share/doc/dovra/examples/dovra.conf.sample
/usr/share/doc/dovra/security.md.gz
/usr/share/man/man5/dovra.conf.5.gz
/usr/share/man/man8/dovra-checkconf.8.gz
/usr/share/man/man8/dovra.8.gz
LIST
(cd "$root" && find . ! -type d | sed 's/^\.//' | LC_ALL=C sort) >"$tmp/got"
diff -u "$tmp/want" "$tmp/got" >"$tmp/files.diff" || fail "the package's files differ (- expected, + packaged):
$(cat "$tmp/files.diff")"

# ---- the configuration: the sample, kept by dpkg as a conffile ----
[ "$(cat "$tmp/control/conffiles" 2>/dev/null)" = /etc/dovra.conf ] ||
    fail "the conffiles are not exactly /etc/dovra.conf: $(cat "$tmp/control/conffiles" 2>/dev/null)"
for copy in /etc/dovra.conf /usr/share/doc/dovra/examples/dovra.conf.sample; do
    cmp -s "$src/dovra.conf.sample" "$root$copy" || fail "$copy is not dovra.conf.sample"
done

# ---- the manuals: the tree's, naming the package's paths, all of which exist ----
for page in man8/dovra.8 man5/dovra.conf.5; do
    name=${page#*/}
    sed -e 's#/usr/local/etc/dovra\.conf#/etc/dovra.conf#g' \
        -e 's#/usr/local/share/examples/dovra/#/usr/share/doc/dovra/examples/#g' \
        "$src/docs/$name" >"$tmp/$name.want"
    gzip -dc "$root/usr/share/man/$page.gz" >"$tmp/$name.got"
    cmp -s "$tmp/$name.want" "$tmp/$name.got" || fail "$page is not docs/$name with the package's paths"
    ! grep -n /usr/local "$tmp/$name.got" || fail "$page names /usr/local"
    sed -n '/^\.Sh FILES/,/^\.Sh /s/^\.It Pa \(\/[^ ]*\).*/\1/p' "$tmp/$name.got" >"$tmp/$name.files"
    [ -s "$tmp/$name.files" ] || fail "$page lists no file under FILES"
    while read -r file; do
        [ -e "$root$file" ] || fail "$page lists $file, which the package does not install"
    done <"$tmp/$name.files"
done
[ "$(readlink "$root/usr/share/man/man8/dovra-checkconf.8.gz")" = dovra.8.gz ] ||
    fail "dovra-checkconf(8) does not lead to dovra(8)"

# ---- the unit: the tree's, naming the package's programs ----
unit=$root/lib/systemd/system/dovra.service
[ -f "$unit" ] || { fail "no unit in /lib/systemd/system"; unit=/dev/null; }
sed -e 's#/usr/local/sbin/#/usr/sbin/#g' -e 's#/usr/local/etc/dovra\.conf#/etc/dovra.conf#g' \
    "$src/packaging/systemd/dovra.service" >"$tmp/unit.want"
cmp -s "$tmp/unit.want" "$unit" || fail "the unit is not packaging/systemd/dovra.service with the package's paths"
! grep -n /usr/local "$unit" || fail "the unit names /usr/local"
grep -q '^ExecStart=/usr/sbin/dovra$' "$unit" || fail "the unit does not start /usr/sbin/dovra"
# Each program the unit runs is the package's own, or one of an essential
# package, which every Debian system has (/bin/sh).
sed -n 's/^Exec[A-Za-z]*=[-@:+!]*\([^ ]*\).*/\1/p' "$unit" | while read -r program; do
    [ -x "$root$program" ] && continue
    owner=$(dpkg -S "$program" 2>/dev/null | sed -n 's/^\([^ :]*\): .*/\1/p' | head -n 1)
    [ -n "$owner" ] && [ "$(dpkg-query -W -f='${Essential}' "$owner" 2>/dev/null)" = yes ] && continue
    echo "FAIL: the unit runs $program, which neither the package nor an essential one installs"
    exit 1
done || failures=$((failures + 1))

# ---- the programs: built for /etc/dovra.conf, and they run ----
for program in dovra dovra-checkconf; do
    grep -aq /etc/dovra.conf "$root/usr/sbin/$program" || fail "$program does not name /etc/dovra.conf"
    ! grep -aq /usr/local/etc/dovra.conf "$root/usr/sbin/$program" || fail "$program names /usr/local/etc/dovra.conf"
done
"$root/usr/sbin/dovra-checkconf" "$root/etc/dovra.conf" >"$tmp/check.out" 2>&1 ||
    fail "the packaged checker refuses the packaged configuration: $(cat "$tmp/check.out")"

# ---- installable on a minimal system: only libraries every Debian system has ----
depends=$(dpkg-deb -f "$deb" Depends)
for dependency in $(echo "$depends" | sed -e 's/([^)]*)//g' -e 's/[,|]/ /g'); do
    case $dependency in
    libc6 | libstdc++6 | libgcc-s1) ;;
    *) fail "Depends names $dependency, which a minimal system may not have: $depends" ;;
    esac
done

# ---- clean by lintian's measure (a few seconds) ----
if command -v lintian >/dev/null 2>&1; then
    # In our directory: lintian leaves a database file in TMPDIR.
    TMPDIR=$tmp lintian --fail-on error,warning "$deb" >"$tmp/lintian" 2>&1 ||
        fail "lintian: $(grep -v 'running with root privileges' "$tmp/lintian")"
else
    echo "lintian is not installed: its verdict is not checked"
fi

[ "$failures" -eq 0 ] || exit 1
echo "$(basename "$deb"): $(wc -l <"$tmp/got") files as expected; Depends: $depends"
