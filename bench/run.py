"""framewick's benchmark suite: every figure, one table, and the figures as JSON.

    python bench/run.py [--json build/bench.json] [--quick] [--no-callgrind] [--only NAME ...]

Every figure is a ratio of two things measured in the same run, interleaved round by round,
after warm-up; the table shows the median per-round ratio and its interquartile range. Where
valgrind is there, the call-cost and small-palette figures are also counted in instructions
(callgrind), which do not vary from run to run on a busy machine.
"""

import argparse
import json
import os
import platform
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import common  # noqa: E402
from common import Figure, ms, ns  # noqa: E402

FIGURES = ("calls", "palette", "chain", "import", "batch", "peers", "startup", "photo_io", "lut", "memory", "raw",
           "studio", "editing", "heif", "depth", "subject", "depth_steps", "hdr", "png")

NOT_BUILT = "n/a (not built yet)"

# Text blocks printed after the table (the peers' table, diagnostics).
SECTIONS = []


def load_average():
    try:
        return os.getloadavg()
    except OSError:
        return None


LOAD_BEFORE = load_average()


def median(values):
    return statistics.median(values)


def ratio_figure(name, a, b, a_label, b_label, op, target, fmt, extra=None, how=""):
    """A figure whose ratio is a / b per round."""
    r = common.ratio_rounds(a, b)
    value = median(r)
    return Figure(name=name, framewick=f"{a_label}{fmt(median(a))}", peer=f"{b_label}{fmt(median(b))}",
                  ratio=value, spread=common.spread(r), target=f"{op} {target:.2f}",
                  met=common.check(value, op, target), how=how,
                  extra={"framewick": common.summary(a), "peer": common.summary(b),
                         "ratio": common.summary(r), **(extra or {})})


# --- Call cost ----------------------------------------------------------------------------------

# A call that succeeds, and one whose arguments are refused, against the twin.
SUCCESS_TARGET = 0.65
REFUSED_TARGET = 0.60

def figure_calls(args, out):
    import calls

    repeats = 7 if args.quick else 21
    results, cls_name = calls.measure(repeats=repeats, calls=2000 if args.quick else 4000)
    py_results = None if args.quick else calls.measure(repeats=9, calls=2000, python_standin=True)[0]
    ir = ir_py = palette_ir = None
    if not args.no_callgrind:
        n, n_pal = (100, 3) if args.quick else (300, 10)
        counts = common.callgrind(os.path.join(common.HERE, "cg_child.py"), [str(n), str(n_pal)], out, "calls")
        if counts is not None:
            ir = calls.instructions_per_call(counts, n)
            base = calls.phase_count()
            palette_ir = [counts[base + 2 * k + 1] / n_pal for k in range(3)]
        if not args.quick:
            counts = common.callgrind(os.path.join(common.HERE, "cg_child.py"), [str(n), "0", "python"], out,
                                      "calls_py")
            if counts is not None:
                ir_py = calls.instructions_per_call(counts, n)
    figures, details = [], []
    for k, (name, floor_label, rounds) in enumerate(results):
        fw, tw, floor = rounds["framewick"], rounds["twin"], rounds["floor"]
        extra = {"floor": {"builtin": floor_label, **common.summary(floor)}, "combined_class": cls_name}
        if "ideal" in rounds:
            r_ideal = common.ratio_rounds(rounds["ideal"], tw)
            extra["hand_written"] = {**common.summary(rounds["ideal"]), "ratio_to_twin": common.summary(r_ideal)}
        fw_label = tw_label = ""
        if ir:
            extra["instructions"] = {**ir[name], "ratio": ir[name]["framewick"] / ir[name]["twin"]}
        if py_results:
            r_py = common.ratio_rounds(py_results[k][2]["framewick"], py_results[k][2]["twin"])
            extra["python_standin"] = {"framewick": common.summary(py_results[k][2]["framewick"]),
                                       "twin": common.summary(py_results[k][2]["twin"]),
                                       "ratio": common.summary(r_py)}
            if ir_py:
                a, b = ir_py[name]["framewick"], ir_py[name]["twin"]
                extra["python_standin"]["instructions"] = {"framewick": a, "twin": b, "ratio": a / b}
        how = ""
        if "ideal" in rounds:
            how = f"framewick / twin; the same steps hand-written against the C API: {median(r_ideal):.2f}"
            if ir and "ideal" in ir[name]:
                how += f" (instructions {ir[name]['ideal'] / ir[name]['twin']:.2f})"
        target = REFUSED_TARGET if name in calls.REFUSED else SUCCESS_TARGET
        if ir:
            # What the target leaves for the whole call, against what cannot be avoided.
            budget = target * ir[name]["twin"]
            how += f"{'; ' if how else ''}{target:.2f} of the twin is {budget:.0f} Ir"
            if ir[name]["floor"] > budget:
                how += f", less than the builtin floor alone ({ir[name]['floor']:.0f} Ir)"
            if "ideal" in ir[name] and ir[name]["ideal"] > budget:
                how += f"; the hand-written steps take {ir[name]['ideal']:.0f} Ir"
        f = ratio_figure(f"call: {name}", fw, tw, fw_label, tw_label, "<=", target, ns, extra, how=how)
        if ir:
            f.framewick += f" / {ir[name]['framewick']:.0f} Ir"
            f.peer += f" / {ir[name]['twin']:.0f} Ir"
            f.ratio_ir = ir[name]["framewick"] / ir[name]["twin"]
        figures.append(f)
        details.append((name, floor_label, median(fw), median(tw), median(floor),
                        median(rounds["ideal"]) if "ideal" in rounds else None, ir and ir[name],
                        extra.get("python_standin")))
    return figures, {"details": details, "palette_ir": palette_ir}


