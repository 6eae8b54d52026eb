#!/bin/sh
# Requests per second of two minimal CGI programs, a shell script and a C
# program, served by velmorad beside the same two programs served by
# lighttpd's mod_cgi, measured in the same run with wrk. A CGI request costs
# one program start, so this measures how fast each server starts
# programs. velmorad answers a program in HTTP/1.0 and closes the
# connection after it, which wrk counts among its "read" socket errors;
# lighttpd keeps the connection. bench/real_errors.lua counts only real
# failures: a reply other than a 200 with the program's text, and socket
# errors less the one read error per reply ended by its connection's close.
# Everything lives in a temporary folder removed at the end.
#
#   bench/cgi.sh [BUILD_DIR]    (DURATION=10 CONNECTIONS=8 THREADS=2 FIBERS=1)
set -eu

BUILD=$(cd "${1:-build}" && pwd)
DURATION=${DURATION:-10}
CONNECTIONS=${CONNECTIONS:-8}
THREADS=${THREADS:-2}
FIBERS=${FIBERS:-1}
SRC=$(cd "$(dirname "$0")/.." && pwd)
. "$SRC/bench/lib.sh"
LIGHTTPD=$(command -v lighttpd || echo /usr/sbin/lighttpd)
CC=${CC:-cc}

for need in "$LIGHTTPD" "$(command -v wrk || true)" "$(command -v "$CC" || true)" "$(command -v curl || true)"; do
  if [ -z "$need" ] || [ ! -e "$need" ]; then
    echo "missing: wrk, lighttpd, curl and a C compiler are needed (make bench installs them)" >&2
    exit 1
  fi
done

DIR=$(mktemp -d /tmp/cgi-bench.XXXXXX)
VPID=""; LPID=""
cleanup() {
  [ -n "$VPID" ] && kill "$VPID" 2>/dev/null && wait "$VPID" 2>/dev/null || true
  [ -n "$LPID" ] && kill "$LPID" 2>/dev/null && wait "$LPID" 2>/dev/null || true
  rm -rf "$DIR"
}
trap cleanup EXIT INT TERM

# The two programs, answering the same 13 bytes.
mkdir -p "$DIR/www" "$DIR/log" "$DIR/rt"
printf '#!/bin/sh\nprintf "Content-type: text/plain\\n\\nhello, world\\n"\n' > "$DIR/www/hello.sh"
cat > "$DIR/hello.c" <<'C'
#include <stdio.h>
int main(void)
{
    fputs("Content-type: text/plain\n\nhello, world\n", stdout);
    return 0;
}
C
"$CC" -O2 -o "$DIR/www/hello.cgi" "$DIR/hello.c"
chmod 0755 "$DIR/www/hello.sh" "$DIR/www/hello.cgi"

# velmorad: the default configuration with both extensions mapped to CGI
# programs run as they are.
VPORT=$(free_port)
velmorad_config "$VPORT" "\"UseFibers\"=dword:$(printf %08x "$FIBERS")"
for ext in sh cgi; do
  printf '\n[HKEY_LOCAL_MACHINE\\Software\\Tessaline\\Velmora\\HTTP\\CGIExt\\%s]\n"CommandLine"=""\n"WorkingDir"=""\n"ExecCGI"=dword:00000001\n"CGIProtocol"=dword:00000000\n' "$ext" >> "$DIR/config.reg"
done
start_velmorad

# lighttpd with mod_cgi running the same files as they are; it logs every
# hit, as velmorad does.
LPORT=$(free_port)
cat > "$DIR/lighttpd.conf" <<CONF
server.document-root = "$DIR/www"
server.port = $LPORT
server.bind = "127.0.0.1"
server.modules = ("mod_cgi", "mod_accesslog")
server.errorlog = "$DIR/log/lighttpd.err"
accesslog.filename = "$DIR/log/lighttpd.log"
cgi.assign = (".sh" => "", ".cgi" => "")
CONF
"$LIGHTTPD" -D -f "$DIR/lighttpd.conf" > "$DIR/lighttpd.out" 2>&1 &
LPID=$!

# Every program must answer through both servers before anything is measured.
answer_of() {
  n=0
  while [ $n -lt 100 ]; do
    if out=$(curl -s --max-time 5 "$1") && [ "$out" = "hello, world" ]; then
      return 0
    fi
    n=$((n + 1)); sleep 0.1
  done
  echo "no answer from $1: $out" >&2
  return 1
}
for url in "http://127.0.0.1:$VPORT/hello.sh" "http://127.0.0.1:$VPORT/hello.cgi" \
           "http://127.0.0.1:$LPORT/hello.sh" "http://127.0.0.1:$LPORT/hello.cgi"; do
  answer_of "$url"
done

[ "$FIBERS" = 0 ] && mode=threads || mode=fibers
echo "minimal CGI programs, wrk -t$THREADS -c$CONNECTIONS -d${DURATION}s; load: $(uptime | sed 's/.*load average: //')"
printf '%-30s %12s %10s\n' "server" "requests/s" "p99"
export EXPECTED_BODY="hello, world"
count="$SRC/bench/real_errors.lua"
measure "velmorad ($mode) shell" "http://127.0.0.1:$VPORT/hello.sh" -s "$count"
measure "lighttpd mod_cgi shell" "http://127.0.0.1:$LPORT/hello.sh" -s "$count"
measure "velmorad ($mode) C" "http://127.0.0.1:$VPORT/hello.cgi" -s "$count"
measure "lighttpd mod_cgi C" "http://127.0.0.1:$LPORT/hello.cgi" -s "$count"
echo "load after: $(uptime | sed 's/.*load average: //')"
