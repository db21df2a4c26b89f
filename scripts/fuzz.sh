#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer)
# and runs each for the given number of seconds (default 60), one after the other.
# Inputs that add coverage are merged into fuzz/corpus/<target>/; everything else a
# run finds stays in a scratch directory that is thrown away. Any crash, sanitizer
# report, leak or timeout fails the script; the input that caused it is kept under
# <build>/fuzz-artifacts/<target>/.
#
#   scripts/fuzz.sh [seconds] [target...]
#   FUZZ_BUILD_DIR  build directory (default build-fuzz in the repository)
#   FUZZ_CORPUS     folder of the corpora, one sub-folder per target (default
#                   fuzz/corpus); CI points it at a copy so the tree stays as it was
set -euo pipefail

seconds=${1:-60}
shift || true
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || ((seconds < 1)); then
  echo "usage: $0 [seconds] [target...]" >&2
  exit 2
fi

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
corpus_root=${FUZZ_CORPUS:-$root/fuzz/corpus}

if ! command -v clang++ >/dev/null; then
  echo "fuzz.sh: clang++ is needed (scripts/install-deps.sh installs it)" >&2
  exit 2
fi

targets=("$@")
if ((${#targets[@]} == 0)); then
  for source in "$root"/fuzz/*_fuzz.cpp; do
    targets+=("$(basename "$source" .cpp)")
  done
fi

(cd "$root" && cmake --preset fuzz -B "$build" >/dev/null)
cmake --build "$build" -j 2 --target "${targets[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$root/tests/lsan.supp:print_suppressions=0
export QT_QPA_PLATFORM=offscreen

# Options of single targets: the decryption target takes a 16 KiB chunk plus a key.
target_options() {
  case "$1" in
    decrypt_fuzz) echo "-max_len=17000" ;;
    session_fuzz) echo "-max_len=40000" ;;
    *) echo "-max_len=4096" ;;
  esac
}

scratch_root=$(mktemp -d)
trap 'rm -rf "$scratch_root"' EXIT

failed=()
for target in "${targets[@]}"; do
  binary=$build/fuzz/$target
  corpus=$corpus_root/$target
  scratch=$scratch_root/$target
  artifacts=$build/fuzz-artifacts/$target
  mkdir -p "$corpus" "$scratch" "$artifacts"
  before=$(find "$corpus" -type f | wc -l)

  echo "== $target: ${seconds}s"
  # shellcheck disable=SC2046
  if ! "$binary" "$scratch" "$corpus" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2560 \
      -print_final_stats=1 -artifact_prefix="$artifacts/" \
      $(target_options "$target") >"$scratch_root/$target.log" 2>&1; then
    tail -n 60 "$scratch_root/$target.log"
    echo "== $target FAILED; the input is in $artifacts/" >&2
    failed+=("$target")
  else
    grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$scratch_root/$target.log" || true
  fi

  # Keep only what adds coverage to the committed corpus.
  "$binary" -merge=1 "$corpus" "$scratch" $(target_options "$target") \
    >"$scratch_root/$target.merge.log" 2>&1 || {
    tail -n 20 "$scratch_root/$target.merge.log"
    failed+=("$target (merge)")
  }
  after=$(find "$corpus" -type f | wc -l)
  echo "   corpus $before -> $after inputs"
done

if ((${#failed[@]} > 0)); then
  echo "fuzz.sh: failures in: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz.sh: all ${#targets[@]} targets ran ${seconds}s without a finding"
