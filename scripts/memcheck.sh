#!/usr/bin/env bash
# Runs the test suites that need no window under valgrind memcheck, in a plain
# build without sanitizers. Any memory error, and any definitely or indirectly
# lost block, fails the script.
#
#   scripts/memcheck.sh [suite...]      suites: test executables by target name
#   MEMCHECK_BUILD_DIR   build directory (default build-memcheck in the repository)
#
# valgrind runs code about thirty times slower, so the differential test runs a
# fifth of its operations (VELMORA_DIFF_SCALE=20) here.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${MEMCHECK_BUILD_DIR:-$root/build-memcheck}

if ! command -v valgrind >/dev/null; then
  echo "memcheck.sh: valgrind is needed (scripts/install-deps.sh installs it)" >&2
  exit 2
fi

# The suites below the window: arithmetic, primes and keys, cipher, connections,
# the session and the connection owner, as their CMakeLists.txt name them.
names=("$@")
if ((${#names[@]} == 0)); then
  for dir in bignum bignum/differential primes cipher net session link; do
    while IFS= read -r name; do
      names+=("$name")
    done < <(sed -n 's/^ *velmora_add_gtest( *\([A-Za-z0-9_]*\).*/\1/p' "$root/tests/$dir/CMakeLists.txt")
  done
fi
if ((${#names[@]} == 0)); then
  echo "memcheck.sh: no test suites found" >&2
  exit 2
fi

(cd "$root" && cmake --preset memcheck -B "$build" >/dev/null)
cmake --build "$build" -j 2 --target "${names[@]}"

suites=()
for name in "${names[@]}"; do
  exe=$(find "$build/tests" -type f -executable -name "$name" | head -n 1)
  if [[ -z "$exe" ]]; then
    echo "memcheck.sh: $name was not built" >&2
    exit 2
  fi
  suites+=("$exe")
done

export QT_QPA_PLATFORM=offscreen
export VELMORA_DIFF_SCALE=${VELMORA_DIFF_SCALE:-20}
logs=$build/memcheck-logs
mkdir -p "$logs"

failed=()
for exe in "${suites[@]}"; do
  name=$(basename "$exe")
  start=$SECONDS
  if valgrind --tool=memcheck --leak-check=full --errors-for-leak-kinds=definite,indirect \
      --show-leak-kinds=definite,indirect --error-exitcode=1 --num-callers=30 \
      --log-file="$logs/$name.valgrind" "$exe" >"$logs/$name.out" 2>&1; then
    echo "== $name: clean ($((SECONDS - start))s)"
  else
    echo "== $name: FAILED ($((SECONDS - start))s); valgrind log: $logs/$name.valgrind" >&2
    grep -E '^==[0-9]+== (Invalid|Conditional|Use of|Mismatched|[0-9,]+ bytes in)' "$logs/$name.valgrind" | head -n 20 >&2 || true
    tail -n 20 "$logs/$name.out" >&2
    failed+=("$name")
  fi
done

if ((${#failed[@]} > 0)); then
  echo "memcheck.sh: failures in: ${failed[*]}" >&2
  exit 1
fi
echo "memcheck.sh: ${#suites[@]} suites clean"
