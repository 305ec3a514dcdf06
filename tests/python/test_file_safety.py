"""What save and load do with paths that are not plain files, with links planted by other users, with
the old file's owner, and when a save is killed. Cases acting as two users run only as root (the other
is a forked child become nobody). Temporary names, their clean-up, kept modes: tests/core/test_files.cpp.
"""

import os
import pathlib
import pwd
import random
import shutil
import stat
import subprocess
import sys
import tempfile
import time
import traceback

import numpy as np
import pytest

from conftest import expect_error, small
from teskra import Teskra

ROOT = os.geteuid() == 0
needs_root = pytest.mark.skipif(not ROOT, reason="acts as a second user (nobody), which needs root")


def as_nobody(action):
    """Runs action() in a forked child that has become user nobody; True if it returned normally."""
    nobody = pwd.getpwnam("nobody")
    pid = os.fork()
    if pid == 0:
        try:
            os.setgroups([]), os.setgid(nobody.pw_gid), os.setuid(nobody.pw_uid), action()
        except BaseException:
            traceback.print_exc()
            os._exit(1)
        os._exit(0)
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) == 0


@pytest.fixture
def shared_dir():
    """A directory other users can reach (pytest's tmp_path sits below a root-only one)."""
    path = pathlib.Path(tempfile.mkdtemp())
    yield path
    shutil.rmtree(path)


def test_special_files_are_refused_without_blocking(tmp_path):
    t = small()
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    expect_error(OSError, "io error: Invalid argument", lambda: t.save(str(fifo)))
    assert stat.S_ISFIFO(fifo.lstat().st_mode) and os.listdir(tmp_path) == ["fifo"]
    # A FIFO nobody writes to would block a plain open for good: a child gets a deadline.
    child = subprocess.run([sys.executable, "-c", "import sys\nfrom teskra import Teskra\nTeskra.load(sys.argv[1])",
                            str(fifo)], capture_output=True, text=True, timeout=60, cwd=os.path.dirname(__file__))
    assert child.stderr.strip().splitlines()[-1] == f"OSError: [Errno 22] io error: Invalid argument: '{fifo}'"
    expect_error(OSError, "io error: Invalid argument", lambda: Teskra.load("/dev/null"))
    expect_error(IsADirectoryError, "io error: Is a directory", lambda: Teskra.load(str(tmp_path)))


@needs_root
def test_a_device_node_is_never_replaced(tmp_path):
    # A node of its own for /dev/null's device: a faulty save must not break the machine's.
    null = tmp_path / "null"
    try:
        os.mknod(null, stat.S_IFCHR | 0o666, os.makedev(1, 3))
    except PermissionError:
        pytest.skip("cannot make device nodes here")
    before = null.lstat()
    expect_error(OSError, "io error: Invalid argument", lambda: small().save(str(null)))
    after = null.lstat()
    assert stat.S_ISCHR(after.st_mode) and os.listdir(tmp_path) == ["null"]
    assert (after.st_ino, after.st_rdev, after.st_mode) == (before.st_ino, before.st_rdev, before.st_mode)


@needs_root
def test_a_replaced_file_keeps_its_owner_where_the_saver_may_set_it(shared_dir):
    t, nobody = small(), pwd.getpwnam("nobody")
    theirs, mine = shared_dir / "theirs.tskr", shared_dir / "root.tskr"
    for path in (theirs, mine):
        path.write_bytes(b"old")
    os.chown(theirs, nobody.pw_uid, nobody.pw_gid)
    os.chmod(theirs, 0o2640)  # the set-group-id bit too, which a change of owner would clear
    t.save(str(theirs))
    st = theirs.stat()
    assert (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (nobody.pw_uid, nobody.pw_gid, 0o2640)
    # An ordinary user replacing root's file in a directory of theirs cannot give it back to root:
    # the save still succeeds, the file becomes theirs and keeps its mode.
    os.chown(shared_dir, nobody.pw_uid, nobody.pw_gid)
    os.chmod(mine, 0o664)
    assert as_nobody(lambda: t.save(str(mine)))
    st = mine.stat()
    assert (st.st_uid, stat.S_IMODE(st.st_mode)) == (nobody.pw_uid, 0o664)
    assert Teskra.load(str(mine)).n_vectors == 3 and sorted(os.listdir(shared_dir)) == ["root.tskr", "theirs.tskr"]


@needs_root
def test_links_in_a_sticky_directory_are_followed_only_where_the_kernel_rule_allows(tmp_path, shared_dir):
    t = small()
    private = tmp_path / "private"
    private.mkdir(mode=0o700)
    target = private / "index.tskr"
    target.write_bytes(b"root only")
    os.chmod(shared_dir, 0o1777)  # like /tmp
    planted = shared_dir / "index.tskr"
    assert as_nobody(lambda: os.symlink(target, planted))
    expect_error(PermissionError, "io error: Permission denied", lambda: t.save(str(planted)))
    assert target.read_bytes() == b"root only" and planted.is_symlink() and os.listdir(shared_dir) == ["index.tskr"]
    # A link of the saver's own is followed and stays a link...
    os.symlink(target, shared_dir / "own.tskr")
    t.save(str(shared_dir / "own.tskr"))
    assert Teskra.load(str(target)).n_vectors == 3 and (shared_dir / "own.tskr").is_symlink()
    # ...and so is a link of the directory's owner, whoever that is.
    target.write_bytes(b"root only")
    os.chown(shared_dir, pwd.getpwnam("nobody").pw_uid, -1)
    t.save(str(planted))
    assert Teskra.load(str(target)).n_vectors == 3 and sorted(os.listdir(shared_dir)) == ["index.tskr", "own.tskr"]


SAVER = """
import sys
from teskra import Teskra
t = Teskra.load(sys.argv[1])
print("ready", flush=True)
while True:
    t.save(sys.argv[2])
"""


def test_saves_killed_at_random_points_leave_no_temporary_file(tmp_path):
    n, seed, work = 50_000, tmp_path / "seed.tskr", tmp_path / "work"
    t = Teskra(64)
    t.add(np.arange(n, dtype=np.uint64), np.random.default_rng(3).standard_normal((n, 64)).astype(np.float32))
    t.save(str(seed))
    work.mkdir()
    path, start = work / "index.tskr", time.perf_counter()
    t.save(str(path))
    duration, rng = time.perf_counter() - start, random.Random(4)
    for _ in range(8):
        with subprocess.Popen([sys.executable, "-c", SAVER, str(seed), str(path)], stdout=subprocess.PIPE, text=True,
                              cwd=os.path.dirname(__file__)) as child:
            assert child.stdout.readline() == "ready\n"
            time.sleep(rng.uniform(0, 3 * duration))
            child.kill()
    # Whatever a kill left (a name given in the last instant before the rename) goes with the next save.
    t.save(str(path))
    assert os.listdir(work) == ["index.tskr"] and Teskra.load(str(path)).n_vectors == n
