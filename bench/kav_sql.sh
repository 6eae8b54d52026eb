#!/bin/sh
# Requests per second and p99 latency of one database page: a KAV page that
# lists 20 rows of a SQLite table through ODBC, served by velmorad in fiber
# mode, beside the same page in PHP (php-fpm with its sqlite3 module behind
# nginx), and of a plain page (the same text from each, no code), measured
# in the same run with wrk --latency, each over kept-alive connections and
# with one request per connection ("Connection: close"). The database page
# is also served by a second velmorad with as many workers as php-fpm has
# children. Every row is run RUNS times with the servers taking turns, and
# the run with the median requests per second is shown beside the load
# average after each run, so load from outside falls on every server alike.
# Everything lives in a temporary folder removed at the end.
#
#   bench/kav_sql.sh [BUILD_DIR]    (DURATION=10 CONNECTIONS=50 THREADS=2 RUNS=3)
set -eu

BUILD=$(cd "${1:-build}" && pwd)
DURATION=${DURATION:-10}
CONNECTIONS=${CONNECTIONS:-50}
THREADS=${THREADS:-2}
RUNS=${RUNS:-3}
SRC=$(cd "$(dirname "$0")/.." && pwd)
. "$SRC/bench/lib.sh"
DRIVER=/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so
PHP_FPM=$(ls /usr/sbin/php-fpm* 2>/dev/null | head -n 1 || true)
NGINX=$(command -v nginx || echo /usr/sbin/nginx)

for need in "$DRIVER" "$NGINX" "$PHP_FPM" "$(command -v wrk || true)" "$(command -v sqlite3 || true)"; do
  if [ -z "$need" ] || [ ! -e "$need" ]; then
    echo "missing: wrk, nginx, php-fpm with php-sqlite3, sqlite3 and libsqliteodbc are needed (make bench installs them)" >&2
    exit 1
  fi
done

DIR=$(mktemp -d /tmp/kav-sql-bench.XXXXXX)
VPID=""; EPID=""; FPID=""
cleanup() {
  [ -n "$VPID" ] && kill "$VPID" 2>/dev/null && wait "$VPID" 2>/dev/null || true
  [ -n "$EPID" ] && kill "$EPID" 2>/dev/null && wait "$EPID" 2>/dev/null || true
  [ -f "$DIR/nginx.pid" ] && kill "$(cat "$DIR/nginx.pid")" 2>/dev/null || true
  [ -n "$FPID" ] && kill "$FPID" 2>/dev/null && wait "$FPID" 2>/dev/null || true
  rm -rf "$DIR"
}
trap cleanup EXIT INT TERM

# The data: 20 rows.
rows=""
i=1
while [ $i -le 20 ]; do
  rows="$rows INSERT INTO items VALUES ($i, 'item $i', $i.25);"
  i=$((i + 1))
done
sqlite3 "$DIR/bench.db" "CREATE TABLE items (id INTEGER PRIMARY KEY, name TEXT, price REAL); $rows"
chmod 0666 "$DIR/bench.db"; chmod 0777 "$DIR"

# The two pages, printing the same table.
mkdir -p "$DIR/www" "$DIR/log" "$DIR/rt"
cat > "$DIR/www/list.kav" <<'KAV'
<html><body><table>
%sql(bench,"SELECT id, name, price FROM items ORDER BY id",'<tr><td>%column(id)</td><td>%column(name)</td><td>%column(price)</td></tr>
)</table></body></html>
KAV
# The plain pages: one text, through each language's processor.
printf '<html><body><p>hello, world</p></body></html>\n' > "$DIR/www/plain.kav"
cp "$DIR/www/plain.kav" "$DIR/www/plain.php"
# The same page with the statement run on the request's own worker thread.
{ printf '%%define(async-sql,1)'; cat "$DIR/www/list.kav"; } > "$DIR/www/list-async.kav"
cat > "$DIR/www/list.php" <<'PHP'
<html><body><table>
<?php
$db = new SQLite3(getenv('BENCH_DB') ?: $_SERVER['BENCH_DB'], SQLITE3_OPEN_READONLY);
$result = $db->query('SELECT id, name, price FROM items ORDER BY id');
while ($row = $result->fetchArray(SQLITE3_NUM))
    echo '<tr><td>', $row[0], '</td><td>', $row[1], '</td><td>', $row[2], "</td></tr>\n";
?></table></body></html>
PHP

# velmorad in fiber mode (the default configuration's worker pool).
VPORT=$(free_port)
printf '[SQLite3]\nDriver=%s\n' "$DRIVER" > "$DIR/odbcinst.ini"
printf '[bench]\nDriver=SQLite3\nDatabase=%s\n' "$DIR/bench.db" > "$DIR/odbc.ini"
velmorad_config "$VPORT"
export ODBCSYSINI="$DIR" ODBCINI="$DIR/odbc.ini"
start_velmorad

# A second velmorad with as many workers as php-fpm has children, from a
# hive, state folder and shared-memory names of its own on the same pages.
# A Workers value of 1 means the default count, so one child cannot be
# matched.
PEER_PROCS=$(nproc)
EPORT=""
if [ "$PEER_PROCS" -gt 1 ]; then
  EPORT=$(free_port)
  MAIN_DIR=$DIR MAIN_VPID=$VPID
  DIR="$MAIN_DIR/eq"
  mkdir -p "$DIR/log" "$DIR/rt"
  ln -s "$MAIN_DIR/www" "$DIR/www"
  velmorad_config "$EPORT"
  sed -i "s|\"Workers\"=dword:00000001|\"Workers\"=dword:$(printf %08x "$PEER_PROCS")|" "$DIR/config.reg"
  export VELMORA_SHM_PREFIX="vks$$"
  start_velmorad
  unset VELMORA_SHM_PREFIX
  EPID=$VPID VPID=$MAIN_VPID DIR=$MAIN_DIR
