#!/bin/sh
# The FreeBSD port builds as shipped. Usage:
#   port_test.sh SOURCE_DIR CMAKE CXX_COMPILER GENERATOR
#
# Copies into an empty directory exactly what the port's do-extract copies,
# configures it as the ports framework's USES=cmake does (CMAKE_ARGS and
# CMAKE_OFF of the port, PREFIX /usr/local, a Release build out of the
# source), builds what is installed, stages it, runs the port's
# post-install recipes, compresses the manuals as the framework does, and
# compares what was staged with pkg-plist: with the EXAMPLES option on and
# off. Also: LICENSE_FILE is among the extracted files, and every user and
# group the port creates has its ids in the port's UID_FILES and GID_FILES
# (the ports tree's own are not here; dovra has no entry there yet).
#
# GNUInstallDirs gives the same sbin, share and share/man on FreeBSD as on
# Linux (CMake 3.25 and later), so a stage made here lists as on FreeBSD.
set -eu

src=$1
cmake=$2
cxx=$3
generator=$4
port=$src/packaging/freebsd
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

tmp=$(mktemp -d "${TMPDIR:-/tmp}/dovra-port.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
trap 'exit 143' TERM
trap 'exit 130' INT

# The Makefile with its continued lines joined, and the value of a variable
# (VAR= and VAR+= lines, in order), with the framework's paths put in.
awk '/\\$/ { sub(/\\$/, ""); printf "%s", $0; next } { print }' "$port/Makefile" >"$tmp/Makefile"
wrksrc=$tmp/work/dovra-1
expand() {
    sed -e "s#\${PREFIX}#/usr/local#g" -e "s#\${WRKSRC}#$wrksrc#g" -e "s#\${FILESDIR}#$port/files#g" \
        -e "s#\${STAGEDIR}#$tmp/stage#g" -e "s#\${EXAMPLESDIR}#/usr/local/share/examples/dovra#g" \
        -e "s#\${INSTALL_DATA}#install -m 0644#g" -e "s#\${RM}#rm -f#g"
}
value() {
    sed -nE "s/^$1\+?=[[:space:]]*//p" "$tmp/Makefile" | sed 's/[[:space:]]*#.*//' | expand | tr '\n' ' ' | sed 's/ *$//'
}
# The recipe of a target: its tab-indented lines.
recipe() {
    awk -v target="$1:" '$1 == target { on = 1; next } on && /^\t/ { sub(/^\t@?/, ""); print; next } { on = 0 }' \
        "$tmp/Makefile" | expand
}

# ---- extract: exactly the files do-extract names ----
files=$(sed -nE 's/.*\$\{TAR\} -cf - ([^)]*)\).*/\1/p' "$tmp/Makefile")
[ -n "$files" ] || { echo "FAIL: no file list in do-extract"; exit 1; }
mkdir -p "$wrksrc"
# shellcheck disable=SC2086 # the list is the Makefile's, split as make does
(cd "$src" && tar -cf - $files) | tar -xf - -C "$wrksrc"

license=$(value LICENSE_FILE)
if [ -z "$license" ] || [ ! -f "$license" ]; then
    fail "LICENSE_FILE ($license) is not among the files do-extract copies: $files"
fi

for kind in USERS:UID_FILES GROUPS:GID_FILES; do
    names=$(value "${kind%%:*}")
    tables=$(value "${kind#*:}" | tr ' ' '\n' | grep -v PORTSDIR || true)
    for name in $names; do
        # shellcheck disable=SC2086
        grep -qs "^$name:\*:[0-9][0-9]*:" $tables ||
            fail "${kind%%:*} names $name, which has no entry in ${kind#*:} ($tables)"
    done
done

# ---- configure, build, stage: as USES=cmake does ----
set --
for arg in $(value CMAKE_ARGS); do set -- "$@" "$arg"; done
for option in $(value CMAKE_OFF); do set -- "$@" "-D$option:BOOL=OFF"; done
for option in $(value CMAKE_ON); do set -- "$@" "-D$option:BOOL=ON"; done
if ! "$cmake" -S "$wrksrc" -B "$tmp/work/.build" -G "$generator" -DCMAKE_CXX_COMPILER:STRING="$cxx" \
    -DCMAKE_INSTALL_PREFIX:PATH=/usr/local -DCMAKE_BUILD_TYPE:STRING=Release "$@" >"$tmp/log" 2>&1 ||
    ! "$cmake" --build "$tmp/work/.build" -j 2 >>"$tmp/log" 2>&1; then
    tail -n 30 "$tmp/log"
    echo "FAIL: the port's sources do not configure or build with its CMAKE_ARGS and CMAKE_OFF: $*"
    exit 1
fi

# The list of staged files, as pkg-plist names them, for one value of the
# EXAMPLES option; each run stages afresh.
stage() {
    rm -rf "$tmp/stage"
    # The framework's stage starts with the hierarchy of BSD.local.dist.
    mkdir -p "$tmp/stage/usr/local/etc"
    DESTDIR=$tmp/stage "$cmake" --install "$tmp/work/.build" >"$tmp/log" 2>&1 || { cat "$tmp/log"; return 1; }
    recipe post-install >"$tmp/post.sh"
    [ "$1" = on ] || recipe post-install-EXAMPLES-off >>"$tmp/post.sh"
    sh -e "$tmp/post.sh" || return 1
    find "$tmp/stage/usr/local/share/man" -type f -exec gzip -9n {} +
    (cd "$tmp/stage/usr/local" && find . ! -type d | sed 's#^\./##' | LC_ALL=C sort)
}

for examples in on off; do
    if [ "$examples" = on ]; then
        portexamples=
    else
        portexamples='@comment '
    fi
    sed -e "s#%%PORTEXAMPLES%%#$portexamples#g" -e 's#%%EXAMPLESDIR%%#share/examples/dovra#g' "$port/pkg-plist" |
        sed -e '/^@comment /d' -e 's/^@sample //' | LC_ALL=C sort >"$tmp/want"
    stage "$examples" >"$tmp/got" || { fail "staging failed with EXAMPLES $examples"; continue; }
    diff -u "$tmp/want" "$tmp/got" >"$tmp/diff" ||
        fail "with EXAMPLES $examples the staged files differ from pkg-plist (- listed, + staged):
$(cat "$tmp/diff")"
done

[ "$failures" -eq 0 ] || exit 1
echo "the port's $(echo "$files" | wc -w) extracted entries build and stage pkg-plist's $(wc -l <"$tmp/want") files (EXAMPLES off)"
