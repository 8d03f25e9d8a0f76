"""Peers: the batch a user would otherwise hand to Pillow, ImageMagick or libvips.

Twelve 4000 by 3000 JPEGs made from real photographs (photos.py), each resized to 800 by 600
with Lanczos, given a 10-pixel black border and saved at quality 80 with optimised Huffman
tables, by each side as a whole fresh process (its start-up and its pool included):

- `framewick batch --jobs 2`, as it opens pictures by default, and with `--exact` where the
  command has it;
- the same Pillow calls on a pool of 2 processes, with and without Pillow's JPEG draft mode
  (the draft asks for twice the target, so the decoder's scale is never below it);
- ImageMagick's `mogrify`, two processes of half the files each, `-limit thread 1`;
- libvips through pyvips on a pool of 2 processes, `VIPS_CONCURRENCY=1`: `resize` (the whole
  picture decoded) and `thumbnail` (shrink-on-load).

Every side's outputs are checked: 820 by 620, and their PSNR against the plain Pillow result.

Peak memory: `framewick batch --jobs 2` and the libvips `thumbnail` side, each run by a small
launcher that reports the largest resident size of any process of the side's tree (the
`RUSAGE_CHILDREN` high-water mark: the command itself or one of its workers, each waited for).

Run as a script, this file is a side's worker: `peers.py pillow|pillow-draft|vips-resize|
vips-thumbnail OUT_DIR IN...`.
"""

import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

TARGET = (800, 600)
BORDER = 10
QUALITY = 80
CHAIN = f"resize:{TARGET[0]},{TARGET[1]} | border:{BORDER} | optimize:{QUALITY}"
JOBS = 2


# --- The workers of the Pillow and libvips sides ------------------------------------------------

def pillow_one(job):
    source, target, draft = job
    from PIL import Image, ImageOps

    img = Image.open(source)
    if draft:
        img.draft("RGB", (2 * TARGET[0], 2 * TARGET[1]))
    img = img.resize(TARGET, Image.Resampling.LANCZOS)
    img = ImageOps.expand(img, border=BORDER, fill="black")
    img.save(target, quality=QUALITY, optimize=True)
    return target


def vips_one(job):
    source, target, how = job
    import pyvips

    if how == "thumbnail":
        img = pyvips.Image.thumbnail(source, TARGET[0], height=TARGET[1], size="force")
    else:
        img = pyvips.Image.new_from_file(source, access="sequential")
        img = img.resize(TARGET[0] / img.width, vscale=TARGET[1] / img.height, kernel="lanczos3")
    img = img.embed(BORDER, BORDER, TARGET[0] + 2 * BORDER, TARGET[1] + 2 * BORDER, extend="black")
    img.jpegsave(target, Q=QUALITY, optimize_coding=True, strip=True)
    return target


def _vips_init():
    import pyvips
    pyvips.cache_set_max(0)


def worker_main(argv):
    import concurrent.futures

    side, out_dir, *sources = argv
    jobs = [(s, os.path.join(out_dir, os.path.basename(s))) for s in sources]
    if side.startswith("pillow"):
        fn, init, jobs = pillow_one, None, [(s, t, side == "pillow-draft") for s, t in jobs]
    else:
        fn, init, jobs = vips_one, _vips_init, [(s, t, side.split("-", 1)[1]) for s, t in jobs]
    with concurrent.futures.ProcessPoolExecutor(max_workers=JOBS, initializer=init) as pool:
        for _ in pool.map(fn, jobs):
            pass
    return 0


# --- The sides ----------------------------------------------------------------------------------

def framewick_script():
    return os.path.join(os.path.dirname(sys.executable), "framewick")


def framewick_cmd(sources, out, extra=()):
    return [framewick_script(), "-q", "batch", *sources, "--out-dir", out, "--steps", CHAIN,
            "--jobs", str(JOBS), "--overwrite", "--no-progress", *extra]


def worker_cmd(side, sources, out):
    return [sys.executable, os.path.abspath(__file__), side, out, *sources]


def has_option(command, option):
    """Whether `framewick COMMAND --help` lists `option`."""
    out = subprocess.run([framewick_script(), *command, "--help"], capture_output=True, text=True)
    return out.returncode == 0 and option in out.stdout


