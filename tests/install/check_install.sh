#!/usr/bin/env bash
# Installs the build tree into a temporary prefix under DESTDIR, checks that every file lands
# inside that prefix, then builds and runs an application against the installed package alone,
# and builds the server template (examples/template) against it too and runs it for a few cycles.
# Usage: check_install.sh BUILD_DIR APP_SOURCE_DIR [TEMPLATE_SOURCE_DIR]
set -euo pipefail
build=$1
app=$2
template=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=/opt/fsm-install-check

DESTDIR="$work/root" cmake --install "$build" --prefix "$prefix" >"$work/install.log"
outside=$(cd "$work/root" && find . -mindepth 1 \( -type f -o -type l \) | grep -v "^\.$prefix/" || true)
if [ -n "$outside" ]; then
  echo "Installed outside the prefix $prefix:"
  echo "$outside"
  exit 1
fi

installed="$work/root$prefix"
# Configures and builds the project in $1 out of tree into $2 against the installed package.
build_against_install() {
  cmake -S "$1" -B "$2" -G Ninja -DCMAKE_PREFIX_PATH="$installed" >"$2.configure.log" \
    || { cat "$2.configure.log"; exit 1; }
  cmake --build "$2" >"$2.build.log" || { cat "$2.build.log"; exit 1; }
}
build_against_install "$app" "$work/app"
env -u LD_LIBRARY_PATH "$work/app/fsm_app"
if [ -n "$template" ]; then
  build_against_install "$template" "$work/template"
  mkdir "$work/run"
  cp "$template/machine.conf" "$work/run/"
  env -u LD_LIBRARY_PATH "$work/template/machine_server" --rate 20 --cycles 5 --port 0 "$work/run/machine.conf" \
    >"$work/run/out.txt" 2>&1 || { echo "The template's server did not run:"; cat "$work/run/out.txt"; exit 1; }
  grep -q '^ *FLOW_1 .*"Idle' "$work/run/machine.conf" \
    || { echo "The template's server did not save its machine's flow:"; cat "$work/run/machine.conf"; exit 1; }
fi
# The command-line client runs from the prefix and finds the platform library beside it.
env -u LD_LIBRARY_PATH "$installed/bin/velko" --help >"$work/velko_help.txt" \
  || { echo "The installed velko does not run:"; cat "$work/velko_help.txt"; exit 1; }
grep -q "monitor" "$work/velko_help.txt" || { echo "velko --help lists no monitor subcommand"; exit 1; }
