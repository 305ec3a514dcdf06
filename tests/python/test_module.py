"""The module object itself: its version, its class, and a second module object beside the first."""

import importlib.metadata
import subprocess
import sys
import textwrap

import pytest

import teskra
from teskra import Teskra


def test_version_is_the_package_version_and_the_class_is_final():
    assert teskra.__version__ == importlib.metadata.version("teskra")
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (Teskra,), {})


# Run in a child: removing the module from sys.modules here would leave the other tests' imports
# pointing at a module the next import no longer returns.
SECOND_MODULE = textwrap.dedent("""
    import gc, os, sys, tempfile, weakref
    import numpy as np
    import teskra as first
    T1 = first.Teskra
    t = T1(8, index_type="hnsw")
    t.add([7, 8], np.eye(2, 8, dtype=np.float32))
    path = os.path.join(tempfile.mkdtemp(), "a.tskr")
    t.save(path)
    del sys.modules["teskra"]
    import teskra as second
    T2 = second.Teskra
    assert second is not first and T2 is not T1
    # load makes an instance of the class it is called on, through either module's state.
    loaded = [T1.load(path), T2.load(path), t.load(path), T2(8).load(path)]
    assert [type(x) for x in loaded] == [T1, T2, T1, T2]
    query = np.eye(1, 8, dtype=np.float32)[0]
    assert all(x.search(query, 2) == t.search(query, 2) for x in loaded) and t.search(query, 1)[0]["id"] == 7
    # The first module, its class and its instances are collected once nothing refers to them.
    gone = weakref.ref(first), weakref.ref(T1)
    del first, T1, t, loaded
    gc.collect()
    assert [w() for w in gone] == [None, None]
    # The second module's class works on after the first module's state is released.
    u = T2(8)
    u.add([3], np.ones((1, 8), dtype=np.float32))
    assert [h["id"] for h in u.search(np.ones(8, dtype=np.float32), 1)] == [3]
    print("ok")
""")


def test_a_second_module_object_keeps_its_own_class_and_the_first_is_collected():
    proc = subprocess.run([sys.executable, "-c", SECOND_MODULE], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0 and proc.stdout == "ok\n", proc.stderr
