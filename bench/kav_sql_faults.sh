#!/bin/sh
# What pages with SQL get when a database fails, from velmorad in its
# default configuration (fiber mode, SQLMaxConnections 20, SQLQueryTimeout
# 15, SQLLoginTimeout 10) against a private PostgreSQL cluster beside a
# SQLite source:
#   burst    N async-sql pages of a 0.5 s statement at once (N = 400 and
#            2000; 20 connections carry 40 a second): good pages, errors,
#            the longest a page took from its request
#   stopped  the cluster's processes stopped (SIGSTOP) with a connection
#            pooled: when each page on it and on SQLite is answered, and how
#   outage   the cluster stopped for 3 s (fast, then immediate) while pages
#            ask: how many of 30 pages asked once it is back fail
# Everything lives in a temporary folder removed at the end.
#
#   bench/kav_sql_faults.sh [BUILD_DIR]    (SCENARIOS="burst stopped outage")
set -eu

BUILD=$(cd "${1:-build}" && pwd)
SCENARIOS=${SCENARIOS:-burst stopped outage}
SRC=$(cd "$(dirname "$0")/.." && pwd)
. "$SRC/bench/lib.sh"
PG=/usr/lib/postgresql/15/bin
PGDRIVER=/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so
LITEDRIVER=/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so
PY=/usr/bin/python3
for need in "$PG/initdb" "$PGDRIVER" "$LITEDRIVER" "$PY"; do
  [ -e "$need" ] || { echo "missing: $need (postgresql, odbc-postgresql, libsqliteodbc, python3)" >&2; exit 1; }
done

DIR=$(mktemp -d /tmp/kav-sql-faults.XXXXXX)
VPID=""
AS=""
[ "$(id -u)" = 0 ] && AS="runuser -u nobody --"
pg() { $AS "$PG/$@"; }
cleanup() {
  [ -f "$DIR/pg/data/postmaster.pid" ] && signal_cluster -CONT 2>/dev/null || true
  [ -n "$VPID" ] && kill "$VPID" 2>/dev/null && wait "$VPID" 2>/dev/null || true
  [ -d "$DIR/pg/data" ] && pg pg_ctl -D "$DIR/pg/data" -m immediate -w -t 30 stop >/dev/null 2>&1 || true
  rm -rf "$DIR"
}
trap cleanup EXIT INT TERM
signal_cluster() {
  pid=$(head -n 1 "$DIR/pg/data/postmaster.pid")
  kill "$1" "$pid"
  pkill "$1" -P "$pid" || true
}

# The cluster, as a role with a password, on a port of its own.
mkdir -p "$DIR/pg" "$DIR/www" "$DIR/log" "$DIR/rt"
chmod 0777 "$DIR"
[ -n "$AS" ] && chown nobody "$DIR/pg"
PGPORT=$(free_port)
printf 'benchpw' > "$DIR/pg/pw"
chmod 0644 "$DIR/pg/pw"
pg initdb -D "$DIR/pg/data" -U bench --auth=scram-sha-256 --pwfile="$DIR/pg/pw" >/dev/null
start_cluster() {
  pg pg_ctl -D "$DIR/pg/data" -l "$DIR/pg/log" -w -t 30 \
    -o "-p $PGPORT -k $DIR/pg -c listen_addresses=127.0.0.1 -c max_connections=100" start >/dev/null
}
start_cluster
printf '[PostgreSQL]\nDriver=%s\n[SQLite3]\nDriver=%s\n' "$PGDRIVER" "$LITEDRIVER" > "$DIR/odbcinst.ini"
printf '[vpg]\nDriver=PostgreSQL\nServername=127.0.0.1\nPort=%s\nDatabase=postgres\n[vlite]\nDriver=SQLite3\nDatabase=%s\n' \
  "$PGPORT" "$DIR/lite.db" > "$DIR/odbc.ini"
export ODBCSYSINI="$DIR" ODBCINI="$DIR/odbc.ini"

PGSRC="vpg;bench;benchpw"
CAUGHT=",'caught %exception-msg%)"
printf '%s' "%try('%sql($PGSRC,SELECT 1,'%column(1))$CAUGHT" > "$DIR/www/pg.kav"
printf '%s' "%define(async-sql,1)%try('%sql($PGSRC,SELECT 1,'%column(1))$CAUGHT" > "$DIR/www/apg.kav"
printf '%s' "%define(async-sql,1)%try('%sql($PGSRC,\"SELECT 7, pg_sleep(0.5)\",'%column(1))$CAUGHT" > "$DIR/www/burst.kav"
printf '%s' "%try('%sql(vlite,SELECT 5,'%column(1))$CAUGHT" > "$DIR/www/lite.kav"
printf '%s' "%define(async-sql,1)%try('%sql(vlite,SELECT 5,'%column(1))$CAUGHT" > "$DIR/www/alite.kav"
printf '%s' "%define(async-sql,1)%try('%sql(vlite,\"WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c) SELECT max(x) FROM c\",'%column(1))$CAUGHT" \
  > "$DIR/www/endless.kav"