def print_call_details(details):
    print("\nCall cost per call (median wall time, then callgrind instructions where measured).")
    print("  floor: a plain builtin call of the same arity (the interpreter's floor); hand-written:")
    print("  the same steps written directly against the C API as method descriptors (no frame).")
    print(f"  {'shape':38} {'framewick':>10} {'twin':>10} {'floor':>9} {'hand-wr.':>9}   "
          f"{'Ir fw':>6} {'twin':>6} {'floor':>6} {'hand':>6}  floor call")
    for name, floor_label, fw, tw, floor, ideal, ir, py in details:
        hand = f"{ideal * 1e9:7.1f}ns" if ideal else f"{'-':>9}"
        line = f"  {name:38} {fw * 1e9:8.1f}ns {tw * 1e9:8.1f}ns {floor * 1e9:7.1f}ns {hand}   "
        if ir:
            line += (f"{ir['framewick']:6.0f} {ir['twin']:6.0f} {ir['floor']:6.0f} "
                     + (f"{ir['ideal']:6.0f}" if "ideal" in ir else f"{'-':>6}"))
        print(line + f"  {floor_label}")
    if any(d[7] for d in details):
        print("  Same shapes on a stand-in written in Python (each picture method an interpreter frame):")
        for name, *_, py in details:
            if py:
                line = f"    {name:36} ratio {py['ratio']['median']:.3f}"
                if "instructions" in py:
                    line += f"  (Ir {py['instructions']['framewick']:.0f} / {py['instructions']['twin']:.0f})"
                print(line)


# --- Palette ------------------------------------------------------------------------------------

def figure_palette(args, out, palette_ir=None):
    import palette

    figures = []
    small, got = palette.measure((100, 100), repeats=7 if args.quick else 15, inner=5 if args.quick else 20)
    extra = {"palette": got}
    if palette_ir:
        extra["instructions"] = {"framewick": palette_ir[0], "twin": palette_ir[1], "pillow": palette_ir[2],
                                 "speedup": palette_ir[1] / palette_ir[0]}
    share = common.ratio_rounds(small["pillow"], small["framewick"])
    bound = common.ratio_rounds(small["twin"], small["pillow"])
    extra.update({"pillow": common.summary(small["pillow"]), "pillow_share": common.summary(share),
                  "speedup_bound": common.summary(bound)})
    # The twin's share is Pillow's tuple path; framewick counts an exact RGB picture from its bytes, so
    # what bounds the twin says nothing of framewick: the share is shown as a time beside it.
    how = (f"speed-up: the twin's time over framewick's; the twin's Pillow steps (the pixels as tuples) "
           f"take {ms(median(small['pillow']))}, {1 / median(bound):.0%} of the twin's own time")
    if palette_ir:
        how += f" (instructions: {palette_ir[2] / palette_ir[1]:.0%} of the twin's)"
    f = ratio_figure("palette 100x100: twin / framewick", small["twin"], small["framewick"], "", "", ">=", 5.0,
                     ms, extra, how=how)
    # Shown the usual way round: framewick first.
    f.framewick, f.peer = f"{ms(median(small['framewick']))}", f"{ms(median(small['twin']))}"
    if palette_ir:
        f.framewick += f" / {palette_ir[0] / 1e3:.0f}k Ir"
        f.peer += f" / {palette_ir[1] / 1e3:.0f}k Ir"
        f.ratio_ir = palette_ir[1] / palette_ir[0]
    figures.append(f)

    large, _ = palette.measure((4000, 3000), repeats=3 if args.quick else 7, inner=1)
    share = common.ratio_rounds(large["pillow"], large["framewick"])
    speed = common.ratio_rounds(large["twin"], large["framewick"])
    figures.append(Figure(
        name="palette 4000x3000: Pillow's share", framewick=ms(median(large["framewick"])),
        peer=f"Pillow alone {ms(median(large['pillow']))}", ratio=median(share), spread=common.spread(share),
        target="report", met=None, how="Pillow's steps over framewick's whole call",
        extra={"framewick": common.summary(large["framewick"]), "twin": common.summary(large["twin"]),
               "pillow": common.summary(large["pillow"]), "share": common.summary(share),
               "speedup_over_twin": common.summary(speed)}))
    return figures


# --- Chain --------------------------------------------------------------------------------------

def figure_chain(args, out):
    import chain
    import pictures

    source = pictures.jpeg(out, 4000, 3000)
    rounds = chain.measure(source, out, repeats=3 if args.quick else 9)
    t = ratio_figure("chain 4000x3000 JPEG: time", rounds["framewick"], rounds["direct"], "", "direct ", "<=", 1.02,
                     lambda s: f"{s:.3f} s")
    mem = chain.measure_memory(source, out, repeats=2 if args.quick else 3)
    m = ratio_figure("chain 4000x3000 JPEG: peak memory", mem["framewick"], mem["direct"], "", "direct ", "<=", 1.05,
                     lambda b: f"{b / 2**20:.1f} MiB", how="peak resident size of a fresh interpreter")
    return [t, m]


# --- Import -------------------------------------------------------------------------------------

def figure_import(args, out):
    import imports

    rounds = imports.measure(repeats=5 if args.quick else 15)
    (fw_wall, fw_stmt), (dep_wall, dep_stmt) = rounds["framewick"], rounds["dependencies"]
    extra = {"import_statement": {"framewick": common.summary(fw_stmt), "dependencies": common.summary(dep_stmt),
                                  "ratio": common.summary(common.ratio_rounds(fw_stmt, dep_stmt))}}
    if not args.no_callgrind and not args.quick:
        counts = imports.callgrind_counts(out)
        if counts.get("framewick") and counts.get("dependencies"):
            a, b = sum(counts["framewick"]), sum(counts["dependencies"])
            extra["instructions"] = {"framewick": a, "dependencies": b, "ratio": a / b}
    f = ratio_figure("import: six modules vs their imports", fw_wall, dep_wall, "", "", "<=", 1.10, ms, extra,
                     how="whole fresh interpreter, start to exit")
    if "instructions" in extra:
        f.framewick += f" / {extra['instructions']['framewick'] / 1e6:.0f}M Ir"
        f.peer += f" / {extra['instructions']['dependencies'] / 1e6:.0f}M Ir"
    return [f]


