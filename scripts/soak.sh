#!/usr/bin/env bash
# The long run, kept out of the suite and CI:
#   - the GMP differential test at a million operations,
#   - every libFuzzer target for SOAK_FUZZ_SECONDS each (scripts/fuzz.sh),
#   - two chat windows exchanging SOAK_LINES lines over loopback, with the
#     process's memory measured before and after,
#   - the reassembly property over seeds 1 to SOAK_ASSEMBLER_SEEDS.
# The differential test, the chat run and the reassembly property go on in the background while the
# fuzz targets run one after the other; the figures are printed at the end.
#
#   scripts/soak.sh
#   SOAK_FUZZ_SECONDS  seconds per fuzz target (default 600)
#   SOAK_DIFF_OPS      differential operations (default 1000000)
#   SOAK_LINES         chat lines (default 10000)
#   SOAK_ASSEMBLER_SEEDS  seeds of the reassembly property (default 1000)
#   SOAK_BUILD_DIR     build directory (default build-soak in the repository)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${SOAK_BUILD_DIR:-$root/build-soak}
fuzz_seconds=${SOAK_FUZZ_SECONDS:-600}
diff_ops=${SOAK_DIFF_OPS:-1000000}
assembler_seeds=${SOAK_ASSEMBLER_SEEDS:-1000}
lines=${SOAK_LINES:-10000}

(cd "$root" && cmake --preset soak -B "$build" >/dev/null)
cmake --build "$build" -j 2 --target bignum_differential_test chat_soak session_tests

logs=$build/soak-logs
rm -rf "$logs"
mkdir -p "$logs"
start=$SECONDS

VELMORA_DIFF_OPS=$diff_ops "$build/tests/bignum/differential/bignum_differential_test" \
  >"$logs/differential.log" 2>&1 &
diff_pid=$!
QT_QPA_PLATFORM=offscreen VELMORA_SOAK_LINES=$lines "$build/tests/app/soak/chat_soak" \
  >"$logs/chat.log" 2>&1 &
chat_pid=$!
VELMORA_ASSEMBLER_SEEDS=$assembler_seeds "$build/tests/session/session_tests" \
  --gtest_filter='Assembler.EveryLineArrivesIntactWhateverTheCutting' >"$logs/assembler.log" 2>&1 &
assembler_pid=$!

fuzz_status=0
"$root/scripts/fuzz.sh" "$fuzz_seconds" 2>&1 | tee "$logs/fuzz.log" || fuzz_status=$?
diff_status=0
wait "$diff_pid" || diff_status=$?
chat_status=0
wait "$chat_pid" || chat_status=$?
assembler_status=0
wait "$assembler_pid" || assembler_status=$?

failed=()
echo
echo "== soak: $(((SECONDS - start) / 60)) minutes"

checked=$(sed -n 's/^differential operations checked: \([0-9]*\)$/\1/p' "$logs/differential.log" | tail -n 1)
echo "differential: ${checked:-?} operations checked against GMP (asked for $diff_ops)"
if ((diff_status != 0)); then
  tail -n 40 "$logs/differential.log"
  failed+=("differential")
elif [[ -z "$checked" ]] || ((checked * 100 < diff_ops * 99)); then
  echo "soak.sh: the differential test ran fewer operations than asked for" >&2
  failed+=("differential (count)")
fi

targets=$(grep -c '^== .*: [0-9]*s$' "$logs/fuzz.log" || true)
executed=$(awk '/^stat::number_of_executed_units:/ { n += $2 } END { print n + 0 }' "$logs/fuzz.log")
hours=$(awk -v t="$targets" -v s="$fuzz_seconds" 'BEGIN { printf "%.2f", t * s / 3600 }')
echo "fuzzing: $targets targets x ${fuzz_seconds}s = $hours hours, $executed inputs run"
((fuzz_status == 0)) || failed+=("fuzz")

grep -E '^(VELMORA_TEST_SEED|lines exchanged|resident|heap|text in)' "$logs/chat.log" || true
if ((chat_status != 0)); then
  tail -n 40 "$logs/chat.log"
  failed+=("chat")
fi

echo "reassembly: seeds 1 to $assembler_seeds of the cutting property"
if ((assembler_status != 0)); then
  grep -A8 'Failure' "$logs/assembler.log" | head -n 60
  failed+=("reassembly")
fi

if ((${#failed[@]} > 0)); then
  echo "soak.sh: failures in: ${failed[*]} (logs in $logs)" >&2
  exit 1
fi
echo "soak.sh: passed (logs in $logs)"
