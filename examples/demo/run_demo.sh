#!/bin/sh
# Starts the demonstration server on a copy of demo.conf, waits until the station has stopped
# the pump once (a whole cycle of the machine), stops the server with SIGTERM and checks that it
# exited cleanly and saved its configuration.
# Usage: run_demo.sh SERVER_PROGRAM CONFIGURATION_FILE
set -eu
server=$1
conf=$2
work=$(mktemp -d)
pid=""
cleanup() {
    if [ -n "$pid" ]; then kill -KILL "$pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
cp "$conf" "$work/demo.conf"
cd "$work"
# The cycle limit (60 s at this rate) ends the server even if this script is killed. No network
# service: tests never take a fixed port (tests/integration/test_cli_demo.cc reaches the demo).
"$server" --rate 20 --cycles 3000 --port 0 demo.conf >out.txt 2>&1 &
pid=$!

# Wait (up to 60 s) for the second entry of Stopped: start, fill, full, stop.
tries=0
until [ "$(grep -c '^Stopped: entered$' out.txt || true)" -ge 2 ]; do
    if ! kill -0 "$pid" 2>/dev/null; then
        echo "The demonstration server ended early:"; cat out.txt; exit 1
    fi
    tries=$((tries + 1))
    if [ "$tries" -ge 600 ]; then
        echo "The machine did not complete a cycle within 60 s:"; cat out.txt; exit 1
    fi
    sleep 0.1
done

kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=""
cat out.txt
if [ "$status" -ne 0 ]; then
    echo "The demonstration server exited with status $status after SIGTERM."; exit 1
fi
for line in "Running: entered" "Pumping: level 3" "High: entered" "Running: tank full, stopping"; do
    grep -q "^$line\$" out.txt || { echo "Missing output line: $line"; exit 1; }
done
grep -q '^watch DEMO/PUMPS/PUMP/FLOW_2 = High : tank full$' out.txt || {
    echo "The watcher did not read the tank level flow."; exit 1; }
grep -q '^ *FLOW_1' demo.conf || { echo "The saved configuration lost its FLOW_1 line."; exit 1; }
echo "The demonstration machine completed a cycle and the server stopped cleanly."