# --- Batch --------------------------------------------------------------------------------------

def figure_batch(args, out):
    import batch

    rounds, cpu, workers = batch.measure(out, repeats=2 if args.quick else 3)
    extra = {"workers_seen": workers, "load_average_before": LOAD_BEFORE}
    how = "speed-up: 1 worker's time over 2 workers'"
    if cpu[1] and cpu[2]:
        # CPU the workers used, and how many cores' worth they got while the batch ran: a
        # shortfall in the speed-up with the CPU per batch unchanged is the machine, not the code.
        extra["worker_cpu_seconds"] = {"1 worker": common.summary(cpu[1]), "2 workers": common.summary(cpu[2])}
        busy = common.ratio_rounds(cpu[2], rounds["2 workers"])
        extra["cores_busy_with_2_workers"] = common.summary(busy)
        how += (f"; worker CPU per batch {median(cpu[1]):.2f} s (1) vs {median(cpu[2]):.2f} s (2), "
                f"2 workers kept {median(busy):.2f} cores busy")
    return [ratio_figure(f"batch {batch.COUNT} pictures: 1 / 2 workers", rounds["1 worker"], rounds["2 workers"],
                         "1 worker ", "2 workers ", ">=", 1.8, lambda s: f"{s:.2f} s", extra, how=how)]


def not_built(name, target, why):
    return Figure(name=name, framewick=NOT_BUILT, peer="", ratio=None, spread=None, target=target, met=None,
                  how=f"not measured: {why}")


def seconds(s):
    return f"{s:.2f} s"


def mib(b):
    return f"{b / 2**20:.1f} MiB"


# --- Peers --------------------------------------------------------------------------------------

def figure_peers(args, out):
    import peers
    import photos

    names = ("batch default vs libvips thumbnail: its time / framewick's",
             "batch default vs ImageMagick mogrify: its time / framewick's",
             "batch --exact / the same Pillow calls on a pool of 2",
             "batch default: peak memory / libvips thumbnail's")
    targets = (">= 1.30", ">= 10.00", "<= 1.05", "<= 1.50")
    missing = peers.have_peers()
    try:
        sources = photos.photos(out)
    except photos.NoPhotos as e:
        missing.append(str(e))
    if missing:
        return [not_built(n, t, "missing here: " + ", ".join(missing)) for n, t in zip(names, targets)]
    rounds, checks, descr, exact, failed = peers.measure(out, sources, repeats=1 if args.quick else 3,
                                                         warmup=1)
    failures = "; ".join(f"{n}: {why}" for n, why in failed.items())
    if "framewick batch --jobs 2" in failed or "Pillow, pool of 2" in failed:
        return [not_built(n, t, f"a side fails here ({failures})") for n, t in zip(names, targets)]
    fw = rounds["framewick batch --jobs 2"]
    lines = [f"\nPeers: {len(sources)} JPEGs of 4000x3000 from skimage.data photographs -> 800x600 Lanczos, "
             f"10 px black border, quality 80, optimised Huffman tables;",
             "  each side a whole fresh process, interleaved round by round; PSNR: the lowest over the "
             "pictures, against the plain Pillow result.",
             f"  {'side':34} {'time [IQR]':>22} {'fw / side':>10}  {'820x620':>7} {'mean size':>10} "
             f"{'PSNR':>8}  how"]
    for name, values in rounds.items():
        lo, hi = common.spread(values)
        r = median(common.ratio_rounds(fw, values))
        ok, size, worst = checks[name]
        lines.append(f"  {name:34} {median(values):6.2f} s [{lo:5.2f}-{hi:5.2f}] {r:10.2f}  "
                     f"{'yes' if ok else 'NO':>7} {size / 1024:7.1f} KB {worst:6.1f} dB  {descr[name]}")
    lines += [f"  {n:34} fails here: {why}" for n, why in failed.items()]
    SECTIONS.append("\n".join(lines))
    extra = {"sides": {n: common.summary(v) for n, v in rounds.items()},
             "outputs": {n: {"all_820x620": c[0], "mean_bytes": c[1], "lowest_psnr_db": c[2]}
                         for n, c in checks.items()}}
    psnr_fw = checks["framewick batch --jobs 2"][2]
    figures = []
    for name, peer, target, op, value in ((names[0], "libvips thumbnail", targets[0], ">=", 1.3),
                                          (names[1], "ImageMagick mogrify", targets[1], ">=", 10.0)):
        if peer in failed:
            figures.append(not_built(name, target, f"{peer} fails here: {failed[peer]}"))
            continue
        f = ratio_figure(name, rounds[peer], fw, "", "", op, value, seconds, extra,
                         how=f"throughput: {peer}'s time over framewick's; framewick's outputs are "
                             f"{psnr_fw:.1f} dB from the plain Pillow result, {peer}'s "
                             f"{checks[peer][2]:.1f} dB")
        f.framewick, f.peer = seconds(median(fw)), f"{peer} {seconds(median(rounds[peer]))}"
        figures.append(f)
    if exact and "framewick batch --jobs 2 --exact" in failed:
        figures.append(not_built(names[2], targets[2], failed["framewick batch --jobs 2 --exact"]))
    elif exact:
        e, p = rounds["framewick batch --jobs 2 --exact"], rounds["Pillow, pool of 2"]
        figures.append(ratio_figure(names[2], e, p, "", "Pillow ", "<=", 1.05, seconds, extra,
                                    how=f"framewick --exact over Pillow's time; outputs "
                                        f"{checks['framewick batch --jobs 2 --exact'][2]:.1f} dB from Pillow's"))
    else:
        figures.append(not_built(names[2], targets[2], "framewick batch has no --exact yet"))
    if "libvips thumbnail" in failed:
        figures.append(not_built(names[3], targets[3], f"libvips thumbnail fails here: {failed['libvips thumbnail']}"))
    else:
        fw_peak, vips_peak = peers.peaks(out, sources, repeats=1 if args.quick else 3)
        figures.append(ratio_figure(names[3], fw_peak, vips_peak, "", "libvips thumbnail ", "<=", 1.5, mib, extra,
                                    how="largest resident size of any process of each side's tree "
                                        "(RUSAGE_CHILDREN of a launcher), per round"))
    return figures


