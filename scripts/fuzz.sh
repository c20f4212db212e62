#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, ASan+UBSan) in build/fuzz and
# runs each one for a bounded time, starting from its seed corpus under
# fuzz/corpus/<target>. Fails when any target finds a crash, a sanitizer
# report or a broken property; the input that did it is kept under
# build/fuzz/artifacts/<target>/.
#
#   scripts/fuzz.sh          about 20 s per target (the test run)
#   scripts/fuzz.sh 600      a longer campaign: 10 minutes per target
#   scripts/fuzz.sh 60 ini_fuzz sql_token_fuzz   only the targets named
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-20}"
shift || true
build="$root/build/fuzz"

all_targets=(command_line_fuzz command_loop_fuzz ini_fuzz ip_mask_fuzz connect_string_fuzz query_text_fuzz
             quote_brackets_fuzz sql_token_fuzz collect_errors_fuzz stored_value_fuzz
             squid_request_fuzz checkpassword_input_fuzz auth_protocol_fuzz socketmap_fuzz
             counter_files_fuzz http_request_fuzz saslauthd_fuzz)
if [ "$#" -gt 0 ]; then targets=("$@"); else targets=("${all_targets[@]}"); fi

cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DQM_FUZZ=ON -DQM_TESTS=OFF \
  -DQM_SANITIZE=ON -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$build" --target "${targets[@]}" -j "$(nproc)"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"

status=0
summary=()
for t in "${targets[@]}"; do
  seeds="$root/fuzz/corpus/$t"
  # New inputs grow a working corpus in the build tree; the seeds in the
  # source tree are only read.
  work="$build/corpus/$t"
  artifacts="$build/artifacts/$t"
  mkdir -p "$work" "$artifacts"
  [ -d "$seeds" ] || seeds=""
  log="$build/$t.log"
  echo "== fuzz: $t for ${seconds}s"
  if "$build/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" ${seeds:+"$seeds"} >"$log" 2>&1; then
    verdict=ok
  else
    verdict=FAILED
    status=1
    grep -E 'PROPERTY BROKEN|ERROR: (AddressSanitizer|libFuzzer)|runtime error|detail:|Test unit written' "$log" | head -n 20 || true
  fi
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
  # Coverage as libFuzzer counts it: edges reached of the instrumented
  # program points (the target and the libraries it links).
  cov="$(grep -oE 'cov: [0-9]+' "$log" | tail -n 1 | tr -dc 0-9)"
  pcs="$(sed -n 's/.*PC tables (\([0-9]*\) PCs).*/\1/p' "$log" | head -n 1)"
  summary+=("$(printf '%-22s %-7s runs %-10s cov %s/%s' "$t" "$verdict" "${runs:-?}" "${cov:-?}" "${pcs:-?}")")
done
echo "== fuzz summary (${seconds}s per target)"
printf '%s\n' "${summary[@]}"
exit $status
