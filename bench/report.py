#!/usr/bin/env python3
"""Turns split_bench's JSON output into the README's results table and a
throughput chart (SVG).

    build/bench/bench/split_bench --benchmark_out=results.json --benchmark_out_format=json
    python3 bench/report.py results.json --chart bench-throughput.svg > table.md
"""
import argparse
import json

CONTENDERS = ["parse_csv_line", "baseline", "getline", "memcpy"]
TABLE_INPUTS = ["record", "numeric", "quoted", "fields_8", "fields_60", "fields_2000"]
CHART_WIDTHS = [8, 32, 128, 512, 2047]
CHART_CONTENDERS = [("parse_csv_line", "#1f77b4"), ("baseline", "#d62728"), ("memcpy", "#7f7f7f")]


def load(path):
    results = {}
    for run in json.load(open(path))["benchmarks"]:
        if run.get("run_type", "iteration") != "iteration":
            continue
        contender, name = run["name"].split("/", 1)
        scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[run["time_unit"]]
        results[(contender, name)] = (run["real_time"] * scale, run["bytes_per_second"] / 1e9)
    return results


def table(results):
    head = "| input | " + " | ".join(f"{c} ns (GB/s)" for c in CONTENDERS)
    head += " | baseline / parse_csv_line | parse_csv_line / memcpy throughput |"
    lines = [head, "|" + "---|" * (len(CONTENDERS) + 3)]
    for name in TABLE_INPUTS:
        cells = []
        for contender in CONTENDERS:
            ns, gbs = results[(contender, name)]
            cells.append(f"{ns:,.0f} ({gbs:.2f})")
        split_ns, split_gbs = results[("parse_csv_line", name)]
        ratio = results[("baseline", name)][0] / split_ns
        share = split_gbs / results[("memcpy", name)][1]
        lines.append(f"| {name} | " + " | ".join(cells) + f" | {ratio:.1f}x | {share:.0%} |")
    return "\n".join(lines)


def chart(results, path):
    width, height, left, bottom, top, right = 640, 400, 70, 50, 30, 150
    plot_w, plot_h = width - left - right, height - top - bottom
    top_gbs = max(results[(c, f"fields_{w}")][1] for c, _ in CHART_CONTENDERS for w in CHART_WIDTHS)
    top_gbs = 10 * int(top_gbs / 10 + 1)

    def x(i):
        return left + plot_w * i / (len(CHART_WIDTHS) - 1)

    def y(gbs):
        return top + plot_h * (1 - gbs / top_gbs)

    svg = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
           f'font-family="sans-serif" font-size="12">',
           f'<rect width="{width}" height="{height}" fill="white"/>',
           f'<text x="{left}" y="18" font-size="14">Throughput by field length (20 fields a line)</text>']
    for tick in range(0, top_gbs + 1, 10):
        svg.append(f'<line x1="{left}" y1="{y(tick):.1f}" x2="{left + plot_w}" y2="{y(tick):.1f}" stroke="#ddd"/>')
        svg.append(f'<text x="{left - 8}" y="{y(tick) + 4:.1f}" text-anchor="end">{tick}</text>')
    for i, w in enumerate(CHART_WIDTHS):
        svg.append(f'<text x="{x(i):.1f}" y="{top + plot_h + 18}" text-anchor="middle">{w}</text>')
    svg.append(f'<text x="{left + plot_w / 2}" y="{height - 8}" text-anchor="middle">field length (bytes)</text>')
    svg.append(f'<text x="16" y="{top + plot_h / 2}" text-anchor="middle" '
               f'transform="rotate(-90 16 {top + plot_h / 2})">GB/s</text>')
    for k, (contender, colour) in enumerate(CHART_CONTENDERS):
        points = " ".join(f"{x(i):.1f},{y(results[(contender, f'fields_{w}')][1]):.1f}"
                          for i, w in enumerate(CHART_WIDTHS))
        svg.append(f'<polyline points="{points}" fill="none" stroke="{colour}" stroke-width="2"/>')
        for point in points.split():
            px, py = point.split(",")
            svg.append(f'<circle cx="{px}" cy="{py}" r="3" fill="{colour}"/>')
        ly = top + 20 + 20 * k
        svg.append(f'<line x1="{left + plot_w + 15}" y1="{ly}" x2="{left + plot_w + 35}" y2="{ly}" '
                   f'stroke="{colour}" stroke-width="2"/>')
        svg.append(f'<text x="{left + plot_w + 40}" y="{ly + 4}">{contender}</text>')
    svg.append("</svg>")
    with open(path, "w") as out:
        out.write("\n".join(svg) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("results", help="split_bench JSON output")
    parser.add_argument("--chart", help="where to write the SVG chart")
    args = parser.parse_args()
    results = load(args.results)
    print(table(results))
    if args.chart:
        chart(results, args.chart)


if __name__ == "__main__":
    main()
