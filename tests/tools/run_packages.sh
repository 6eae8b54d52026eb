#!/bin/bash
# make run, run-app and run-applet install the Makefile's RUN_PACKAGES only.
# This checks that list against what the programs really use: every
# header their objects were compiled from, every library they load (the
# ODBC driver the seeded data source names included) and the tools the
# seeding runs must come from a package of that list or one it depends on;
# and the test-only packages whose installation starts daemons or pulls
# in a browser must not come with it.
#
#   run_packages.sh SOURCE_DIR BUILD_DIR
set -u
SRC=$1
BUILD=$2
for tool in dpkg-query apt-cache ninja ldd; do
    command -v $tool >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
unset MAKEFLAGS MFLAGS MAKELEVEL
list() { make -s -C "$SRC" --no-print-directory --eval 'print-%: ; @echo $($*)' "print-$1"; }
RUN=$(list RUN_PACKAGES)
ALL=$(list PACKAGES)
TARGETS=$(list RUN_TARGETS)
[ -n "$RUN" ] || { echo "FAIL: the Makefile has no RUN_PACKAGES"; exit 1; }
status=0

# What the run list brings with it: the packages themselves and everything
# they depend on, as apt would install them.
closure=$(apt-cache depends --recurse --installed --no-recommends --no-suggests --no-conflicts --no-breaks \
            --no-replaces --no-enhances $RUN 2>/dev/null | grep -v '^ ' | sed 's/:.*//; s/[<>]//g' | sort -u)
in_closure() { grep -qx -- "$1" <<<"$closure"; }

owners() { xargs -r realpath -e 2>/dev/null | sort -u | xargs -r dpkg -S 2>/dev/null |
           sed 's/: .*//; s/:[a-z0-9]*//g' | tr ',' '\n' | sed 's/^ *//' | sort -u; }

headers=$(ninja -C "$BUILD" -t deps 2>/dev/null |
          awk '/^[^ ].*: #deps/ { keep = ($1 !~ /^(tests|bench)\//) } keep && /^    \/usr\// { print $1 }')
[ -n "$headers" ] || { echo "SKIP: $BUILD has no dependency records yet"; exit 77; }
programs=""
for target in $TARGETS; do
    found=$(find "$BUILD" -name "$target" -type f -perm -u+x -not -path '*/CMakeFiles/*' | head -n 1)
    [ -n "$found" ] || { echo "FAIL: $target is not built in $BUILD"; status=1; continue; }
    programs="$programs $found"
done
libraries=$(for program in $programs; do ldd "$program" | awk '$3 ~ /^\// { print $3 }'; done)
driver=$(list ODBC_DRIVER)
[ -n "$driver" ] || { echo "FAIL: the Makefile names no ODBC driver"; status=1; }
tools=$(command -v sqlite3 || echo /usr/bin/sqlite3)

needed=$(printf '%s\n' $headers $libraries $driver $tools | owners)
for package in $needed; do
    in_closure "$package" || { echo "FAIL: the programs use $package, which make run does not install"; status=1; }
done

for package in squid postgresql nginx-light vsftpd lighttpd openssh-server chromium xvfb php-cgi; do
    grep -qw -- "$package" <<<"$ALL" || continue
    in_closure "$package" && { echo "FAIL: make run would install the test-only $package"; status=1; }
done
[ $status = 0 ] && echo "make run installs $(wc -w <<<"$RUN") packages; the programs need nothing else"
exit $status
