import importlib.util
import json
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

import reliefkit as rk
from reliefkit import _farm
from test_reliefkit import BRICKS, REPO, command, tmp  # noqa: F401 - the fixture

EXAMPLE = REPO / "python" / "examples" / "dask_maps.py"


# A small tree (two wall.png in different folders), a broken file and a list of all.
def photographs(root):
    rng = np.random.default_rng(7)
    names = ["a/wall.png", "b/wall.png", "b/c/x.png", "y.png", "bad.png"]
    for name in names[:-1]:
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        rk.save_png(root / name, rng.random((40, 56, 3), np.float32))
    (root / "bad.png").write_bytes(b"not pixels")
    paths = [str(root / name) for name in names]
    (root / "list").write_text("\n".join(paths) + "\n")
    return paths


def files(root):
    return {p.relative_to(root): p.read_bytes() for p in root.rglob("*") if p.is_file()}


def by_input(records):
    return {r["input"]: (r["status"], [o["xxh3"] for o in r["outputs"]]) for r in records}


# The documented Dask example on a LocalCluster of two worker processes, bounded in
# time: make_maps in three parts makes the command's files and its report's records,
# a failure included.
def test_the_dask_example_makes_the_commands_files_and_records(tmp):
    distributed = pytest.importorskip("dask.distributed")
    paths = photographs(tmp / "in")
    args = ["--from-list", tmp / "in" / "list", "-o", tmp / "cmd", "--report", tmp / "r.jsonl"]
    assert subprocess.run([command(), "--invert", "--strength", "3", *map(str, args)]).returncode == 1
    reported = [json.loads(line) for line in (tmp / "r.jsonl").read_text().splitlines()]
    found = importlib.util.spec_from_file_location("dask_maps", EXAMPLE)
    example = importlib.util.module_from_spec(found)
    found.loader.exec_module(example)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster, timeout="60s") as client:
        records = example.make_maps_on(client, paths, str(tmp / "dask"), parts=3, timeout=120,
                                       invert=True, strength=3)
    assert by_input(records) == by_input(reported) and by_input(records)[paths[-1]][0] == "failed"
    assert all(set(r) == {"input", "status", "outputs", "seconds", "error"} for r in records)
    assert files(tmp / "dask") == files(tmp / "cmd") and len(files(tmp / "cmd")) == 8


# Settings the command refuses are refused before any input is read, rather than
# making an empty share of the list or failing every input alike.
@pytest.mark.parametrize("settings, words", [
    ({"shard": (0, 3)}, "1 <= k <= n"), ({"shard": (4, 3)}, "1 <= k <= n"),
    ({"shard": (1, 0)}, "1 <= k <= n"), ({"shard": (1.5, 3)}, "1 <= k <= n"),
    ({"shard": (True, 2)}, "1 <= k <= n"),
    ({"height_only": True, "from_height": True}, "choose one"),
    ({"from_height": True, "mode": "red"}, "from_height reads heights as they are"),
    ({"height_only": True, "strength": 3, "channels": "grb"},
     "height_only writes no normal map: leave out strength, channels$"),
    ({"resize": (0, 5)}, "resize takes"),
    ({"clamp": (0.8, 0.2)}, "clamp low 0.8 is above clamp high 0.2"),
    # Values the library refuses, which once failed each input after its
    # height map was written.
    ({"strength": 11}, "strength"), ({"channels": "xyz"}, "channel"),
    ({"blur": 300}, "blur"), ({"center_weight": -1}, "center"), ({"depth": 12}, "depth"),
    ({"tileable": 2.0}, "width"),
    # Settings the command refuses that the functions alone would take.
    ({"tileable": 0.005}, "0.01 to 0.5"), ({"resize": (65535, 65535)}, "268435455 pixels"),
    ({"depth": 16.7}, "depth"), ({"depth": "16"}, "depth"),
])
def test_refused_settings_make_nothing(tmp, settings, words):
    with pytest.raises((ValueError, rk.Error), match=words):
        rk.make_maps([str(BRICKS)], tmp, **settings)
    assert not any(tmp.iterdir())


# An output that is a hard link of an input, and a missing input, fail in the command's words.
def test_hard_links_and_missing_inputs_as_the_command(tmp, monkeypatch):
    monkeypatch.chdir(tmp)
    os.link(shutil.copy(BRICKS, "w.png"), "w_height.png")
    records = rk.make_maps(["w.png", "gone.png"], ".")
    assert [r["error"] for r in records] == [
        "w.png skipped: its output ./w_height.png would overwrite an input file",
        "cannot read gone.png: no such file"]


# Without xxhash nothing is written; an output that cannot be hashed fails its input alone.
def test_hashes_fail_up_front_or_per_input(tmp, monkeypatch):
    monkeypatch.setattr(_farm, "_xxh3", lambda path: os.remove(path) or open(path))
    records = rk.make_maps([str(BRICKS), str(tmp / "gone.png")], tmp / "a")
    assert [r["status"] for r in records] == ["failed", "failed"]
    monkeypatch.setitem(sys.modules, "xxhash", None)
    with pytest.raises(ImportError, match="xxhash"):
        rk.make_maps([str(BRICKS)], tmp / "b")
    assert not (tmp / "b").exists()


@pytest.mark.parametrize("count", [0, -1, 2.0, True])
def test_shard_of_refuses_a_count_below_one(count):
    with pytest.raises(ValueError, match="count of 1 or more"):
        rk.shard_of("a.png", count)


def test_one_path_is_not_a_list(tmp):
    with pytest.raises(TypeError, match="list of paths"):
        rk.make_maps(str(BRICKS), tmp)
    with pytest.raises(ValueError, match="holds a NUL byte"):
        rk.make_maps([str(BRICKS), "bad\0.png"], tmp)
    assert not any(tmp.iterdir())


# Names of dots are stemmed as the command stems them (std::filesystem's rule).
@pytest.mark.parametrize("name, stem", [("..png", "."), ("...png", ".."), (".hidden", ".hidden"),
                                        (".hidden.png", ".hidden"), ("a.b.png", "a.b"), ("..", "..")])
def test_stems_are_the_commands(name, stem):
    assert _farm._stem("d/" + name, False) == stem
