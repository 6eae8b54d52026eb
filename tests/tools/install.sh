#!/bin/bash
# cmake --install into a temporary prefix: every program in place, the state
# and configuration folders, a systemd unit that systemd-analyze takes, and
# the installed service, started from the prefix with the installed
# environment file, serving the installed default site.
#
#   install.sh BUILD_DIR
set -u
BUILD=$1
if [ -d /run/systemd/system ]; then
    echo "SKIP: systemd manages this host: velmorad -install would write a unit into the system"
    exit 77
fi
command -v curl > /dev/null || { echo "SKIP: curl is not installed"; exit 77; }
WORK=$(mktemp -d "${TMPDIR:-/tmp}/velmora-install.XXXXXX") || exit 1
PREFIX="$WORK/prefix"
cleanup() {
    [ -x "$PREFIX/bin/velmora-sc" ] && "$PREFIX/bin/velmora-sc" stop Velmora > /dev/null 2>&1
    rm -rf "$WORK"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$BUILD" --prefix "$PREFIX" > "$WORK/install.out" 2>&1 || { cat "$WORK/install.out"; fail "the install failed"; }
for program in bin/velmora bin/velmora-sc bin/velmora-reg bin/velmora-cpl sbin/velmorad; do
    [ -x "$PREFIX/$program" ] || fail "the install puts no $program in place"
done
[ -f "$PREFIX/lib/velmora/velmoconf.so" ] || fail "the install puts no lib/velmora/velmoconf.so in place"
for folder in var/lib/velmora/log etc/velmora; do
    [ -d "$PREFIX/$folder" ] || fail "the install makes no $folder"
done
unit="$PREFIX/lib/systemd/system/velmora.service"
[ -f "$unit" ] || fail "the install puts no systemd unit in place"
# A crashed service comes back, and it may hold a connection per descriptor
# well past a login shell's 1,024.
service_value() { sed -n '/^\[Service\]/,/^\[/ s/^'"$1"'=//p' "$unit"; }
[ "$(service_value Restart)" = on-failure ] || fail "the unit does not restart a service that failed"
[ "$(service_value LimitNOFILE)" -ge 65536 ] 2> /dev/null || fail "the unit leaves the descriptor limit low"
if command -v systemd-analyze > /dev/null; then
    systemd-analyze verify "$unit" || fail "systemd-analyze does not take the unit"
else
    echo "systemd-analyze is not installed: the unit is not verified"
fi

# The installed service, as the README starts it, on ports chosen now and
# with shared memory of its own beside other runs on this machine.
set -a
. "$PREFIX/etc/velmora/velmora.env" || fail "the environment file does not read"
set +a
export VELMORA_SHM_PREFIX="vinst$$"
free_port() { /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
port=$(free_port)
product='HKLM\Software\Tessaline\Velmora'
"$PREFIX/libexec/velmora/velmora-seed" > "$WORK/seed.out" 2>&1 || { cat "$WORK/seed.out"; fail "the seeding failed"; }
"$PREFIX/bin/velmora-reg" set "$product\\HTTP\\Servers\\8080:127.0.0.1" Port REG_DWORD "$port" || fail "velmora-reg set"
"$PREFIX/bin/velmora-reg" set "$product\\ChatRoom\\Rooms\\Lobby" Port REG_DWORD "$(free_port)" || fail "velmora-reg set"
[ "$("$PREFIX/sbin/velmorad" -install)" = "Service successfully installed!" ] || fail "velmorad -install"
"$PREFIX/bin/velmora-sc" start Velmora > "$WORK/start.out" 2>&1 || { cat "$WORK/start.out"; fail "the installed service does not start"; }
curl --fail --silent --max-time 30 "http://127.0.0.1:$port/" | grep -q 'Velmora is running' ||
    fail "the installed service does not serve the installed site"
"$PREFIX/bin/velmora-sc" stop Velmora > /dev/null || fail "the installed service does not stop"
[ "$("$PREFIX/sbin/velmorad" -remove)" = "Service successfully removed!" ] || fail "velmorad -remove"
echo "PASS"
