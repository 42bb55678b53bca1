#!/usr/bin/env bash
# scripts/run from another folder: the tool's paths are the user's, relative
# to where the user stands, and standard output carries the tool's lines only.
# Usage: check_run_paths.sh SOURCE_DIR
set -uo pipefail
source_dir=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
out=$("$source_dir/scripts/run" --quiet --flash-out saved.bin 2>/dev/null)
status=$?
failures=0
[[ $status -eq 0 ]] || { echo "FAIL: exit status $status"; failures=1; }
[[ -f $scratch/saved.bin && $(stat -c %s "$scratch/saved.bin") -eq 1048576 ]] ||
    { echo "FAIL: --flash-out saved.bin is not in the folder the command ran in"; failures=1; }
[[ ! -e $source_dir/saved.bin ]] || { echo "FAIL: the flash went into the checkout"; rm -f "$source_dir/saved.bin"; failures=1; }
out=$("$source_dir/scripts/run" --quiet --flash-in saved.bin --get Manufacturing.boardSerialNumber 2>"$scratch/err")
status=$?
[[ $status -eq 0 ]] || { echo "FAIL: --flash-in saved.bin from the user's folder: exit status $status"; cat "$scratch/err"; failures=1; }
first=$(head -n 1 <<<"$out")
[[ $first == "Manufacturing.boardSerialNumber[0] = "* ]] || { echo "FAIL: the first line is not the tool's: $first"; failures=1; }
[[ ! -s $scratch/err ]] || { echo "FAIL: a run with nothing to build says on standard error:"; cat "$scratch/err"; failures=1; }
((failures == 0)) && echo "scripts/run: paths from the user's folder: all checks passed"
exit $failures
