#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine (as root): installs the dependencies,
# builds the project in build/, then runs the demo: the daemon under the
# PilotD stand-in with examples/demo.conf, answering lookups and checks on
# the four example list files, a SQLite database made from examples/demo.sql
# and an LDAP tag served by a slapd of the demo's own (examples/ldap/, on a
# UNIX socket in /tmp), stopped with SIGTERM at the end.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=$root/build

bash "$root/scripts/install-deps.sh"

cmake -S "$root" -B "$build_dir" -DVELBO_WERROR=ON
cmake --build "$build_dir" -j "$(nproc 2>/dev/null || echo 2)"

cd "$root"
# The SQLite tag's database, made afresh from its script.
rm -f /tmp/velbo-trawld-demo.db
sqlite3 /tmp/velbo-trawld-demo.db < examples/demo.sql

# The demo's slapd: loaded from examples/ldap/people.ldif, stopped on exit.
ldap_dir=/tmp/velbo-trawld-demo-ldap
if [ -f "$ldap_dir/slapd.pid" ]; then
    kill "$(cat "$ldap_dir/slapd.pid")" 2>/dev/null || true
    sleep 0.5
fi
rm -rf "$ldap_dir"
mkdir -p "$ldap_dir/db"
slapadd -f examples/ldap/slapd.conf -l examples/ldap/people.ldif -q
slapd -f examples/ldap/slapd.conf -h "ldapi://%2Ftmp%2Fvelbo-trawld-demo-ldap%2Fldapi"
trap 'kill "$(cat "$ldap_dir/slapd.pid" 2>/dev/null)" 2>/dev/null || true' EXIT
for _ in $(seq 50); do
    [ -S "$ldap_dir/ldapi" ] && break
    sleep 0.1
done
# Options from the configuration only, not from /etc/ldap/ldap.conf.
export LDAPNOINIT=1

echo
echo "Demo: velbo-pilotd starts velbo-trawld with examples/demo.conf, runs"
echo "velbo-client (one pipelined batch of requests), then stops the daemon."
echo
"$build_dir/tools/velbo-pilotd" --config examples/demo.conf -- \
    "$build_dir/tools/velbo-client" --socket /tmp/velbo-trawld-demo.sock --user alice --domain example.org \
        lookup allmatch colors \
        check allmatch colors GREEN \
        check allmatch colors purple \
        lookup regex senders \
        check regex senders postmaster@corp.test \
        check regex senders alice@example.net \
        lookup cidr networks \
        check cidr networks 10.1.200.3 \
        check cidr networks 2001:db8:42::1 \
        check cidr networks 10.2.0.1 \
        lookup mask files \
        check mask files notes.txt \
        check mask files report-26.pdf \
        lookup sqlite aliases \
        check sqlite aliases a.liddell@example.org \
        check sqlite aliases alice@example.net \
        check mask unknown-tag x.txt \
        lookup ldap people \
        check ldap people alice@demo.test,a.liddell@demo.test \
        check ldap people bob@demo.test 2>&1
