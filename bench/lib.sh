# Shell helpers the benchmark scripts source. They expect BUILD (the build
# folder), SRC (the source tree), DIR (the run's temporary folder), and for
# measure THREADS, CONNECTIONS and DURATION.

# A port free on 127.0.0.1 at the moment of asking.
free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# The shipped default configuration on $DIR/www with the HTTP server on
# port $1, written to $DIR/config.reg; $2, when given, is a line added
# after the server's Port value.
velmorad_config() {
  extra=${2:+\\n$2}
  sed -e "s|@WWW@|$DIR/www|g" -e "s|@RUN@|$DIR|g" -e "s|8080:127.0.0.1|$1:127.0.0.1|" \
      -e "s|\"Port\"=dword:00001f90|\"Port\"=dword:$(printf %08x "$1")$extra|" \
      "$SRC/resources/default-config.reg" > "$DIR/config.reg"
}

# Imports $DIR/config.reg into a registry of the run's own and starts
# velmorad as a service on it in the background (its pid in VPID).
start_velmorad() {
  export VELMORA_REGISTRY="$DIR/registry.db" VELMORA_HOME="$DIR" VELMORA_RUN_DIR="$DIR/rt"
  "$BUILD/tools/velmora-reg" import "$DIR/config.reg" >/dev/null
  "$BUILD/tools/velmora-sc" create VelmoraBench binPath= "$BUILD/service/velmorad" DisplayName= VelmoraBench >/dev/null
  "$BUILD/tools/velmora-sc" run VelmoraBench > "$DIR/velmorad.out" 2>&1 &
  VPID=$!
}

# One row: name ($1), requests per second and p99 latency of URL $2 after a
# two-second warm-up, and wrk's error lines; further arguments go to wrk
# before the URL. A script (-s) that prints an "errors:" line in its done()
# gives that line instead. The name column is MEASURE_WIDTH wide.
measure() {
  name=$1 url=$2
  shift 2
  wrk --latency -t"$THREADS" -c"$CONNECTIONS" -d2s "$@" "$url" >/dev/null
  out=$(wrk --latency -t"$THREADS" -c"$CONNECTIONS" -d"${DURATION}s" "$@" "$url")
  rps=$(printf '%s\n' "$out" | awk '/Requests\/sec/ {print $2}')
  p99=$(printf '%s\n' "$out" | awk '$1 == "99%" {print $2}')
  errors=$(printf '%s\n' "$out" | awk '/^errors:/ {sub(/^errors: */, ""); print; exit}')
  [ -n "$errors" ] || errors=$(printf '%s\n' "$out" | awk '/Non-2xx|Socket errors/ {printf "%s ", $0}')
  printf "%-${MEASURE_WIDTH:-30}s %12s %10s  %s\n" "$name" "$rps" "$p99" "${errors:-no errors}"
}

# One run of URL $1 after a two-second warm-up (further arguments go to
# wrk before the URL), as a tab-separated line: requests per second, p99
# latency, the one-minute load average after the run and wrk's error lines.
sample() {
  url=$1
  shift
  wrk --latency -t"$THREADS" -c"$CONNECTIONS" -d2s "$@" "$url" >/dev/null </dev/null
  out=$(wrk --latency -t"$THREADS" -c"$CONNECTIONS" -d"${DURATION}s" "$@" "$url" </dev/null)
  rps=$(printf '%s\n' "$out" | awk '/Requests\/sec/ {print $2}')
  p99=$(printf '%s\n' "$out" | awk '$1 == "99%" {print $2}')
  errors=$(printf '%s\n' "$out" | awk '/Non-2xx|Socket errors/ {printf "%s ", $0}')
  load=$(cut -d' ' -f1 /proc/loadavg)
  printf '%s\t%s\t%s\t%s\n' "${rps:-0}" "${p99:--}" "$load" "${errors:-no errors}"
}

# One row for the runs in file $2 (lines of sample): name ($1), the
# requests per second and p99 of the run with the median requests per
# second, the load average after each run and the errors of any run. The
# name column is MEASURE_WIDTH wide.
median_row() {
  name=$1 file=$2
  tab=$(printf '\t')
  runs=$(wc -l < "$file")
  line=$(sort -t"$tab" -k1,1g "$file" | sed -n "$(( (runs + 1) / 2 ))p")
  rps=$(printf '%s\n' "$line" | cut -f1)
  p99=$(printf '%s\n' "$line" | cut -f2)
  loads=$(cut -f3 "$file" | paste -sd/ -)
  errors=$(cut -f4 "$file" | sort -u | paste -sd';' -)
  printf "%-${MEASURE_WIDTH:-30}s %12s %10s  %-16s %s\n" "$name" "$rps" "$p99" "$loads" "$errors"
}
