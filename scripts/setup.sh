#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine (as root): installs the dependencies,
# builds the project in build/, then runs the demo: the daemon under the
# PilotD stand-in with examples/demo.conf, answering lookups and checks on
# the four example list files and a SQLite database made from
# examples/demo.sql, stopped with SIGTERM at the end.
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
        check mask unknown-tag x.txt 2>&1