def sides(sources):
    """{name: (description, function(out_dir) running the side once)}; what `framewick batch` has
    decides whether the --exact side is there."""
    env_vips = {**os.environ, "VIPS_CONCURRENCY": "1"}

    def run(cmd, env=None):
        p = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
        if p.returncode:
            lines = p.stderr.decode(errors="replace").strip().splitlines()
            raise RuntimeError(f"exit status {p.returncode}: {lines[-1] if lines else ''}")

    def fw(extra):
        def go(out):
            run(framewick_cmd(sources, out, extra))
        return go

    def worker(side, env=None):
        return lambda out: run(worker_cmd(side, sources, out), env=env)

    def mogrify(out):
        half = (len(sources) + 1) // 2
        procs = [subprocess.Popen(["mogrify", "-limit", "thread", "1", "-path", out, "-filter", "Lanczos",
                                   "-resize", f"{TARGET[0]}x{TARGET[1]}!", "-bordercolor", "black",
                                   "-border", str(BORDER), "-quality", str(QUALITY),
                                   "-define", "jpeg:optimize-coding=true", *part],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                 for part in (sources[:half], sources[half:])]
        for p in procs:
            _, err = p.communicate()
            if p.returncode:
                raise RuntimeError(f"mogrify failed ({p.returncode}): {err.decode(errors='replace')[-500:]}")

    out = {"framewick batch --jobs 2": ("default (shrink-on-load where the batch has it)", fw([]))}
    exact = has_option(["batch"], "--exact")
    if exact:
        out["framewick batch --jobs 2 --exact"] = ("every picture decoded whole", fw(["--exact"]))
    out.update({
        "Pillow, pool of 2": ("the same Pillow calls", worker("pillow")),
        "Pillow draft, pool of 2": ("JPEG draft mode (shrink-on-load)", worker("pillow-draft")),
        "ImageMagick mogrify": ("2 processes, -limit thread 1", mogrify),
        "libvips resize": ("pyvips, pool of 2, VIPS_CONCURRENCY=1", worker("vips-resize", env_vips)),
        "libvips thumbnail": ("the same, shrink-on-load", worker("vips-thumbnail", env_vips)),
    })
    return out, exact


def have_peers():
    """What is missing for the peers (empty when everything is there)."""
    missing = []
    if shutil.which("mogrify") is None:
        missing.append("ImageMagick (mogrify)")
    try:
        import pyvips  # noqa: F401
    except (ImportError, OSError):
        missing.append("pyvips")
    return missing


def check_outputs(out_dirs, sources, reference):
    """{side: (outputs all 820x620, mean output bytes, lowest PSNR against `reference`)}."""
    from PIL import Image

    import photos

    size = (TARGET[0] + 2 * BORDER, TARGET[1] + 2 * BORDER)
    refs = {}
    for s in sources:
        with Image.open(os.path.join(out_dirs[reference], os.path.basename(s))) as im:
            refs[s] = im.convert("RGB")
    result = {}
    for side, d in out_dirs.items():
        sizes_ok, total, worst = True, 0, float("inf")
        for s in sources:
            path = os.path.join(d, os.path.basename(s))
            total += os.path.getsize(path)
            with Image.open(path) as im:
                sizes_ok &= im.size == size
                if im.size == size:
                    worst = min(worst, photos.psnr(im, refs[s]))
        result[side] = (sizes_ok, total / len(sources), worst)
    return result


def measure(out_dir, sources, repeats, warmup=1):
    """Seconds per side for the whole batch, interleaved; the output checks; what each side does;
    whether framewick has --exact; and {side: why} for the sides that failed their trial run."""
    import common

    all_sides, exact = sides(sources)
    out_dirs = {}
    for k, name in enumerate(all_sides):
        d = os.path.join(out_dir, "peers_out", f"side{k}")
        os.makedirs(d, exist_ok=True)
        out_dirs[name] = d

    def timed(name):
        def go():
            d = out_dirs[name]
            for f in os.listdir(d):
                os.remove(os.path.join(d, f))
            t0 = common.clock()
            all_sides[name][1](d)
            return common.clock() - t0
        return go

    # The first round is a trial: a side that fails is left out (and said why), the rest are warm.
    failed = {}
    for name in list(all_sides):
        try:
            timed(name)()
        except (RuntimeError, OSError) as e:
            failed[name] = str(e)
    ran = {n: timed(n) for n in all_sides if n not in failed}
    rounds = common.interleaved(ran, repeats, warmup=max(0, warmup - 1))
    checks = check_outputs({n: out_dirs[n] for n in ran}, sources, "Pillow, pool of 2")
    return rounds, checks, {n: d for n, (d, _) in all_sides.items()}, exact, failed


# The launcher: runs a command and prints the largest resident size (bytes) of any process of
# its tree that was waited for.
_PEAK = ("import resource, subprocess, sys\n"
         "code = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL).returncode\n"
         "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024)\n"
         "sys.exit(code)\n")


def peak_of(cmd, env=None):
    p = subprocess.run([sys.executable, "-c", _PEAK, *cmd], capture_output=True, text=True, env=env)
    if p.returncode:
        lines = p.stderr.strip().splitlines()
        raise RuntimeError(f"exit status {p.returncode}: {lines[-1] if lines else ''}")
    return int(p.stdout.split()[-1])


def peaks(out_dir, sources, repeats):
    """Peak resident bytes per round of `framewick batch --jobs 2` and of the libvips thumbnail
    side, alternating: ([framewick...], [libvips...])."""
    d = os.path.join(out_dir, "peers_out", "peak")
    os.makedirs(d, exist_ok=True)
    env_vips = {**os.environ, "VIPS_CONCURRENCY": "1"}
    fw, vips = [], []
    for k in range(repeats):
        order = ((fw, framewick_cmd(sources, d), None), (vips, worker_cmd("vips-thumbnail", sources, d), env_vips))
        for values, cmd, env in (order if k % 2 == 0 else order[::-1]):
            values.append(peak_of(cmd, env))
    return fw, vips


if __name__ == "__main__":
    sys.exit(worker_main(sys.argv[1:]))