VPORT=$(free_port)
velmorad_config "$VPORT"
start_velmorad
BASE="http://127.0.0.1:$VPORT"
n=0
until [ "$(curl -s --max-time 5 "$BASE/pg.kav" || true)" = 1 ]; do
  n=$((n + 1)); [ $n -lt 100 ] || { echo "velmorad serves no page on PostgreSQL" >&2; exit 1; }
  sleep 0.1
done

# Fetches pages at once, each on a connection of its own, and prints one
# line per page: when it was answered after the start, its path, its body,
# and how long it took from its request. Each
# argument is PATH or PATH@DELAY (seconds after the start) or PATH*COUNT.
fetch() {
  "$PY" - "$VPORT" "$@" <<'PY'
import sys, socket, threading, time
port = int(sys.argv[1])
jobs = []
for arg in sys.argv[2:]:
    path, delay, count = arg, 0.0, 1
    if '*' in path: path, count = path.split('*'); count = int(count)
    if '@' in path: path, delay = path.split('@'); delay = float(delay)
    jobs += [(path, delay)] * count
results = [None] * len(jobs)
start = time.monotonic()
def one(i, path, delay):
    time.sleep(delay)
    body = b''
    sent = time.monotonic()
    try:
        with socket.create_connection(('127.0.0.1', port), timeout=200) as s:
            sent = time.monotonic()
            s.sendall(b'GET ' + path.encode() + b' HTTP/1.0\r\nHost: x\r\n\r\n')
            while chunk := s.recv(65536):
                body += chunk
        body = body.split(b'\r\n\r\n', 1)[-1].decode(errors='replace')
    except OSError as error:
        body = 'client error: %s' % error
    now = time.monotonic()
    results[i] = (now - start, now - sent, body.replace('\n', ' '))
threads = [threading.Thread(target=one, args=(i, p, d)) for i, (p, d) in enumerate(jobs)]
for t in threads: t.start()
for t in threads: t.join()
for (seconds, took, body), (path, delay) in zip(results, jobs):
    print('%.1f\t%s\t%s\t%.1f' % (seconds, path, body, took))
PY
}

load() { cut -d' ' -f1 /proc/loadavg; }

for scenario in $SCENARIOS; do
  case $scenario in
  burst)
    for pages in 400 2000; do
      fetch "/burst.kav*$pages" > "$DIR/burst.out"
      awk -F'\t' -v n="$pages" -v load="$(load)" '
        $4 > slowest { slowest = $4 }
        $3 == "7" { good++; if ($4 > longest) longest = $4; if ($1 > last) last = $1; next }
        { sub(/ \[.*$/, "", $3); errors[substr($3, 1, 90)]++ }
        END { printf "burst of %d: %d good, the last at %.1f s; the longest wait of a good page %.1f s, of any %.1f s (load %s)\n",
                     n, good, last, longest, slowest, load
              for (e in errors) printf "  %d x %s\n", errors[e], e }' "$DIR/burst.out"
    done ;;
  stopped)
    signal_cluster -STOP
    echo "stopped database (pages asked at 0 s; SQLite pages at 1 s):"
    fetch /pg.kav /apg.kav /lite.kav@1 /alite.kav@1 /endless.kav@1 > "$DIR/stopped.out" &
    fpid=$!
    n=0
    while kill -0 $fpid 2>/dev/null && [ $n -lt 1800 ]; do sleep 0.1; n=$((n + 1)); done
    signal_cluster -CONT
    wait $fpid
    awk -F'\t' '{ printf "  %-14s answered at %6.1f s: %s\n", $2, $1, substr($3, 1, 110) }' "$DIR/stopped.out"
    [ $n -lt 1800 ] || echo "  (the database was let go on at 180 s)"
    n=0
    until [ "$(curl -s --max-time 30 "$BASE/pg.kav" || true)" = 1 ] || [ $n -ge 100 ]; do n=$((n + 1)); sleep 0.2; done ;;
  outage)
    for mode in fast immediate; do
      pg pg_ctl -D "$DIR/pg/data" -m $mode -w -t 30 stop >/dev/null
      # Pages keep asking while it is down, as a site's visitors would.
      down=$(date +%s)
      while [ $(($(date +%s) - down)) -lt 3 ]; do curl -s --max-time 30 "$BASE/pg.kav" >/dev/null || true; sleep 0.2; done
      start_cluster
      back=$(date +%s.%N)
      failed=0 first=""
      i=0
      while [ $i -lt 30 ]; do
        out=$(curl -s --max-time 30 "$BASE/pg.kav" || true)
        if [ "$out" = 1 ]; then
          [ -n "$first" ] || first=$(awk -v now="$(date +%s.%N)" -v back="$back" 'BEGIN { printf "%.1f", now - back }')
        else
          failed=$((failed + 1)); last=$out
        fi
        i=$((i + 1))
      done
      echo "3 s outage ($mode stop): $failed of 30 pages failed, the first good one ${first:-never} s after the database was back${last:+; a failure: $(printf '%s' "$last" | tr '\n\t' '  ' | cut -c1-100)}"
      last=""
    done ;;
  esac
done
