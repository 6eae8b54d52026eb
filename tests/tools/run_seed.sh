#!/bin/bash
# make run's seeding of the guest book's ODBC data source, judged through
# unixODBC itself: a fresh run folder gets a working source listed in
# [ODBC Data Sources]; a run folder deleted under a running server, which
# leaves an empty odbc.ini behind, is seeded again; a second seeding keeps
# what is there and adds nothing twice. The hive is seeded again when it has
# no server configured, as run/ deleted and followed by a velmora-reg
# command leaves it, and make run says so.
#
#   run_seed.sh SOURCE_DIR BUILD_DIR
set -u
SRC=$1
BUILD=$2
for tool in isql odbcinst sqlite3; do
    command -v $tool >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
[ -f /usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so ] || { echo "SKIP: the SQLite ODBC driver is not installed"; exit 77; }
unset MAKEFLAGS MFLAGS MAKELEVEL
WORK=$(mktemp -d "${TMPDIR:-/tmp}/velmora-seed.XXXXXX") || exit 1
trap 'rm -rf "$WORK"' EXIT
RUN="$WORK/run"
status=0
fail() { echo "FAIL: $*"; status=1; }
# The programs are built already: make neither checks packages nor builds.
seed() { make -s -C "$SRC" --no-print-directory -o deps -o run-deps -o build -o build-run run-seed \
              BUILD="$BUILD" RUN_DIR="$RUN" > "$WORK/seed.out" 2>&1 || { cat "$WORK/seed.out"; fail "make run-seed failed"; }; }
guests() { echo "SELECT count(*) FROM guests;" | ODBCSYSINI="$RUN" ODBCINI="$RUN/odbc.ini" isql -b -d, velmora 2>&1 | tr -d ' \r'; }
listed() { ODBCSYSINI="$RUN" ODBCINI="$RUN/odbc.ini" odbcinst -q -s 2>/dev/null | grep -qx '\[velmora\]'; }

seed
[ "$(guests)" = 2 ] || fail "a fresh run folder's source does not answer: $(guests)"
grep -qx 'velmora=SQLite3' "$RUN/odbc.ini" || fail "the source has no line in [ODBC Data Sources]: $(cat "$RUN/odbc.ini")"

# run/ deleted while the server ran: the server's last write leaves an empty odbc.ini.
rm -rf "$RUN"
mkdir -p "$RUN"
: > "$RUN/odbc.ini"
seed
[ "$(guests)" = 2 ] || fail "an empty odbc.ini is not seeded again: $(guests)"
listed || fail "odbcinst does not list the source"

# Seeding again keeps the guests and the lines there are.
sqlite3 "$RUN/velmora.db" "INSERT INTO guests (name) VALUES ('Eve');"
seed
[ "$(guests)" = 3 ] || fail "seeding again changed the guests: $(guests)"
[ "$(grep -c '^\[velmora\]$' "$RUN/odbc.ini")" = 1 ] || fail "the section was written twice"
[ "$(grep -c '^velmora=' "$RUN/odbc.ini")" = 1 ] || fail "the source's line was written twice"
# run/ deleted, then a velmora-reg command: a hive with one value and no server.
rm -rf "$RUN"
mkdir -p "$RUN"
server='HKLM\Software\Tessaline\Velmora\HTTP\Servers\8080:127.0.0.1'
VELMORA_REGISTRY="$RUN/registry.db" "$BUILD/tools/velmora-reg" set "$server" Description REG_SZ 'My first site' 2>/dev/null
seed
grep -q "registry.db has no server configured: seeded it" "$WORK/seed.out" || fail "the seeding was not said: $(cat "$WORK/seed.out")"
VELMORA_REGISTRY="$RUN/registry.db" "$BUILD/tools/velmora-reg" query "$server" Port > /dev/null ||
    fail "a hive without the product's servers is not seeded"
seed
grep -q "registry.db" "$WORK/seed.out" && fail "a configured hive was seeded again: $(cat "$WORK/seed.out")"

[ $status = 0 ] && echo "the data source is seeded from what the files hold"
exit $status