# --- Start-up and a small edit ------------------------------------------------------------------

def import_profile(cmd):
    """What a command imports before it exits, from -X importtime: (modules imported, their own
    import time in microseconds, {heavy package: microseconds of its import tree})."""
    import subprocess
    env = {**os.environ, "PYTHONPROFILEIMPORTTIME": "1"}
    err = subprocess.run(cmd, capture_output=True, text=True, env=env).stderr
    count, total, heavy = 0, 0, {}
    for line in err.splitlines():
        fields = line[len("import time:"):].split("|") if line.startswith("import time:") else []
        if len(fields) != 3 or not fields[0].strip().isdigit():
            continue  # the header, or not a line of the profile
        self_us, cumulative, name = int(fields[0]), int(fields[1]), fields[2].strip()
        count += 1
        total += self_us
        if name in ("PIL", "PIL.Image", "requests", "numpy", "argparse", "_colorize", "dataclasses",
                    "framewick.cli._main", "framewick.steps"):
            heavy[name] = cumulative
    return count, total, heavy


def figure_startup(args, out):
    import startup

    repeats = 5 if args.quick else 15
    figures = []
    for label, got in startup.measure_startup(repeats).items():
        name = f"{label} / python -c pass"
        if got is None:
            figures.append(not_built(name, "<= 1.50", f"`{label}` does not exit 0 here"))
            continue
        cmd, base = got
        if label == "argparse floor":
            r = common.ratio_rounds(cmd, base)
            figures.append(Figure(name="argparse --help alone / python -c pass", framewick=ms(median(cmd)),
                                  peer=f"python -c pass {ms(median(base))}", ratio=median(r), spread=common.spread(r),
                                  target="report", met=None,
                                  how="the least an argparse program pays on this interpreter (one option, "
                                      "print_help): the floor under the three figures above",
                                  extra={"command": common.summary(cmd), "pass": common.summary(base)}))
            continue
        count, total, heavy = import_profile([startup.framewick_script(), *label.split()[1:]])
        shown = ", ".join(f"{k} {v / 1e3:.0f} ms" for k, v in sorted(heavy.items(), key=lambda kv: -kv[1]))
        figures.append(ratio_figure(name, cmd, base, "", "python -c pass ", "<=", 1.50, ms,
                                    {"modules_imported": count, "import_self_us": total, "heavy_imports_us": heavy},
                                    how=f"whole fresh processes, wall clock; {count} modules imported, "
                                        f"{total / 1e3:.0f} ms in their own code"
                                        + (f" (import tree: {shown})" if shown else "")))
    for quiet, name, target in ((True, "framewick -q edit 320x240 PNG, border:1 / Python one-liner", 1.15),
                                (False, "framewick edit 320x240 PNG, border:1 (status line shown) / Python one-liner",
                                 1.40)):
        rounds, same = startup.measure_edit(out, repeats, quiet=quiet)
        if rounds is None:
            figures.append(not_built(name, f"<= {target:.2f}", f"the edit fails here ({same})"))
            continue
        figures.append(ratio_figure(name, rounds["framewick"],
                                    rounds["direct"], "", "one-liner ", "<=", target, ms, {"same_output": same},
                                    how="whole fresh processes, wall clock; outputs "
                                        + ("identical" if same else "DIFFER")))
    return figures


# --- A photo's way in and out -------------------------------------------------------------------

def figure_photo_io(args, out):
    import photo_io

    name = "open + write 4000x3000 JPEG with EXIF and ICC / Pillow directly"
    why = photo_io.available()
    if why:
        return [not_built(name, "<= 1.03", f"{why} is not there")]
    rounds, same = photo_io.measure(out, repeats=2 if args.quick else 6)
    psnr = same["psnr"]
    plain = rounds["direct, Pillow's default encoder"]
    r_plain = median(common.ratio_rounds(rounds["framewick"], plain))
    return [ratio_figure(name, rounds["framewick"], rounds["direct"], "", "direct ", "<=", 1.03,
                         seconds, {"outputs": same, "direct_default_encoder": common.summary(plain)},
                         how=f"exif_transpose then save with exif, icc_profile, dpi and, as framewick does, "
                             f"optimize=True; against Pillow's default encoder ({seconds(median(plain))}) the "
                             f"ratio is {r_plain:.2f}; outputs "
                             f"{'same size' if same['size'] else 'DIFFERENT SIZES'}, PSNR "
                             f"{psnr if psnr is None else round(psnr, 1)} dB, orientation tags {same['exif_orientation']}, "
                             f"same ICC {same['icc']}, dpi {same['dpi']}")]


# --- Colour grading -----------------------------------------------------------------------------

def figure_lut(args, out):
    import grading

    name = "lut 33-point .cube on 4000x3000 / Color3DLUT directly"
    why = grading.available()
    if why:
        return [not_built(name, "<= 1.05", f"{why} is not there")]
    rounds, psnr = grading.measure(out, repeats=3 if args.quick else 9)
    figures = [ratio_figure(name, rounds["framewick"], rounds["direct"], "", "direct ", "<=", 1.05, ms,
                            {"psnr_db": psnr}, how=f"parsing excluded (cached); results {psnr:.1f} dB apart")]
    # Parsing memory: at most twice the table's doubles (plus a few pieces of text, 16 MiB).
    for label, (size, secs, peak, doubles) in grading.parse_memory(out).items():
        bound = 2 * doubles + 16 * 2**20
        figures.append(Figure(
            name=f"parse .cube peak memory: {label}", framewick=f"{peak / 2**20:.1f} MiB",
            peer=f"doubles {doubles / 2**20:.1f} MiB", ratio=peak / doubles if doubles >= 2**20 else None, spread=None,
            target="<= 2x + 16 MiB", met=peak <= bound,
            how=f"a fresh interpreter's high-water mark (VmHWM) over its resident size before read_cube, "
                f"against the table's 8-byte values; file {size / 2**20:.0f} MiB, parsed in {secs:.1f} s",
            extra={"peak_bytes": peak, "doubles_bytes": doubles, "file_bytes": size, "seconds": secs}))
    return figures


