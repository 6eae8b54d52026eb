#!/bin/sh
# Creates or removes the local account that the logon tests authenticate
# through PAM, and installs the "velmora" PAM service when it is missing.
#
#   test-account.sh create [name] [password]
#   test-account.sh remove [name]
#
# Both are idempotent. Exit status: 0 done, 1 failed, 2 not root,
# 3 a tool or PAM module is missing, 64 bad usage.
set -eu

PATH=/usr/sbin:/usr/bin:/sbin:/bin:${PATH:-}
export PATH

action=${1:-}
name=${2:-velmora-test}
password=${3:-Velmora-Test-Pw-1}
pam_service=/etc/pam.d/velmora

case "$action" in
create|remove) ;;
*) echo "usage: $0 create [name] [password] | remove [name]" >&2; exit 64 ;;
esac

if [ "$(id -u)" != 0 ]; then
    echo "$0: needs root to manage the test account" >&2
    exit 2
fi
for tool in useradd userdel chpasswd chage; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "$0: $tool is missing (install passwd)" >&2
        exit 3
    fi
done
if ! ls /lib/*/security/pam_unix.so /usr/lib/*/security/pam_unix.so >/dev/null 2>&1; then
    echo "$0: pam_unix.so is missing (install libpam-modules)" >&2
    exit 3
fi

# Tests run in parallel; the account tools must not race on /etc/passwd.
lock=/run/lock
[ -d "$lock" ] || lock=/tmp
exec 9>"$lock/velmora-test-account.lock"
if command -v flock >/dev/null 2>&1; then
    flock -w 60 9
fi

exists() { getent passwd "$name" >/dev/null 2>&1; }

if [ "$action" = remove ]; then
    if exists; then
        userdel "$name"
    fi
    exit 0
fi

if [ ! -e "$pam_service" ]; then
    tmp="$pam_service.tmp.$$"
    printf '%s\n' '# The logon service of the Velmora server.' \
        'auth     required pam_unix.so' \
        'account  required pam_unix.so' >"$tmp"
    chmod 644 "$tmp"
    mv -f "$tmp" "$pam_service"
fi
if ! exists; then
    useradd --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin --user-group "$name"
fi
# A fresh password also clears a lock and a forced change; the expiry goes too,
# so a test that restricted the account leaves it usable again.
printf '%s:%s\n' "$name" "$password" | chpasswd
chage --expiredate -1 "$name"
