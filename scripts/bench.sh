#!/usr/bin/env bash
# Installs what is missing, builds, runs the benchmark programs and ends with
# a table of every figure beside its target. Each program prints its figures
# as "name value unit" lines; a program run several times has the median of
# each figure in the table.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

# The benchmark programs, in the order they run. Adding a benchmark is one
# line here (its program is built by bench/CMakeLists.txt), plus one line in
# `targets` for each figure that has a target.
benches=(
  bench_relay
  bench_ingest
  bench_latency
  bench_push_scan
  bench_push_roundtrip
  bench_soak
  bench_desktop
  bench_idle
)
# Runs of a program whose figures move with the machine's load; 1 if unnamed.
declare -A runs=([bench_ingest]=5)

# figure, comparison (min: at least, max: at most), bound, in the figure's unit.
targets="
relay_lines_per_s      min 100000
relay_latency_p99      max 1000
ingest_lines_per_s     min 1000000
ingest_lines_per_cpu_s min 3000000
ingest_cpu_vs_jq       min 7
ingest_instructions_per_line max 3000
ingest_rss_above_idle  max 32
ingest_descending_names_cpu_s max 2
latency_call_p99       max 50
latency_message_p99    max 50
latency_unlock_invoke_p99 max 50
push_scan_10mb         min 1000
push_roundtrip_p50     max 1.0
push_roundtrip_p99     max 2
soak_total_rss_growth  max 2
soak_total_fds_growth  max 0
soak_total_peak_rss    max 100
desktop_call_notify_p99 max 50
idle_embedded_rss      max 14.5
idle_desktop_rss       max 17
idle_embedded_wakeups_10s max 1
idle_desktop_wakeups_10s max 1
"

scripts/setup.sh --bench
scripts/build.sh -t zunaro-benches build >/dev/null

figures=$(mktemp)
trap 'rm -f "$figures"' EXIT
failed=0
for bench in "${benches[@]}"; do
  echo "== $bench"
  # Each runs in a network namespace of its own where it may, like the
  # tests, so the fixed command port is free.
  for ((run = 1; run <= ${runs[$bench]:-1}; run++)); do
    if ! tests/run_isolated.sh "build/bench/$bench" | tee -a "$figures"; then
      echo "$bench failed" >&2
      failed=1
    fi
  done
done

# The median of each figure over its runs, in the order first printed.
medians=$(awk 'NF == 3 && $2 ~ /^-?[0-9.]+$/ {
    if (!($1 in n)) order[++count] = $1
    v[$1, ++n[$1]] = $2; unit[$1] = $3
  }
  END {
    for (i = 1; i <= count; i++) {
      f = order[i]; m = n[f]
      for (a = 1; a <= m; a++) s[a] = v[f, a] + 0
      for (a = 2; a <= m; a++) for (b = a; b > 1 && s[b - 1] > s[b]; b--) { t = s[b]; s[b] = s[b - 1]; s[b - 1] = t }
      printf "%s %s %s\n", f, (m % 2 ? s[(m + 1) / 2] : (s[m / 2] + s[m / 2 + 1]) / 2), unit[f]
    }
  }' "$figures")

echo
echo "== figures and targets"
printf '%s\n' "$targets" | awk '
  BEGIN { printf "%-26s %14s %-8s %-20s %s\n", "figure", "value", "unit", "target", "" }
  NR == FNR { if (NF == 3) { op[$1] = $2; bound[$1] = $3 } next }
  NF == 3 {
    target = "-"; verdict = ""
    if ($1 in op) {
      target = (op[$1] == "min" ? ">= " : "<= ") bound[$1] " " $3
      met = (op[$1] == "min") ? ($2 + 0 >= bound[$1]) : ($2 + 0 <= bound[$1])
      verdict = met ? "met" : "MISSED"
      seen[$1] = 1
    }
    printf "%-26s %14s %-8s %-20s %s\n", $1, $2, $3, target, verdict
  }
  END {
    for (f in op)
      if (!(f in seen))
        printf "%-26s %14s %-8s %-20s %s\n", f, "-", "", (op[f] == "min" ? ">= " : "<= ") bound[f], "NOT MEASURED"
  }' - <(printf '%s\n' "$medians")
exit "$failed"
