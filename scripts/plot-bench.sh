#!/usr/bin/env bash
# Draws the ratios of a benchmark result (bench/results/*.json, written by scripts/run-bench.sh)
# as a bar chart with gnuplot: real time and CPU time of each ratio, and the 1.5x goal.
# usage: scripts/plot-bench.sh [result.json] [out.svg]
set -euo pipefail
cd "$(dirname "$0")/.."
in=${1:-bench/results/latest.json}
out=${2:-docs/bench-ratios.svg}
command -v gnuplot >/dev/null || { echo "plot-bench: gnuplot missing (scripts/install-deps.sh)" >&2; exit 1; }
data=$(mktemp)
trap 'rm -f "$data"' EXIT
python3 - "$in" >"$data" <<'PY'
import json, sys
doc = json.load(open(sys.argv[1]))
for name, r in doc["ratios"].items():
    if r.get("cpu") is None:
        continue
    real = "NaN" if r.get("real") is None else "%.4f" % r["real"]
    print('"%s" %s %.4f' % (name.replace('"', "'"), real, r["cpu"]))
PY
title=$(python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); m=d["machine"]; print("commit %s, %s CPUs, load %s" % (d["commit"], m["cpus"], ", ".join("%.1f" % x for x in (m["load_avg"] or []))))' "$in")
mkdir -p "$(dirname "$out")"
gnuplot <<GP
set terminal svg size 1200,760 dynamic font "sans,11" background rgb "white"
set output "$out"
set title "VRAX benchmark ratios ($title)"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set boxwidth 0.9
set logscale y 2
set yrange [0.0625:*]
set ylabel "ratio (log scale)"
set grid ytics
set xtics border nomirror rotate by 90 right font ",9"
set bmargin 22
set key top left
set arrow from graph 0, first 1.5 to graph 1, first 1.5 nohead dt 2 lw 1.5 lc rgb "#aa3333" front
set arrow from graph 0, first 1 to graph 1, first 1 nohead lc rgb "#777777" front
set label "goal 1.5x" at graph 0.99, first 1.7 right textcolor rgb "#aa3333"
plot "$data" using 2:xtic(1) title "real time" lc rgb "#4477aa", \
     "" using 3 title "CPU time (whole process)" lc rgb "#ee9944"
GP
echo "plot-bench: $out"
