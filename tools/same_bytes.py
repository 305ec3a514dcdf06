"""Checks that two builds of the module write byte-identical index files and
answer searches identically, for every index type, metric and code layout.

    python tools/same_bytes.py OLD_MODULE_DIR NEW_MODULE_DIR

Each directory holds a built `teskra` extension (e.g. from
`pip install --target DIR .` of two checkouts). Every build runs in its own
interpreter; the files and answers are compared byte for byte.

With TESKRA_SAME_SELECTION=nearest, graphs are made with
hnsw_selection="nearest" wherever the build knows the keyword, and the
header byte that records the rule is left out of the comparison: that
checks the best-scored rule against a build from before the keyword.
"""
import json
import os
import subprocess
import sys
import tempfile

CHILD = r'''
import hashlib, json, os, sys
import numpy as np
import teskra
out = {"module": teskra.__file__}
rng = np.random.default_rng(7)
base = rng.standard_normal((600, 48)).astype(np.float32)
extra = rng.standard_normal((80, 48)).astype(np.float32)
queries = rng.standard_normal((8, 48)).astype(np.float32)
kinds = {"brute_force": {}, "ivf_flat": {"ivf_nlist": 12, "ivf_nprobe": 4},
         "hnsw": {"hnsw_m": 6, "hnsw_ef_construction": 40, "hnsw_ef_search": 20}}
layouts = {"4bit": {}, "2bit": {"bit_width": 2}, "mixed": {"n4_dims": 24}}
d = sys.argv[1]
selection = os.environ.get("TESKRA_SAME_SELECTION")
if selection and "hnsw_selection" in teskra.Teskra.__text_signature__:
    kinds["hnsw"]["hnsw_selection"] = selection


def digest(path):
    data = bytearray(open(path, "rb").read())
    if selection:
        data[55] = 0  # the rule's byte
    return hashlib.sha256(data).hexdigest()


for kind, kw in kinds.items():
    for metric in ("cosine", "dot", "l2"):
        for name, lay in layouts.items():
            t = teskra.Teskra(48, metric=metric, index_type=kind, **kw, **lay)
            if metric == "l2":
                t.fit(base[:100].tolist())
            t.add(list(range(600)), base)
            t.add(list(range(1000, 1080)), extra.tolist())
            t.build()
            path = os.path.join(d, f"{kind}-{metric}-{name}.tskr")
            t.save(path)
            answers = [[(h["id"], float(h["score"]).hex()) for h in t.search(q.tolist(), 10)] for q in queries]
            loaded = teskra.Teskra.load(path)
            again = [[(h["id"], float(h["score"]).hex()) for h in loaded.search(q.tolist(), 10)] for q in queries]
            # A loaded graph grows further; its file shows the rescoring path too.
            loaded.add(list(range(2000, 2040)), base[:40] * 0.5)
            loaded.build()
            grown = os.path.join(d, f"{kind}-{metric}-{name}-grown.tskr")
            loaded.save(grown)
            out[path.rsplit("/", 1)[1]] = {
                "file": digest(path), "grown": digest(grown),
                "answers": answers, "loaded_answers": again}
print(json.dumps(out))
'''


def run(module_dir):
    with tempfile.TemporaryDirectory() as d:
        env = dict(os.environ, PYTHONPATH=module_dir)
        res = subprocess.run([sys.executable, "-c", CHILD, d], env=env, capture_output=True, text=True, check=True)
        out = json.loads(res.stdout)
        module = out.pop("module")
        assert module.startswith(os.path.abspath(module_dir)), module
        return out


def main():
    old, new = run(sys.argv[1]), run(sys.argv[2])
    bad = [k for k in old if old[k] != new.get(k)]
    print(f"{len(old)} configurations compared; {len(bad)} differ")
    for k in bad:
        print("  differs:", k)
    return 1 if bad or old.keys() != new.keys() else 0


if __name__ == "__main__":
    sys.exit(main())
