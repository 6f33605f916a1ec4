#!/usr/bin/env bash
# Installs the build tree into a temporary prefix under DESTDIR, checks that every file lands
# inside that prefix, then builds and runs an application against the installed package alone.
# Usage: check_install.sh BUILD_DIR APP_SOURCE_DIR
set -euo pipefail
build=$1
app=$2
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
cmake -S "$app" -B "$work/app" -G Ninja -DCMAKE_PREFIX_PATH="$installed" >"$work/configure.log" \
  || { cat "$work/configure.log"; exit 1; }
cmake --build "$work/app" >"$work/build.log" || { cat "$work/build.log"; exit 1; }
env -u LD_LIBRARY_PATH "$work/app/fsm_app"
# The command-line client runs from the prefix and finds the platform library beside it.
env -u LD_LIBRARY_PATH "$installed/bin/velko" --help >"$work/velko_help.txt" \
  || { echo "The installed velko does not run:"; cat "$work/velko_help.txt"; exit 1; }
grep -q "monitor" "$work/velko_help.txt" || { echo "velko --help lists no monitor subcommand"; exit 1; }
