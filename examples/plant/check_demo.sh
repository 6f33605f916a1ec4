#!/usr/bin/env bash
# Runs the plant demonstration headless with programs already built and checks, from the
# monitor's lines, that the machine's flows and alarms went through the scenario in order.
# Usage: check_demo.sh DEMO_SCRIPT PROGRAM_DIR VELKO_PROGRAM
set -uo pipefail
demo=$1
programs=$2
velko=$3
out=$(mktemp)
trap 'rm -f "$out"' EXIT

# The demonstration bounds each of its waits itself; timeout only guards against a hang.
timeout 170 "$demo" --programs "$programs" --velko "$velko" >"$out" 2>&1
status=$?
if [ "$status" -ne 0 ]; then
  cat "$out"
  echo "The demonstration exited with status $status."
  exit 1
fi

# The first word of each value the monitor printed for address $1, in order.
values_of() {
  grep -E "^  [0-9:.]+  $1 " "$out" | sed -E "s|^  [0-9:.]+  $1 ||" | awk '{print $1}'
}

# Whether the words $2... appear in this order among the values of address $1.
passed_through() {
  local address=$1
  shift
  local seen
  seen=$(values_of "$address" | tr '\n' ' ')
  local rest=" $seen"
  for want in "$@"; do
    case "$rest" in
      *" $want "*) rest=${rest#*" $want "}; rest=" $rest" ;;
      *) echo "$address did not go through: $* (it showed: $seen)"; return 1 ;;
    esac
  done
}

failed=0
passed_through SEQUENCER/FLOW_1 Off operating Off || failed=1
passed_through SEQUENCER/FLOW_2 Permitted Blocked Permitted Blocked || failed=1
passed_through OPERATING/FLOW_1 Ready Isolated Evacuating Ready || failed=1
passed_through OPERATING/FLOW_2 Running Tripped Running || failed=1
passed_through OPERATING/ALARM Leak: Pump || failed=1
grep -q "SPEED2	2	80	;" "$out" || { echo "The saved settings file does not hold pump 2's new speed."; failed=1; }
if [ "$failed" -ne 0 ]; then
  cat "$out"
  exit 1
fi
echo "The machine went through the whole scenario."