# --- Camera RAW development ----------------------------------------------------------------------

def figure_raw(args, out):
    import rawdev

    names = ("develop 24 MP DNG / dcraw_emu", "develop 24 MP DNG: full / half-size",
             "peak memory 24 MP DNG / dcraw_emu")
    why = rawdev.available()
    if why:
        return [not_built(names[0], f"<= {rawdev.TARGET:.2f}", f"{why} is not there")]
    rounds, cpu, peaks, same = rawdev.measure(out, repeats=1 if args.quick else 5)
    if same["failures"]:
        return [not_built(n, "", f"a side fails here: {same['failures']}") for n in names]
    psnr = same["psnr"]
    differing = same.get("differing")
    outputs = (f"outputs {same['size'][0][0]}x{same['size'][0][1]} and {same['size'][1][0]}x{same['size'][1][1]}, "
               f"PSNR {psnr if psnr is None else round(psnr, 1)} dB, pixels "
               f"{'equal' if differing == 0 else f'differing in {differing} samples (not met)'}; half-size output "
               f"{same['half_size'][0]}x{same['half_size'][1]}")
    fw_peak, emu_peak = statistics.median(peaks["framewick"]), statistics.median(peaks["dcraw_emu"])
    cpu_ratio = median(common.ratio_rounds(cpu["framewick"], cpu["dcraw_emu"]))
    cpu_half = median(common.ratio_rounds(cpu["framewick"], cpu["framewick half"]))
    developed = ratio_figure(names[0], rounds["framewick"], rounds["dcraw_emu"], "", "dcraw_emu ", "<=", rawdev.TARGET,
                             seconds, {"outputs": same, "cpu": {n: common.summary(v) for n, v in cpu.items()}},
                             how=f"whole fresh processes writing PPM, wall clock; same LibRaw settings "
                                 f"(-w -o 1 -g 2.4 12.92 -q 3 -H 0); in CPU time (all threads) the ratio is "
                                 f"{cpu_ratio:.3f} ({seconds(median(cpu['framewick']))} / "
                                 f"{seconds(median(cpu['dcraw_emu']))}); " + outputs)
    if differing != 0:
        developed.met = False
    return [
        developed,
        ratio_figure(names[1], rounds["framewick"], rounds["framewick half"], "", "half ", ">=", 3.0, seconds,
                     how=f"FrameWick.open(raw='half') against full development, both written as PPM; "
                         f"in CPU time {cpu_half:.2f}"),
        Figure(name=names[2], framewick=f"{fw_peak / 2**20:.0f} MiB", peer=f"dcraw_emu {emu_peak / 2**20:.0f} MiB",
               ratio=fw_peak / emu_peak, spread=None, target="<= 1.30", met=fw_peak / emu_peak <= 1.30,
               how=f"peak resident size of each whole process (wait4 ru_maxrss in a small launcher), medians; "
                   f"half-size {statistics.median(peaks['framewick half']) / 2**20:.0f} MiB",
               extra={"framewick_peak_bytes": peaks["framewick"], "dcraw_emu_peak_bytes": peaks["dcraw_emu"],
                      "half_peak_bytes": peaks["framewick half"]}),
    ]


# --- A large PNG reduced as it is decoded ----------------------------------------------------------

def figure_png(args, out):
    import pngshrink

    names = ("48 MP PNG to size:800x / vipsthumbnail -s 800", "peak memory 48 MP PNG to size:800x / vipsthumbnail")
    why = pngshrink.available()
    if why:
        return [not_built(names[0], "<= 1.20", f"{why} is not there"), not_built(names[1], "<= 1.50", f"{why} is not there")]
    rounds, cpu, peaks, facts = pngshrink.measure(out, repeats=1 if args.quick else 5)
    if facts["failures"]:
        return [not_built(n, t, f"a side fails here: {facts['failures']}") for n, t in zip(names, ("<= 1.20", "<= 1.50"))]
    psnr = {n: (None if v is None else round(v, 1)) for n, v in facts["psnr"].items()}
    outputs = (f"outputs {facts['size']['framewick'][0]}x{facts['size']['framewick'][1]} and "
               f"{facts['size']['vipsthumbnail'][0]}x{facts['size']['vipsthumbnail'][1]}, PSNR against Pillow's "
               f"Lanczos of the whole picture {psnr['framewick']} dB (framewick) and {psnr['vipsthumbnail']} dB "
               f"(vipsthumbnail)")
    cpu_ratio = median(common.ratio_rounds(cpu["framewick"], cpu["vipsthumbnail"]))
    fw_peak, vips_peak = statistics.median(peaks["framewick"]), statistics.median(peaks["vipsthumbnail"])
    return [
        ratio_figure(names[0], rounds["framewick"], rounds["vipsthumbnail"], "", "vips ", "<=", 1.20, ms,
                     {"outputs": facts, "cpu": {n: common.summary(v) for n, v in cpu.items()}},
                     how=f"framewick edit against vipsthumbnail, both writing JPEG (quality 95, optimised tables), "
                         f"whole fresh processes, wall clock; in CPU time (all threads) {cpu_ratio:.2f} "
                         f"({ms(median(cpu['framewick']))} / {ms(median(cpu['vipsthumbnail']))}); written as PNG, "
                         + outputs),
        Figure(name=names[1], framewick=f"{fw_peak / 2**20:.0f} MiB", peer=f"vips {vips_peak / 2**20:.0f} MiB",
               ratio=fw_peak / vips_peak, spread=None, target="<= 1.50", met=fw_peak / vips_peak <= 1.50,
               how="peak resident size of each whole process (wait4 ru_maxrss in a small launcher), medians",
               extra={"framewick_peak_bytes": peaks["framewick"], "vipsthumbnail_peak_bytes": peaks["vipsthumbnail"]}),
    ]


