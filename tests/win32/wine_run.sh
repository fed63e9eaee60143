#!/bin/sh
# Runs a Windows test program under Wine in the run's prefix: wine_run.sh PREFIX PROGRAM [ARG...]
set -eu
WINE_PREFIX_DIR=$1
shift
. "$(dirname "$0")/wine_env.sh"
exec wine "$@"
