#!/usr/bin/env bash
# The project's shell scripts pass shellcheck and its Python passes flake8
# (settings in .flake8). Usage: check_scripts.sh SOURCE_DIR
set -uo pipefail
cd "$1" || exit 1
# The tracked files; in a copy of the tree without git (a mutation run's), every
# file outside the build folders.
if ! mapfile -t files < <(git ls-files 2>/dev/null) || ((${#files[@]} == 0)); then
  mapfile -t files < <(find . -path ./build -prune -o -path ./.git -prune -o -type f -print | sed 's|^\./||')
fi
shell=() python=()
for f in "${files[@]}"; do
  [[ -f $f ]] || continue
  case $(head -c 64 "$f" | tr -d '\0' | head -n 1) in
  '#!'*bash* | '#!'*/sh*) shell+=("$f") ;;
  '#!'*python*) python+=("$f") ;;
  *) [[ $f == *.py ]] && python+=("$f") ;;
  esac
done
status=0
shellcheck "${shell[@]}" || status=1
flake8 "${python[@]}" || status=1
((status == 0)) && echo "lint: ${#shell[@]} shell scripts, ${#python[@]} Python files clean"
exit $status