# --- The studio ---------------------------------------------------------------------------------

def figure_studio(args, out):
    import studio

    why = studio.available()
    if why:
        return [not_built("studio: first open of a 12 MP JPEG", "<= 1.00 s", f"{why} is not there")]
    rounds, steps, note, size = studio.measure(out, repeats=2 if args.quick else 5)
    opened, preview = median(rounds["first open"]), median(rounds["preview"])
    edit, exact = median(rounds["edit"]), median(rounds["edit --exact"])
    extra = {name: common.summary(values) for name, values in rounds.items()}
    how = "seconds over the target, through GET /preview on 127.0.0.1"
    return [
        Figure(name="studio: first open of a 12 MP JPEG (GET /preview, fresh studio)", framewick=ms(opened),
               peer="target 1.0 s", ratio=opened / 1.0, spread=tuple(v / 1.0 for v in common.spread(rounds["first open"])),
               target="<= 1.00", met=opened <= 1.0, how=how + "; decode, 1280-pixel proxy, JPEG", extra=extra),
        Figure(name="studio: preview after it", framewick=ms(preview), peer="target 150 ms", ratio=preview / 0.150,
               spread=tuple(v / 0.150 for v in common.spread(rounds["preview"])), target="<= 1.00",
               met=preview <= 0.150, how=f"{how}; {steps!r} on the proxy, cache emptied, {size[0]}x{size[1]} JPEG"
                                         + (f"; {note}" if note else ""), extra=extra),
        Figure(name="studio: the same chain through edit (12 MP)", framewick=f"edit {ms(edit)}",
               peer=f"--exact {ms(exact)}", ratio=edit / preview, spread=None, target="report", met=None,
               how="edit's wall time (a fresh process, shrink-on-load) over the preview's; with --exact (decoded "
                   f"at full size) {exact / preview:.1f}x", extra=extra),
    ]


# --- Everyday editing ---------------------------------------------------------------------------

def figure_editing(args, out):
    import editing

    why = editing.available()
    if why:
        return [not_built("adjustments 3000x2000 / the same Pillow calls", "<= 1.10", f"{why} is not there")]
    figures = []
    for label, (a, b, same) in editing.measure(out, repeats=3 if args.quick else 15).items():
        figures.append(ratio_figure(f"{label} 3000x2000 / the same Pillow calls", a, b, "", "direct ", "<=", 1.10,
                                    ms, {"identical": same},
                                    how="in this process, interleaved, thread CPU time; results "
                                        + ("identical" if same else "DIFFER")))
    return figures


# --- Crops that keep the subject ----------------------------------------------------------------

def figure_subject(args, out):
    import statistics

    import subject

    names = [f"gravity={g}: subject inside the crop, time added (12 MP)" for g in ("smart", "face")]
    why = subject.available()
    if why:
        return [not_built(n, "all inside", why) for n in names]
    result = subject.measure(1 if args.quick else 3)
    figures = []
    for name, gravity in zip(names, ("smart", "face")):
        kept = sum(item["inside"][gravity] for item in result.values())
        added = [statistics.median(item["seconds"][gravity]) - statistics.median(item["seconds"]["centre"])
                 for item in result.values()]
        centre = statistics.median(statistics.median(item["seconds"]["centre"]) for item in result.values())
        figures.append(Figure(name=name, framewick=f"{kept}/{len(result)} inside", peer=f"centre {ms(centre)}",
                              ratio=statistics.median(added) / centre, spread=None, target="all inside",
                              met=kept == len(result),
                              how=f"the time the choice adds over gravity=centre, median of {len(result)} pictures "
                                  f"{ms(statistics.median(added))} (thread CPU time, interleaved), over the centre "
                                  "crop's own time; the object counted in the result",
                              extra={"added_seconds": added, "inside": kept, "cases": len(result)}))
    return figures


# --- Colour steps at depth ----------------------------------------------------------------------

def figure_depth_steps(args, out):
    import depth_steps

    why = depth_steps.available()
    if why:
        return [not_built("colour steps at depth 3000x2000 16-bit / at 8 bits", "-", f"{why} is not there")]
    figures = []
    for label, (a, b, worst) in depth_steps.measure(out, repeats=2 if args.quick else 7).items():
        r = common.ratio_rounds(a, b)
        figures.append(Figure(name=f"{label} at depth 3000x2000 / at 8 bits", framewick=ms(median(a)),
                              peer=f"8-bit {ms(median(b))}", ratio=median(r), spread=common.spread(r), target="-",
                              met=None, how="in this process, interleaved, thread CPU time; no target: what depth "
                                            f"costs; brought to 8 bits, at most {worst} levels from the 8-bit step",
                              extra={"framewick": common.summary(a), "peer": common.summary(b),
                                     "ratio": common.summary(r), "largest_difference_levels": worst}))
    return figures


# --- Memory on a large picture ------------------------------------------------------------------

