#!/bin/sh
# Runs the decoding fuzzer for SECONDS in JOBS processes sharing one corpus, each restarted
# after a finding until the time is up, then prints what the run did: executions, corpus size,
# coverage, and every finding (sanitizer reports by their first frame, crash inputs by name).
# The corpus and the findings stay in OUT for the next run.
#   usage: run.sh FUZZER SEEDS OUT SECONDS JOBS
set -eu
fuzzer=$1 seeds=$2 out=$3 seconds=$4 jobs=$5
mkdir -p "$out/corpus" "$out/findings" "$out/logs"
export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:abort_on_error=0"
export UBSAN_OPTIONS="print_stacktrace=1:report_error_type=1"
end=$(( $(date +%s) + seconds ))

worker() {
  n=0
  while [ "$(date +%s)" -lt "$end" ]; do
    n=$((n + 1))
    left=$(( end - $(date +%s) ))
    # -max_len: whole clips of the seeds; -timeout: a hang is a finding too.
    "$fuzzer" -max_total_time="$left" -timeout=20 -rss_limit_mb=3072 -max_len=98304 \
      -print_final_stats=1 -artifact_prefix="$out/findings/" "$out/corpus" "$seeds" \
      >"$out/logs/worker$1-run$n.log" 2>&1 || true
  done
}

started=$(date +%s)
i=1
while [ "$i" -le "$jobs" ]; do
  worker "$i" &
  i=$((i + 1))
done
wait

execs=0
for log in "$out"/logs/*.log; do
  e=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  execs=$((execs + ${e:-0}))
done
echo "fuzz: $(( $(date +%s) - started )) s in $jobs process(es), $execs executions this run"
echo "fuzz: corpus $(ls "$out/corpus" | wc -l) inputs; last coverage line:"
grep -h -E '^#[0-9]+' "$out"/logs/*.log | tail -n 1
echo "fuzz: sanitizer reports (first frame inside the project, FFmpeg or OpenCV):"
grep -h -E 'runtime error:|ERROR: (Address|Leak)Sanitizer|ERROR: libFuzzer' "$out"/logs/*.log \
  | sed -E 's/^[^ ]*\/(src|build-[^/]*)\//\1\//' | sort | uniq -c | sort -rn | head -n 40 || true
echo "fuzz: inputs kept in $out/findings:"
ls "$out/findings"
