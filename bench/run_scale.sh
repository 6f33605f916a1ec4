#!/bin/sh
# Runs the many-machines benchmark (scale_server) once per machine count, each in its own process,
# and prints the rows of one Markdown table. By hand only, never in CI: 3 000 machines are 9 000
# threads. Usage: bench/run_scale.sh [BUILD_DIR] [SECONDS] [MACHINES...]
#   BUILD_DIR  a release build (default build/release)
#   SECONDS    length of each paced run (default 5)
#   MACHINES   machine counts (default 10 100 1000 3000)
set -eu
build=${1:-build/release}
seconds=${2:-5}
[ $# -gt 2 ] && shift 2 || set --
[ $# -gt 0 ] || set -- 10 100 1000 3000
header=--header
for n in "$@"; do
    "$build/bench/scale_server" "$n" --seconds "$seconds" $header
    header=
done
