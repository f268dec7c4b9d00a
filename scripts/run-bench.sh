#!/usr/bin/env bash
# Builds the benchmarks (Release) and runs every one of them, then prints one
# table: name, figure, unit, and the ratio against the peer where one runs in
# the same binary (spdlog's async logger, zlib's crc32, a raw SDL2 loop).
#   scripts/run-bench.sh [--compare OLD.json] [build-dir]   default build-bench
#   BENCH_MIN_TIME=0.5 (seconds per benchmark), BENCH_FRAMES=300 (gfx_frames),
#   BENCH_STARTUPS=5 (start-up runs, median), BENCH_JOBS=2 (build jobs),
#   BENCH_COMPARE=OLD.json (same as --compare)
# The graphics benchmarks run under an Xvfb this script starts (and stops)
# itself; results go to <build-dir>/bench-results/ as JSON and text too, the
# table itself as table.txt and table.json. With the table.json of an earlier
# run, each figure and each ratio against its peer is also printed beside the
# earlier one (compare.txt).
set -euo pipefail
compare=${BENCH_COMPARE:-}
build=build-bench
while [ $# -gt 0 ]; do
  case "$1" in
    --compare) compare=${2:?--compare needs the JSON of an earlier run}; shift 2 ;;
    --compare=*) compare=${1#--compare=}; shift ;;
    -h|--help) sed -n '2,16p' "$0"; exit 0 ;;
    *) build=$1; shift ;;
  esac
done
if [ -n "$compare" ]; then
  [ -f "$compare" ] || { echo "no such file: $compare" >&2; exit 2; }
  compare=$(realpath "$compare")
fi
cd "$(dirname "$0")/.."
root=$PWD
min_time=${BENCH_MIN_TIME:-0.5}
frames=${BENCH_FRAMES:-300}
startups=${BENCH_STARTUPS:-5}

./scripts/setup-debian.sh --bench

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVOREL_BUILD_BENCH=ON \
  -DVOREL_BUILD_TESTS=OFF -DVOREL_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j"${BENCH_JOBS:-2}"

out="$build/bench-results"
rm -rf "$out"; mkdir -p "$out"
state="$root/$out/xvfb.state"
cleanup() { "$root/scripts/xvfb-fixture.sh" stop "$state" || true; }
trap cleanup EXIT
"$root/scripts/xvfb-fixture.sh" start "$state" >/dev/null
export DISPLAY; DISPLAY=$(cat "$state")
export SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=/dev/null DISABLE_REBOOT_ON_EXIT=1

for bin in "$build"/bench/bench_*; do
  [ -x "$bin" ] || continue
  name=$(basename "$bin")
  echo "== $name" >&2
  if [ "$name" = bench_gfx_frames ]; then
    "$bin" "$frames" > "$out/$name.txt" 2>&1
  elif [ "$name" = bench_gfx_Startup ] || [ "$name" = bench_Startup ]; then
    # One start-up per process, as a terminal has it.
    : > "$out/$name.txt"
    for _ in $(seq "$startups"); do "$bin" >> "$out/$name.txt" 2>&1; done
  else
    "$bin" --benchmark_min_time="$min_time" --benchmark_out="$out/$name.json" \
      --benchmark_out_format=json > "$out/$name.txt" 2>&1
  fi
done

