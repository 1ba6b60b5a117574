#!/usr/bin/env bash
# Builds the benchmarks (bench preset), runs them and prints each against the baseline measured in
# the same run, with the machine they ran on. Benchmarks share the machine with whatever else runs:
# repeat a run that looks disturbed.
#
#   VANTREL_BENCH_REPETITIONS  repetitions of each benchmark; the median is used (default 5)
#   VANTREL_BENCH_FILTER       regular expression of the benchmarks to run (default: all)
#   VANTREL_BENCH_OUT          where the JSON results go (default: build/bench/bench-results.json)
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_packages "${BUILD_PACKAGES[@]}" libbenchmark-dev python3 xvfb
build_preset bench

out="${VANTREL_BENCH_OUT:-$ROOT/build/bench/bench-results.json}"
"$ROOT/build/bench/bench/vantrel-bench" \
    --benchmark_filter="${VANTREL_BENCH_FILTER:-.}" \
    --benchmark_repetitions="${VANTREL_BENCH_REPETITIONS:-5}" \
    --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true \
    --benchmark_out="$out" --benchmark_out_format=json

echo
echo "== Machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)," \
    "Linux $(uname -r)"
python3 - "$out" <<'PYTHON'
import json
import math
import sys

with open(sys.argv[1]) as f:
    runs = json.load(f)["benchmarks"]

SCALE = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
median = {}
counters = {}
for run in runs:
    if run.get("run_type") == "aggregate" and run.get("aggregate_name") != "median":
        continue
    if run.get("error_occurred"):
        print(f"!! {run['run_name']}: {run.get('error_message')}")
        continue
    name = run["run_name"]
    median[name] = run["real_time"] * SCALE[run["time_unit"]]
    counters[name] = run


def show(ns):
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}"
    return f"{ns:.3g} ns"


rows = []
missed = 0


def compare(label, subject, baseline, target, per=1.0, note=""):
    global missed
    if subject not in median or baseline not in median:
        return
    measured = median[subject] / per
    base = median[baseline]
    ratio = measured / base
    met = ratio <= target if target else None
    if met is False:
        missed += 1
    rows.append((label, show(measured), show(base), f"{ratio:.2f}",
                 f"<= {target}" if target else "-", {True: "yes", False: "NO", None: "-"}[met]
                 + note))


raw = "BM_RawRoundTrip/real_time"
compare("ExecuteCommand, 127.0.0.1 / raw round trip", "BM_ExecuteCommand/address/real_time", raw,
        1.5)
compare("ExecuteCommand, localhost / raw round trip", "BM_ExecuteCommand/localhost/real_time", raw,
        1.5)
for n in (0, 100, 1000):
    name = f"BM_LoadPartner/{n}/real_time"
    if name in counters:
        compare(f"LoadPartner, N={n}, per command / raw round trip", name, raw, 1.5,
                per=counters[name]["commands"])
compare("OK with its check and read-back / the save alone", "BM_SaveLink/verified/real_time",
        "BM_SaveLink/save/real_time", 3.0)
compare("OK against a silent Partnership Store / against an answering one",
        "BM_SaveLink/silentStore/real_time", "BM_SaveLink/verified/real_time", 1.5)
# The reply's checks may not make a normal reply slower to the operator.
for sample in ("partner", "list2000"):
    compare(f"ParseReply, {sample} / QDomDocument::setContent alone",
            f"BM_ParseReply/{sample}/real_time", f"BM_SetContentAlone/{sample}/real_time", 1.3)
compare("ReadReplyTexts, list2000 / QDomDocument::setContent alone", "BM_ReadReplyTexts/real_time",
        "BM_SetContentAlone/list2000/real_time", 1.3)
# The update reads the file whole, works on its lines and replaces the file; these say what that
# costs beside a bare copy, and are no target.
for size in (1, 64):
    compare(f"UpdateServiceConfigFile, {size} MiB / plain read+write (info)",
            f"BM_UpdateServiceConfigFile/{size}/real_time", f"BM_PlainReadWrite/{size}/real_time",
            None)
    compare(f"UpdateServiceConfigFile, {size} MiB / read+write+fsync (info)",
            f"BM_UpdateServiceConfigFile/{size}/real_time",
            f"BM_PlainReadWriteSync/{size}/real_time", None)

# The whole update on a large file grows with the file, not with its square.
small, large = "BM_UpdateServiceConfigFile/1/real_time", "BM_UpdateServiceConfigFile/64/real_time"
if small in median and large in median:
    exponent = math.log(median[large] / median[small]) / math.log(64)
    linear = exponent <= 1.2
    if not linear:
        missed += 1
    rows.append(("UpdateServiceConfigFile, growth exponent 1 to 64 MiB", f"{exponent:.2f}", "-",
                 "-", "<= 1.2", "yes" if linear else "NO"))

widths = [max(len(r[i]) for r in rows + [("benchmark", "measured", "baseline", "ratio", "target",
                                          "met")]) for i in range(6)]
header = ("benchmark", "measured", "baseline", "ratio", "target", "met")
print("  ".join(h.ljust(w) for h, w in zip(header, widths)))
for row in rows:
    print("  ".join(c.ljust(w) for c, w in zip(row, widths)))

sizes = sorted(int(name.split("/")[1]) for name in median
               if name.startswith("BM_ParseNameValueList/") and name.split("/")[1].isdigit())
if sizes:
    print()
    print("ParseNameValueList (marker \"Attributes = {\"):")
    print(f"  {'items':>7}  {'bytes':>9}  {'time':>9}  {'MB/s':>7}  {'ns/byte':>7}  growth exponent")
    previous = None
    for items in sizes:
        run = counters[f"BM_ParseNameValueList/{items}/real_time"]
        ns = median[f"BM_ParseNameValueList/{items}/real_time"]
        size = run["bytes"]
        exponent = ""
        if previous:
            exponent = f"{math.log(ns / previous[1]) / math.log(size / previous[0]):.2f}"
        print(f"  {items:>7}  {size:>9.0f}  {show(ns):>9}  {size / ns * 1e3:>7.0f}  "
              f"{ns / size:>7.2f}  {exponent}")
        previous = (size, ns)
    # Linear: the slope of log(time) over log(size), fitted from 100 items up, is near 1 (a
    # quadratic parser would give 2; a list that outgrows the caches costs a little more per byte).
    fitted = [s for s in sizes if s >= 100]
    if len(fitted) >= 2:
        xs = [math.log(counters[f"BM_ParseNameValueList/{s}/real_time"]["bytes"]) for s in fitted]
        ys = [math.log(median[f"BM_ParseNameValueList/{s}/real_time"]) for s in fitted]
        mx, my = sum(xs) / len(xs), sum(ys) / len(ys)
        slope = sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sum((x - mx) ** 2 for x in xs)
        linear = slope <= 1.2
        if not linear:
            missed += 1
        print(f"  fitted growth exponent, {fitted[0]} to {fitted[-1]} items: {slope:.2f} "
              f"(target <= 1.2, linear) {'yes' if linear else 'NO'}")

print()
print(f"{missed} target(s) missed" if missed else "all targets met")
PYTHON

echo
echo "== Start-up beside a bare Qt dialog with the same widgets (needs port 4321 free)"
python3 "$ROOT/bench/startup.py" --runs "${VANTREL_STARTUP_RUNS:-15}"

echo
echo "== vantrel-link show beside a bare QCoreApplication program (needs port 4321 free)"
python3 "$ROOT/bench/link_startup.py" --runs "${VANTREL_LINK_RUNS:-41}"