fi

# php-fpm (as many children as processors) behind nginx; both servers log
# every hit.
PPORT=$(free_port)
cat > "$DIR/php-fpm.conf" <<FPM
[global]
error_log = $DIR/php-fpm.log
daemonize = no
[bench]
user = nobody
group = nogroup
listen = $DIR/php.sock
listen.mode = 0666
pm = static
pm.max_children = $(nproc)
env[BENCH_DB] = $DIR/bench.db
FPM
"$PHP_FPM" -y "$DIR/php-fpm.conf" -F -R > "$DIR/php-fpm.out" 2>&1 &
FPID=$!
cat > "$DIR/nginx.conf" <<NGINX
worker_processes auto;
pid $DIR/nginx.pid;
error_log $DIR/nginx-error.log;
events { worker_connections 1024; }
http {
  keepalive_requests 1000000000;
  access_log $DIR/nginx-access.log combined;
  client_body_temp_path $DIR/nginx-body;
  fastcgi_temp_path $DIR/nginx-fastcgi;
  server {
    listen 127.0.0.1:$PPORT;
    root $DIR/www;
    location ~ \.php\$ {
      include /etc/nginx/fastcgi_params;
      fastcgi_pass unix:$DIR/php.sock;
      fastcgi_param SCRIPT_FILENAME \$document_root\$fastcgi_script_name;
      fastcgi_param BENCH_DB $DIR/bench.db;
    }
  }
}
NGINX
"$NGINX" -p "$DIR" -c "$DIR/nginx.conf"

# Both pages must give the same 20 rows before anything is measured.
rows_of() {
  n=0
  while [ $n -lt 100 ]; do
    if out=$(curl -s --max-time 5 "$1") && [ "$(printf '%s' "$out" | grep -o '<tr>' | wc -l)" -eq 20 ]; then
      printf '%s' "$out" | tr -d '\n'
      return 0
    fi
    n=$((n + 1)); sleep 0.1
  done
  echo "no 20 rows from $1: $out" >&2
  return 1
}
KAV_URL="http://127.0.0.1:$VPORT/list.kav"
PHP_URL="http://127.0.0.1:$PPORT/list.php"
if [ "$(rows_of "$KAV_URL")" != "$(rows_of "$PHP_URL")" ]; then
  echo "the two pages differ" >&2; exit 1
fi

EQ_URL="http://127.0.0.1:$EPORT/list.kav"
if [ -n "$EPORT" ] && [ "$(rows_of "$EQ_URL")" != "$(rows_of "$KAV_URL")" ]; then
  echo "the page of the second velmorad differs" >&2; exit 1
fi
if [ "$(rows_of "http://127.0.0.1:$VPORT/list-async.kav")" != "$(rows_of "$KAV_URL")" ]; then
  echo "the async-sql page differs" >&2; exit 1
fi
plain=$(curl -s --max-time 5 "http://127.0.0.1:$VPORT/plain.kav")
if [ "$plain" != "$(curl -s --max-time 5 "http://127.0.0.1:$PPORT/plain.php")" ] ||
   [ "$plain" != "<html><body><p>hello, world</p></body></html>" ]; then
  echo "the plain pages differ: $plain" >&2; exit 1
fi

# The rows, ours and the peer's side by side: name, URL, Connection header.
mkdir -p "$DIR/runs"
: > "$DIR/rows"
row() { printf '%s|%s|%s\n' "$1" "$2" "$3" >> "$DIR/rows"; }
for connection in keep-alive close; do
  [ "$connection" = close ] && tag=" close" || tag=""
  row "velmorad (fibers) KAV+ODBC 20 rows$tag" "$KAV_URL" "$connection"
  [ -n "$EPORT" ] && row "  the same, $PEER_PROCS workers$tag" "$EQ_URL" "$connection"
  row "  the same with async-sql$tag" "http://127.0.0.1:$VPORT/list-async.kav" "$connection"
  row "nginx+php-fpm PHP+sqlite3 20 rows$tag" "$PHP_URL" "$connection"
  row "velmorad (fibers) plain KAV$tag" "http://127.0.0.1:$VPORT/plain.kav" "$connection"
  row "nginx+php-fpm plain PHP$tag" "http://127.0.0.1:$PPORT/plain.php" "$connection"
done
ROWS=$(wc -l < "$DIR/rows")

# Round after round over every row, so each row's runs are spread over the
# whole benchmark and the servers take turns within each round.
round=1
while [ $round -le "$RUNS" ]; do
  i=1
  while [ $i -le "$ROWS" ]; do
    line=$(sed -n "${i}p" "$DIR/rows")
    url=$(printf '%s' "$line" | cut -d'|' -f2)
    connection=$(printf '%s' "$line" | cut -d'|' -f3)
    sample "$url" -H "Connection: $connection" >> "$DIR/runs/$i"
    i=$((i + 1))
  done
  round=$((round + 1))
done

MEASURE_WIDTH=42
echo "wrk -t$THREADS -c$CONNECTIONS -d${DURATION}s, median of $RUNS runs with the servers taking turns;"
echo "\"close\": one request per connection (Connection: close); php-fpm has $PEER_PROCS children;"
echo "load: the one-minute load average after each run"
printf '%-42s %12s %10s  %-16s %s\n' "server" "requests/s" "p99" "load" "errors"
i=1
while [ $i -le "$ROWS" ]; do
  median_row "$(sed -n "${i}p" "$DIR/rows" | cut -d'|' -f1)" "$DIR/runs/$i"
  i=$((i + 1))
done