def figure_memory(args, out):
    import bigpicture

    only = {"info", "edit preset:dreamy"} if args.quick else None
    result, floor, limit = bigpicture.measure(out, only)
    decoded = bigpicture.decoded_bytes()
    bound = 3 * decoded + 100 * 2**20
    figures = []
    for label, (peak, status, last) in result.items():
        name = f"peak memory {bigpicture.SIDE}x{bigpicture.SIDE} PNG: {label}"
        how = (f"peak resident size over the decoded picture ({decoded / 2**20:.0f} MiB); the bound is "
               f"3x + 100 MB = {bound / 2**20:.0f} MiB" + (", run with --max-pixels" if limit else ""))
        if status != 0:
            figures.append(not_built(name, "<= 3x + 100 MB", f"the command fails here (exit status {status}: {last})"))
            continue
        d_peak, d_status, d_last = floor[label]
        if d_status == 0:
            how += (f"; the same Pillow calls alone peak at {d_peak / 2**20:.0f} MiB ({d_peak / decoded:.2f}x), "
                    f"framewick / Pillow alone {peak / d_peak:.3f}")
        else:
            how += f"; the Pillow-only run failed ({d_status}: {d_last})"
        figures.append(Figure(name=name, framewick=f"{peak / 2**20:.0f} MiB", peer=f"decoded {decoded / 2**20:.0f} MiB",
                              ratio=peak / decoded, spread=None, target="<= 3x + 100 MB", met=peak <= bound, how=how,
                              extra={"peak_bytes": peak, "decoded_bytes": decoded, "bound_bytes": bound,
                                     "exit_status": status, "pillow_alone_peak_bytes": d_peak if d_status == 0 else None}))
    return figures


# --- HEIC in and out ----------------------------------------------------------------------------

def figure_heif(args, out):
    import heif

    names = ("decode 12 MP grid HEIC / libvips heifload", "write 12 MP HEIC (x265, q85) / libvips heifsave",
             "memory decoding 12 MP grid HEIC", "12 MP HEIC decoded whole / to size:200x from its thumbnail")
    why = heif.available()
    if why:
        return [not_built(n, t, f"{why} is not there")
                for n, t in zip(names, ("<= 1.00", "<= 1.10", "<= 1.2x + 50 MB", ">= 10.00"))]
    sides, facts = heif.measure(out, repeats=2 if args.quick else 6)
    shrunk, (size, scale) = heif.shrink(out, repeats=2 if args.quick else 6)
    gained, before, decoded = heif.memory(out)
    bound = 1.2 * decoded + 50 * 2**20
    return [
        ratio_figure(names[3], shrunk["whole"], shrunk["small"], "whole ", "size:200x ", ">=", 10.0, ms,
                     {"result_size": list(size), "draft_scale": scale},
                     how=f"FrameWick.open of a 4032x3024 grid HEIC holding a 320-pixel thumbnail (heif-enc -t 320) "
                         f"against FrameWick.open(steps=size:200x) and the step ({size[0]}x{size[1]}, "
                         f"{'from the thumbnail' if scale > 1 else 'from the whole picture'}), in this process, "
                         f"interleaved"),
        ratio_figure(names[0], sides["decode"]["framewick"], sides["decode"]["vips"], "", "vips ", "<=", 1.00, ms,
                     how="Image.open().load() with framewick's plugin against pyvips heifload().write_to_memory(), "
                         "both on libheif with its own decoding threads"),
        ratio_figure(names[1], sides["write"]["framewick"], sides["write"]["vips"], "", "vips ", "<=", 1.10, ms,
                     {"outputs": facts},
                     how=f"FrameWick.write (EXIF, XMP, ICC embedded) against heifsave(Q=85, 4:2:0); files "
                         f"{facts['bytes']['framewick']} and {facts['bytes']['vips']} bytes, PSNR between them "
                         f"{facts['psnr_between_outputs'] and round(facts['psnr_between_outputs'], 1)} dB"),
        Figure(name=names[2], framewick=f"+{gained / 2**20:.0f} MiB", peer=f"decoded {decoded / 2**20:.0f} MiB",
               ratio=gained / decoded, spread=None, target="<= 1.2x + 50 MB", met=gained <= bound,
               how=f"peak resident size gained by a fresh process during FrameWick.open (it had "
                   f"{before / 2**20:.0f} MiB after its imports), over the decoded picture; the bound is "
                   f"{bound / 2**20:.0f} MiB",
               extra={"gained_bytes": gained, "before_bytes": before, "decoded_bytes": decoded}),
    ]


def figure_hdr(args, out):
    import hdr

    names = ("12 MP Ultra HDR JPEG through size | crop: with / without its gain map",
             "HDR rendition after size | crop | turn, PSNR against the source's")
    why = hdr.available()
    if why:
        return [not_built(names[0], "<= 1.30", f"{why} is not there"), not_built(names[1], ">= 35 dB", f"{why} is not there")]
    sides, facts = hdr.measure(out, repeats=2 if args.quick else 5)
    psnr = hdr.fidelity(out)
    return [
        ratio_figure(names[0], sides["hdr"], sides["sdr"], "", "SDR ", "<=", 1.30, ms, {"outputs": facts},
                     how=f"open (shrink-on-load), {hdr.CHAIN}, write JPEG: the Ultra HDR file (gain map "
                         f"{facts['gain_map_size']} carried and joined) against its SDR picture alone"),
        Figure(name=names[1], framewick="-" if psnr is None else f"{psnr:.1f} dB", peer="source moved", ratio=None,
               spread=None, target=">= 35 dB", met=None if psnr is None else psnr >= 35,
               how="libultrahdr's linear rendition of framewick's output against the source's rendition put "
                   "through the same resize, crop and turn with Pillow, band by band",
               extra={"psnr_db": psnr}),
    ]


# --- Driver -------------------------------------------------------------------------------------

# --- Pictures at depth --------------------------------------------------------------------------

