#!/usr/bin/env python3
"""Instructions per triangle of one compression, by stage, under callgrind.

    bench/callgrind_stages.py [--unoptimized] [--build DIR] [mesh ...]
    bench/callgrind_stages.py --frames [--build DIR] [archive]

Runs `compress_peers_bench --profile` (or --profile-unoptimized) once per mesh under callgrind,
collecting inside Pelku_Vmq_Compression_CompressMesh, and prints a markdown table of inclusive
instruction counts per triangle for each stage below. With --frames it profiles the later frames
of the animated benchmark archive (every frame after the first, inside compressLaterFrame) and
prints the same per triangle of those frames. Counts are deterministic; wall-clock figures on
the shared development machine are not.
"""
import os
import re
import subprocess
import sys
import tempfile

MESHES = ["pirate.obj", "spot.obj", "bob_tri.obj", "human_neutral.obj", "armadillo.obj", "bun_zipper.ply", "horse.ply",
          "dragon.obj", "happy_buddha.obj", "igea.ply"]

# Stage name -> function names (demangled, without arguments) whose inclusive counts are summed.
# The stages do not call one another, so with "rest" they add up to the total; the columns marked
# "of which" are parts of the stages before them and are not added again.
STAGES = [
    ("optimization pass", ["vmq::optimizeMeshBuffers"]),
    ("quantisation", ["vmq::quantiseAttributes"]),
    ("whole-mesh tables", ["vmq::buildWholeMeshTables"]),
    ("partition", ["vmq::buildMeshletPartition"]),
    ("meshlet encoding", ["vmq::encodeMeshlet", "vmq::reencodeMeshlet"]),
    ("of which strips", ["vmq::formStrips"]),
    ("of which prediction", ["vmq::predictChannels"]),
    ("adjacency (whole mesh and meshlets)", ["vmq::buildAdjacency"]),
    ("packing", ["vmq::packMeshlet"]),
    ("entropy coding", ["vmq::StreamCoder::encodeStreams"]),
    ("record", ["vmq::buildCompressedMesh"]),
    ("frame processing", ["vmq::prepareFrame"]),
]
PARTS = {"of which strips", "of which prediction", "adjacency (whole mesh and meshlets)"}

LINE = re.compile(r"^\s*([\d,]+)\s+\([^)]*\)\s+(\S*?):(.*)$")
SOURCE = re.compile(r"\.(c|cc|cpp)$")


def function_name(signature):
    """The qualified name of a demangled signature: everything before its argument list."""
    depth = 0
    for k, ch in enumerate(signature):
        if ch == "<":
            depth += 1
        elif ch == ">":
            depth -= 1
        elif ch == "(" and depth == 0 and not signature.startswith("(anonymous", k):
            name = signature[:k]
            # Drop a return type ("CompressedMesh* vmq::f" -> "vmq::f").
            return name.split(" ")[-1] if " " in name and "<" not in name else name
    return signature


def profile(bench, args, toggle):
    """Total and inclusive instruction counts by function, and the triangles the bench reports."""
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "callgrind.out")
        report = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, "--toggle-collect=" + toggle, bench] +
                                args, check=True, capture_output=True, text=True).stdout
        triangles = int(re.search(r"profiled triangles (\d+)", report).group(1))
        # From a neutral folder, so that no source file is found and annotated.
        text = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", "--auto=no", out], check=True,
                              capture_output=True, text=True, cwd=folder).stdout
    total = 0
    inclusive = {}
    for line in text.splitlines():
        if "PROGRAM TOTALS" in line:
            total = int(line.split()[0].replace(",", ""))
            continue
        m = LINE.match(line)
        # A function's code inlined from headers is listed under the header's name as well, as
        # a part of the function's own entry; only the entries of source files are added up.
        if not m or not SOURCE.search(m.group(2)):
            continue
        count = int(m.group(1).replace(",", ""))
        name = function_name(m.group(3).rsplit(" [", 1)[0])
        inclusive[name] = inclusive.get(name, 0) + count
    return total, inclusive, triangles


def main():
    argv = sys.argv[1:]
    build = "build"
    if "--build" in argv:
        k = argv.index("--build")
        build = argv[k + 1]
        del argv[k:k + 2]
    frames = "--frames" in argv
    unoptimized = "--unoptimized" in argv
    argv = [a for a in argv if a not in ("--frames", "--unoptimized")]
    bench = os.path.join(build, "bench", "compress_peers_bench")

    if frames:
        runs = [(argv[0] if argv else "wave_anim.abc", ["--profile-frames"] + argv[:1], "*compressLaterFrame*")]
    else:
        mode = "--profile-unoptimized" if unoptimized else "--profile"
        runs = [(mesh, [mode, mesh], "Pelku_Vmq_Compression_CompressMesh") for mesh in (argv or MESHES)]

    header = ["input", "Ir/tri"] + [name for name, _ in STAGES] + ["rest"]
    print("| " + " | ".join(header) + " |")
    print("|---|" + "---:|" * (len(header) - 1))
    grand_total = grand_triangles = 0
    for label, args, toggle in runs:
        total, inclusive, triangles = profile(bench, args, toggle)
        cells = []
        accounted = 0
        for stage, functions in STAGES:
            count = sum(inclusive.get(f, 0) for f in functions)
            if stage not in PARTS:
                accounted += count
            cells.append("%.0f" % (count / triangles) if count else "")
        grand_total += total
        grand_triangles += triangles
        print("| %s | %.0f | %s | %.0f |" % (label, total / triangles, " | ".join(cells), (total - accounted) / triangles))
    if len(runs) > 1:
        print("| all | %.0f |%s" % (grand_total / grand_triangles, " |" * (len(STAGES) + 1)))


if __name__ == "__main__":
    main()
