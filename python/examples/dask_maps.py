"""Relief maps of a list of photographs on a Dask cluster.

    python3 dask_maps.py LIST OUT_DIR [--scheduler ADDRESS] [--parts N] [--invert ...]

LIST names one photograph per line (``find photos -name '*.jpg' > LIST``). Without
--scheduler, a LocalCluster of this machine's processors runs the work; with it,
the cluster whose scheduler listens there (``dask scheduler`` on one machine,
``dask worker ADDRESS`` on each of the others, all seeing LIST and OUT_DIR at the
same paths). Each of the N tasks gets the whole list and makes its own part of it,
exactly as ``reliefkit --from-list LIST --out-dir OUT_DIR --shard K/N`` would: the
files are the command's, byte for byte. One JSON line per input is printed, as
the command's --report writes them; the exit status is 1 when any input failed.
"""

import argparse
import json
import os
import sys

import reliefkit as rk


def make_part(paths, out_dir, part, parts, options):
    """One task: the part-th of parts of the list. The library uses every
    processor the worker may use, so one task per worker process is enough."""
    return rk.make_maps(paths, out_dir, shard=(part, parts), **options)


def make_maps_on(client, paths, out_dir, parts, timeout=None, **options):
    """Maps the list on the client's cluster in `parts` tasks; returns every record.
    A task still running after `timeout` seconds raises TimeoutError."""
    from dask.distributed import wait
    futures = [client.submit(make_part, paths, out_dir, k, parts, options, pure=False)
               for k in range(1, parts + 1)]
    wait(futures, timeout=timeout)
    return [record for part in client.gather(futures) for record in part]


def parts_count(text):
    """A count of 1 or more: none or fewer tasks would make nothing and exit 0."""
    parts = int(text)
    if parts < 1:
        raise argparse.ArgumentTypeError(f"takes a count of 1 or more, not {text}")
    return parts


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("list")
    parser.add_argument("out_dir")
    parser.add_argument("--scheduler", help="address of a running scheduler (tcp://host:8786)")
    parser.add_argument("--parts", type=parts_count, help="tasks (default: 4 per worker)")
    parser.add_argument("--invert", action="store_true", help="dark means high")
    parser.add_argument("--strength", type=int, default=2)
    args = parser.parse_args(argv)
    # Read as the command reads it: bytes, so that a name that is not UTF-8 is
    # still the file's; a byte-order mark, a CR before each break and empty
    # lines dropped.
    with open(args.list, "rb") as f:
        lines = f.read().removeprefix(b"\xef\xbb\xbf").split(b"\n")
    paths = [os.fsdecode(p.removesuffix(b"\r")) for p in lines if p not in (b"", b"\r")]

    from dask.distributed import Client, LocalCluster
    cluster = None if args.scheduler else LocalCluster(threads_per_worker=1)
    with Client(args.scheduler or cluster) as client:
        parts = args.parts or 4 * max(1, len(client.scheduler_info()["workers"]))
        records = make_maps_on(client, paths, args.out_dir, parts, invert=args.invert,
                               strength=args.strength)
    if cluster:
        cluster.close()
    for record in records:
        print(json.dumps(record))
    return 1 if any(r["status"] == "failed" for r in records) else 0


if __name__ == "__main__":
    sys.exit(main())