{
  echo "machine: $(uname -srm), $(nproc) CPUs, $(lscpu | sed -n 's/^Model name: *//p')"
  python3 - "$out" "$compare" <<'EOF'
import json, os, re, statistics, sys

out, compare = sys.argv[1], sys.argv[2]
rows = []   # (name, figure, unit, time per op in ns or None)

def per_op_ns(b):
    scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
    return b["real_time"] * scale

for f in sorted(os.listdir(out)):
    if not (f.startswith("bench_") and f.endswith(".json")):
        continue
    binary = f[len("bench_"):-len(".json")]
    for b in json.load(open(os.path.join(out, f)))["benchmarks"]:
        if b.get("run_type") == "aggregate" or b.get("error_occurred"):
            continue
        # Fixed iteration counts and timing modes are noise in a table.
        short = re.sub(r"/(iterations:\d+|manual_time|real_time)", "", b["name"].replace("BM_", ""))
        name = binary + ":" + short
        if b.get("label"):
            name += " (" + b["label"] + ")"
        t = per_op_ns(b)
        if "cpu_ms_per_s" in b:
            rows.append((name, b["cpu_ms_per_s"], "ms CPU per s", None))
            rows.append((name + " passes", b["passes_per_s"], "passes/s", None))
            if "period_p99_us" in b:
                rows.append((name + " period mean", b["period_mean_us"] / 1000, "ms", None))
                rows.append((name + " period p99", b["period_p99_us"] / 1000, "ms", None))
        elif "p50_us" in b:
            rows.append((name + " p50", b["p50_us"], "us", None))
            rows.append((name + " p99", b["p99_us"], "us", None))
        elif "bytes_per_second" in b:
            rows.append((name, b["bytes_per_second"] / 1e6, "MB/s", t))
        else:
            rows.append((name, b["real_time"], b.get("time_unit", "ns") + "/op", t))

# gfx_frames prints tables of its own: frame time against the raw loop,
# pacing at 60 and capacity within one frame.
frames = {}
p = os.path.join(out, "bench_gfx_frames.txt")
if os.path.exists(p):
    text = open(p).read()
    for n, raw, vorel, _ in re.findall(r"^\s+(\d+)\s+([\d.]+)\s+([\d.]+)\s+(-?[\d.]+)$", text, re.M):
        rows.append(("gfx_frames:draw/%s components" % n, float(vorel), "ms/frame", None))
        frames["gfx_frames:draw/%s components" % n] = float(raw)
    m = re.search(r"achieved ([\d.]+) frames/s, period mean ([\d.]+) ms, stddev ([\d.]+) ms, p99 ([\d.]+) ms", text)
    if m:
        rows.append(("gfx_frames:pacing at 60, achieved", float(m.group(1)), "frames/s", None))
        rows.append(("gfx_frames:pacing at 60, mean period", float(m.group(2)), "ms", None))
        rows.append(("gfx_frames:pacing at 60, p99 period", float(m.group(4)), "ms", None))
    for kind, count in re.findall(r"^\s+(flat|eight deep): about (\d+) components", text, re.M):
        rows.append(("gfx_frames:components within 16.6 ms, " + kind, float(count), "components", None))

# Start-up binaries print "start-up: <what> <ms> ms" lines, one run each;
# the table has the median of the runs.
for f in ("bench_Startup.txt", "bench_gfx_Startup.txt"):
    p = os.path.join(out, f)
    if not os.path.exists(p):
        continue
    runs = {}
    for what, ms in re.findall(r"^start-up: (.+?) ([\d.]+) ms$", open(p).read(), re.M):
        runs.setdefault(what, []).append(float(ms))
    for what, values in runs.items():
        rows.append(("%s:%s (median of %d)" % (f[len("bench_"):-len(".txt")], what, len(values)),
                     statistics.median(values), "ms", None))

by_name = {r[0]: r for r in rows}
def peer_of(name):
    for ours, theirs in (("TLogManager:WriteLogString", "TLogManager:spdlog_async_String"),
                         ("TLogManager:WriteLogFormatted", "TLogManager:spdlog_async_Formatted"),
                         ("Crc:Crc_32", "Crc:zlib_crc32")):
        if name.startswith(ours):
            return name.replace(ours, theirs, 1)
    return None

print("ratio = vorel time / peer time for the same work (below 1: vorel is faster)")
print("%-66s %12s  %-13s %s" % ("name", "figure", "unit", "vs peer"))
table = []
for name, fig, unit, t in rows:
    ratio, peer_text = None, ""
    peer = peer_of(name)
    if peer in by_name and t and by_name[peer][3]:
        ratio, peer = t / by_name[peer][3], peer.split(":", 1)[1]
        peer_text = "%.2f vs %s" % (ratio, peer)
    elif name in frames and frames[name] > 0:
        ratio, peer = fig / frames[name], "raw SDL2 loop"
        peer_text = "%.2f vs raw SDL2 loop (%.3f ms)" % (ratio, frames[name])
    else:
        peer = None
    table.append({"name": name, "figure": fig, "unit": unit, "ratio": ratio, "peer": peer})
    print("%-66s %12.4g  %-13s %s" % (name, fig, unit, peer_text))
json.dump({"rows": table}, open(os.path.join(out, "table.json"), "w"), indent=1)

if compare:
    old = {r["name"]: r for r in json.load(open(compare))["rows"]}
    lines = ["", "against %s (change = now / then - 1; a ratio's change is that of vorel against its peer)" % compare,
             "%-66s %12s %12s %8s  %s" % ("name", "then", "now", "change", "ratio then -> now")]
    def change(now, then):
        return "%+7.1f%%" % ((now / then - 1) * 100) if then else "       "
    for r in table:
        o = old.get(r["name"])
        if not o:
            lines.append("%-66s %12s %12.4g %8s  (new)" % (r["name"], "", r["figure"], ""))
            continue
        ratio = ""
        if r["ratio"] is not None and o.get("ratio") is not None:
            ratio = "%.2f -> %.2f (%s)" % (o["ratio"], r["ratio"], change(r["ratio"], o["ratio"]).strip())
        lines.append("%-66s %12.4g %12.4g %8s  %s" % (r["name"], o["figure"], r["figure"],
                                                      change(r["figure"], o["figure"]), ratio))
    for name in old:
        if name not in by_name:
            lines.append("%-66s %12.4g %12s %8s  (gone)" % (name, old[name]["figure"], "", ""))
    text = "\n".join(lines)
    open(os.path.join(out, "compare.txt"), "w").write(text + "\n")
    print(text)
EOF
} | tee "$out/table.txt"
