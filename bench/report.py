#!/usr/bin/env python3
"""Turns split_bench's JSON output into the README's results tables and a
throughput chart (SVG). With repetitions, each figure is the fastest
repetition's: on a shared machine the others are slowed by its neighbours
by up to half again, and the fastest is the most repeatable.

    build/bench/bench/split_bench --benchmark_repetitions=5 --benchmark_out=results.json --benchmark_out_format=json
    python3 bench/report.py results.json --chart bench-throughput.svg > table.md
"""
import argparse
import json

KERNELS = ["avx512", "avx512bw", "avx2", "sse2", "portable"]
OTHERS = ["baseline", "getline", "memcpy"]
TABLE_INPUTS = ["record", "numeric", "quoted", "fields_8", "fields_60", "fields_2000"]
CHART_WIDTHS = [8, 32, 128, 512, 2047]
COLOURS = {"avx512": "#1f77b4", "avx512bw": "#17becf", "avx2": "#2ca02c", "sse2": "#ff7f0e", "portable": "#9467bd",
           "baseline": "#d62728", "memcpy": "#7f7f7f"}


def load(path):
    """Per (contender, input): the fastest repetition's time in ns and
    throughput in GB/s, and the kernel the library chose."""
    data = json.load(open(path))
    runs = {}
    for run in data["benchmarks"]:
        if run.get("run_type", "iteration") != "iteration":
            continue
        contender, name = run["name"].split("/", 1)
        name = name.split("/")[0]
        scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[run["time_unit"]]
        runs.setdefault((contender, name), []).append(
            (run["real_time"] * scale, run["bytes_per_second"] / 1e9))
    results = {key: min(values) for key, values in runs.items()}
    return results, data["context"].get("kernel", "?")


def kernels(results):
    return [k for k in KERNELS if (k, "record") in results]


def table(results):
    present = kernels(results)
    contenders = present + OTHERS
    lines = ["| input | " + " | ".join(f"{c} ns" for c in contenders) + " |",
             "|" + "---|" * (len(contenders) + 1)]
    for name in TABLE_INPUTS:
        lines.append(f"| {name} | " + " | ".join(f"{results[(c, name)][0]:,.0f}" for c in contenders) + " |")
    lines += ["", "| input | " + " | ".join(f"{k} vs baseline" for k in present)
              + " | " + " | ".join(f"{k} vs memcpy" for k in present) + " |",
              "|" + "---|" * (2 * len(present) + 1)]
    for name in TABLE_INPUTS:
        base_ns = results[("baseline", name)][0]
        memcpy_gbs = results[("memcpy", name)][1]
        ratios = [f"{base_ns / results[(k, name)][0]:.1f}x" for k in present]
        shares = [f"{results[(k, name)][1] / memcpy_gbs:.2f}" for k in present]
        lines.append(f"| {name} | " + " | ".join(ratios + shares) + " |")
    lines += ["", "| input | parse_csv_line ns | parse_csv_span ns | "
              + " | ".join(f"{k} span / line" for k in present) + " |",
              "|" + "---|" * (len(present) + 3)]
    for name in TABLE_INPUTS:
        line_ns, span_ns = results[("parse_csv_line", name)][0], results[("parse_csv_span", name)][0]
        ratios = [f"{results[(k + '_span', name)][0] / results[(k, name)][0]:.2f}" for k in present]
        lines.append(f"| {name} | {line_ns:,.0f} | {span_ns:,.0f} | " + " | ".join(ratios) + " |")
    lines += ["", "| walk of 1,000 records | record walk us | memchr + span walk us | record / memchr + span |",
              "|---|---|---|---|"]
    for k in ["parse_csv"] + present:
        record_ns, lines_ns = results[(k + "_record", "walk")][0], results[(k + "_memchr_span", "walk")][0]
        lines.append(f"| {k} | {record_ns / 1e3:.1f} | {lines_ns / 1e3:.1f} | {record_ns / lines_ns:.2f} |")
    return "\n".join(lines)


def chart(results, path):
    width, height, left, bottom, top, right = 640, 400, 70, 50, 30, 150
    plot_w, plot_h = width - left - right, height - top - bottom
    chart_contenders = [(c, COLOURS[c]) for c in kernels(results) + ["baseline", "memcpy"]]
    top_gbs = max(results[(c, f"fields_{w}")][1] for c, _ in chart_contenders for w in CHART_WIDTHS)
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
    for k, (contender, colour) in enumerate(chart_contenders):
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
    results, chosen = load(args.results)
    print(f"The library chose the {chosen} kernel.\n")
    print(table(results))
    if args.chart:
        chart(results, args.chart)


if __name__ == "__main__":
    main()