def figure_depth(args, out):
    import depth

    figures = []
    found = depth.levels(out)
    (deep, deep_bits), (flat, flat_bits) = found["deep"], found["8-bit"]
    figures.append(Figure(name="16-bit gradient through levels | ev: distinct levels", framewick=f"{deep} levels",
                          peer=f"--depth 8: {flat}", ratio=float(deep), spread=None, target=">= 4000",
                          met=deep >= 4000 and deep_bits == 16,
                          how=f"levels:20,235,1.2 | ev:0.5 on a 4096x64 16-bit RGB PNG, written as PNG of "
                              f"{deep_bits} bits (--depth 8: {flat_bits} bits); distinct values of the first channel"))
    heic = depth.heic(out)
    if isinstance(heic, str):
        figures.append(not_built("10-bit HEIC to 16-bit PNG = heif-dec", "equal", heic))
    else:
        equal, diff, _, _ = heic
        figures.append(Figure(name="10-bit HEIC to 16-bit PNG = heif-dec", framewick="equal" if equal else f"differs by {diff}",
                              peer="heif-dec 16-bit PNG", ratio=float(diff), spread=None, target="<= 0", met=equal,
                              how="largest difference of the 10-bit samples (framewick's v*65535/1023 and heif-dec's "
                                  "shift by 6 undone), 1024x256 gradient coded by heif-enc --bit-depth 10"))
    repeats = 1 if args.quick else 7  # whole processes of a second or two: a few rounds are too noisy
    rounds, peaks, bits, picture = depth.resize(out, repeats)
    peak = max(peaks["16-bit"])  # "at most": the largest of the rounds
    limit = 2 * picture + 100 * 2**20
    timed = ratio_figure("size:50% 16-bit 6000x4000 TIFF / its 8-bit twin", rounds["16-bit"], rounds["8-bit"],
                         "", "8-bit ", "<=", 1.5, seconds,
                         how=f"edit in whole fresh processes, deflate TIFF in and out, output {bits} bits; "
                             f"wall clock")
    if bits != 16:  # a side that wrote 8 bits did not do what is measured
        timed.met = False
    figures.append(timed)
    figures.append(Figure(name="peak memory size:50% 16-bit 6000x4000 TIFF", framewick=f"{peak / 2**20:.0f} MiB",
                          peer=f"limit {limit / 2**20:.0f} MiB", ratio=peak / limit, spread=None, target="<= 1.00",
                          met=peak <= limit and bits == 16,
                          how=f"largest peak resident size of the whole process in {len(peaks['16-bit'])} rounds, "
                              f"over twice the 16-bit picture ({picture / 2**20:.0f} MiB) plus 100 MiB; output "
                              f"{bits} bits; 8-bit twin {max(peaks['8-bit']) / 2**20:.0f} MiB"))
    developed = depth.raw(out, 1 if args.quick else 7)
    if isinstance(developed, str):
        figures.append(not_built("develop 24 MP DNG to 16-bit TIFF / dcraw_emu -6 -T", f"<= {depth.RAW_TARGET:.2f}",
                                 developed))
    else:
        rounds, same = developed
        figure = ratio_figure("develop 24 MP DNG to 16-bit TIFF / dcraw_emu -6 -T", rounds["framewick"],
                              rounds["dcraw_emu"], "", "dcraw_emu ", "<=", depth.RAW_TARGET, seconds, {"outputs": same},
                              how=f"whole fresh processes, wall clock; pixels: shapes {same['shape']}, "
                                  f"samples {same['dtype']}, largest difference {same['max_difference']} (met only "
                                  f"when 0); compression {same['compression'][0]} and {same['compression'][1]}")
        if same["max_difference"] != 0:
            figure.met = False
        figures.append(figure)
    return figures


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--json", default=os.path.join(os.path.dirname(common.HERE), "build", "bench.json"))
    p.add_argument("--quick", action="store_true", help="fewer rounds (a smoke run, not for the record)")
    p.add_argument("--no-callgrind", action="store_true")
    p.add_argument("--only", nargs="*", choices=FIGURES, default=list(FIGURES))
    args = p.parse_args(argv)
    os.environ.setdefault("FW_BENCH_OUT", os.path.join(os.path.dirname(os.path.abspath(args.json)), "bench"))
    out = common.out_dir()
    started = time.time()
    figures, details, palette_ir = [], None, None
    for name in args.only:
        t0 = time.time()
        print(f"bench: {name} ...", file=sys.stderr, flush=True)
        if name == "calls":
            fs, info = figure_calls(args, out)
            details, palette_ir = info["details"], info["palette_ir"]
        elif name == "palette":
            fs = figure_palette(args, out, palette_ir)
        else:
            fs = {"chain": figure_chain, "import": figure_import, "batch": figure_batch, "peers": figure_peers,
                  "startup": figure_startup, "photo_io": figure_photo_io, "lut": figure_lut, "raw": figure_raw,
                  "memory": figure_memory, "studio": figure_studio, "editing": figure_editing,
                  "heif": figure_heif, "depth": figure_depth, "subject": figure_subject,
                  "depth_steps": figure_depth_steps,
                  "hdr": figure_hdr, "png": figure_png}[name](args, out)
        figures += fs
        print(f"bench: {name} done in {time.time() - t0:.1f} s", file=sys.stderr, flush=True)

    load = LOAD_BEFORE and " ".join(f"{x:.2f}" for x in LOAD_BEFORE)
    print(f"\nframewick benchmarks ({platform.python_implementation()} {platform.python_version()}, "
          f"{os.cpu_count()} cores, load average {load} at start, {'quick' if args.quick else 'full'} run, "
          f"{time.time() - started:.0f} s)")
    common.print_table(figures)
    for f in figures:
        if f.how:
            print(f"  {f.name}: ratio = {f.how}")
    if details:
        print_call_details(details)
    for text in SECTIONS:
        print(text)
    missed = [f.name for f in figures if f.met is False]
    checked = [f for f in figures if f.met is not None]
    print(f"\n{len(checked) - len(missed)} of {len(checked)} checked figures meet their targets"
          + (f"; missed: {', '.join(missed)}" if missed else ""))

    record = {"python": platform.python_version(), "cores": os.cpu_count(), "quick": args.quick,
              "load_average": {"before": LOAD_BEFORE, "after": load_average()},
              "seconds": time.time() - started,
              "figures": [{"name": f.name, "framewick": f.framewick, "peer": f.peer, "ratio": f.ratio,
                           "ratio_iqr": f.spread, "ratio_instructions": getattr(f, "ratio_ir", None),
                           "target": f.target, "met": f.met, "ratio_is": f.how or "framewick / peer",
                           "detail": f.extra} for f in figures]}
    os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
    with open(args.json, "w") as fh:
        json.dump(record, fh, indent=2, ensure_ascii=False)
    print(f"figures written to {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
