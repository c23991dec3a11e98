#!/usr/bin/env bash
# The unplug soak: all four receivers through the recorder (zalvo_capture simulate, SigMF) on the
# simulated board paced in real time, with the board unplugged again and again for a random
# 1-10 s (seeded; back cold and back warm in turn, a re-join of 1.5 s after each firmware load).
# Checks, from the recorder's summary and recordings and from the process as it runs:
#   - every unplug is one absence of the summary, and the board came back each time;
#   - each absence's length (its samples missing) agrees within one block with the recording:
#     the time between the dates of the segments around it, less the samples recorded between;
#   - no other sample was lost (no overrun, no drop by the board, no block the recorder missed);
#   - memory, descriptors and threads flat from the first absence on (memory within 8 MiB);
#   - the CPU the process takes while the board is away, against while it streams.
# Prints its figures as "unplug_soak_<key> <value>" lines and writes them into RELIABILITY.md.
#
# usage: scripts/soak.sh unplug [minutes of signal] [seconds between unplugs] [seed]
#        (default 60, 300, 7: the full hour)
# environment: SOAK_BUILD_DIR (default build), SOAK_KEEP (keep the recordings' folder)
set -euo pipefail
cd "$(dirname "$0")/.."

minutes=${1:-60}
every=${2:-300}
seed=${3:-7}
build=${SOAK_BUILD_DIR:-build}
rate=48000
block=512

cmake --build "$build" --target zalvo_capture >/dev/null
tool="$build/tools/zalvo_capture"

work=$(mktemp -d)
[ -n "${SOAK_KEEP:-}" ] || trap 'rm -rf "$work"' EXIT
cat >"$work/scene.txt" <<EOF
noise -100
carrier 3523000 -40
carrier 3601000 -50
board cold rev=4 pacing=real_time fifo=2097152 rejoin_ms=1500 eeprom1=0x0001 eeprom3=0x0001
unplug at=$every every=$((2 * every)) for=1..10 seed=$seed back=cold
unplug at=$((2 * every)) every=$((2 * every)) for=1..10 seed=$((seed + 1)) back=warm
EOF

echo "== unplug soak: $minutes min of signal, unplugged every $every s for 1-10 s (seed $seed)"
"$tool" simulate --scene "$work/scene.txt" -d $((minutes * 60)) --format sigmf -o "$work/out" \
  -q >"$work/summary.txt" 2>"$work/stderr.txt" &
pid=$!

# Every half second: the process's CPU ticks, resident memory, descriptors and threads, and
# whether the module has said the board is away.
hz=$(getconf CLK_TCK)
: >"$work/samples.txt"
while kill -0 "$pid" 2>/dev/null; do
  stat=$(cat "/proc/$pid/stat" 2>/dev/null) || break
  ticks=$(echo "$stat" | awk '{ sub(/^.*\) /, ""); print $12 + $13 }')
  rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || echo 0)
  threads=$(awk '/^Threads:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || echo 0)
  fds=$(ls "/proc/$pid/fd" 2>/dev/null | wc -l)
  lost=$(grep -c '^StreamWorker: board lost' "$work/stderr.txt" || true)
  back=$(grep -c '^StreamWorker: board back' "$work/stderr.txt" || true)
  echo "$(date +%s.%N) $ticks ${rss:-0} ${threads:-0} $fds $lost $back" >>"$work/samples.txt"
  sleep 0.5
done
status=0
wait "$pid" || status=$?

python3 - "$work" "$status" "$rate" "$block" "$hz" <<'EOF'
import datetime, json, re, sys
work, status, rate, block, hz = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
summary = open(work + "/summary.txt").read()
stderr = open(work + "/stderr.txt").read()
failures = []
def check(ok, what):
    if not ok:
        failures.append(what)

unplugs = len(re.findall(r"^usbsim: board 0 unplugged", stderr, re.M))
away = [(float(a), int(n)) for a, n in re.findall(
    r"BOARD AWAY: .*back after ([0-9.]+) s: ([0-9]+) samples missing", summary)]
check(status == 4, "exit status %d, not 4" % status)
check(unplugs > 0, "the board was never unplugged")
check(len(away) == unplugs and summary.count("BOARD AWAY") == unplugs,
      "%d unplugs, %d absences reported (%d back)" % (unplugs, summary.count("BOARD AWAY"), len(away)))
check("SAMPLES LOST" not in summary, "other samples lost: " + summary)
check("overruns: 0 reported" in summary, "overruns reported")
check("dropped 0 sample instants" in summary, "the simulated board dropped samples")

def utc(s):
    return datetime.datetime.strptime(s, "%Y-%m-%dT%H:%M:%S.%fZ").replace(
        tzinfo=datetime.timezone.utc).timestamp()

worst = 0
errors = []
for rx in range(4):
    meta = json.load(open("%s/out/rx%d.sigmf-meta" % (work, rx)))
    caps = meta["captures"]
    check(len(caps) == len(away) + 1, "rx%d: %d segments for %d absences" % (rx, len(caps), len(away)))
    for k in range(1, min(len(caps), len(away) + 1)):
        seconds = utc(caps[k]["core:datetime"]) - utc(caps[k - 1]["core:datetime"])
        recorded = caps[k]["core:sample_start"] - caps[k - 1]["core:sample_start"]
        error = round(seconds * rate) - recorded - away[k - 1][1]
        worst = max(worst, abs(error))
        if rx == 0:
            errors.append(error)
        check(abs(error) <= block, "rx%d absence %d: %+d samples against its dates" % (rx, k, error))

samples = [list(map(float, l.split())) for l in open(work + "/samples.txt") if l.strip()]
# Memory, descriptors and threads just before each absence (the highest of the ten samples
# before it, the board streaming) and near the end, from the second absence on: the first
# return may still allocate what every later one reuses.
checkpoints = [i for i in range(1, len(samples)) if samples[i][5] > samples[i - 1][5]]
checkpoints = [i for i in checkpoints[1:]] + [max(0, len(samples) - 4)]
windows = [samples[max(0, i - 10):i] for i in checkpoints]
windows = [[s for s in w if s[5] == s[6]] for w in windows]
windows = [w for w in windows if w]
def spread(col):
    v = [max(s[col] for s in w) for w in windows]
    return int(max(v) - min(v)) if len(v) >= 2 else -1
rss = [max(s[2] for s in w) for w in windows]
rss_growth = int(rss[-1] - rss[0]) if len(rss) >= 2 else -1
fd_change, thread_change = spread(4), spread(3)
check(len(windows) >= 2, "too short a run to judge memory (two absences at least)")
check(rss_growth <= 8192, "resident memory grew %d KiB" % rss_growth)
check(fd_change == 0, "descriptors changed by %d" % fd_change)
check(thread_change == 0, "threads changed by %d" % thread_change)
cpu = {True: [0.0, 0.0], False: [0.0, 0.0]}  # away: [ticks, seconds]
for a, b in zip(samples, samples[1:]):
    is_away = a[5] > a[6] and b[5] > b[6]
    if is_away or (a[5] == a[6] and b[5] == b[6]):
        cpu[is_away][0] += b[1] - a[1]
        cpu[is_away][1] += b[0] - a[0]
pct = lambda c: 100.0 * c[0] / hz / c[1] if c[1] > 0 else -1

figures = {
    "unplug_soak_signal_minutes": round(float(re.search(r"([0-9.]+) s of signal", summary).group(1)) / 60, 1),
    "unplug_soak_wall_seconds": int(samples[-1][0] - samples[0][0]) if samples else 0,
    "unplug_soak_absences": len(away),
    "unplug_soak_away_seconds": round(sum(a for a, _ in away), 1),
    "unplug_soak_worst_error_samples": worst,
    "unplug_soak_rss_growth_kib": rss_growth,
    "unplug_soak_fd_change": fd_change,
    "unplug_soak_thread_change": thread_change,
    "unplug_soak_cpu_away_pct": round(pct(cpu[True]), 2),
    "unplug_soak_cpu_streaming_pct": round(pct(cpu[False]), 2),
}
with open(work + "/figures.txt", "w") as f:
    for k, v in figures.items():
        print("%s %s" % (k, v))
        f.write("%s %s\n" % (k, v))
for (a, n), e in zip(away, errors):
    print("   absence %.3f s, %d samples missing, %+d samples against the dates" % (a, n, e))
print("   resident memory before each absence from the second on, KiB: %s" %
      " ".join(str(int(r)) for r in rss))
if failures:
    print("unplug soak: FAILED\n  " + "\n  ".join(failures))
    sys.exit(1)
EOF
./scripts/reliability_figures.sh RELIABILITY.md <"$work/figures.txt"
echo "unplug soak: passed; figures written to RELIABILITY.md"
