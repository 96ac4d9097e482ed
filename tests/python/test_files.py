# Paths and saves from Python: a path with a NUL is refused as Python's open refuses it, and a save replaces a
# regular file only once it is complete, keeping its permissions and its symbolic links.
import os
import re
import shutil
import stat
import struct
import subprocess
import sys
import textwrap
import time

import pytest

import pymorvane as pm
from pymorvane import (Ciphertext, CollectiveKeyGenConfig as Config, CollectiveKeyGenData as Data,
                       CollectiveKeyGenerator, KeyGenerator, KeyPack, Message, ParameterPreset, Plaintext, SecretKey)

CRD = Config(Config.Enc)
ARCHIVE_SHORT_WRITE = re.compile(r"Failed to write \d+ bytes to output stream! Wrote \d+")


def contents(directory):
    """Every file below `directory` with its bytes (links by their target)."""
    found = {}
    for root, dirs, files in os.walk(directory):
        for name in dirs + files:
            path = os.path.join(root, name)
            key = os.path.relpath(path, directory)
            if os.path.islink(path):
                found[key] = "-> " + os.readlink(path)
            elif os.path.isfile(path):
                found[key] = open(path, "rb").read()
            else:
                found[key] = "dir"
    return found


# --- Paths with a NUL ------------------------------------------------------------------------------------------

FGD, SGD0 = ParameterPreset.FGd, ParameterPreset.SGd0

# Every member that takes a path: (name, whether it takes a key directory, call(contexts, path)).
PATH_MEMBERS = [
    ("Message.save", False, lambda c, p: Message(2).save(p)),
    ("Message.load", False, lambda c, p: Message(2).load(p)),
    ("Plaintext.save", False, lambda c, p: Plaintext(c[FGD]).save(p)),
    ("Plaintext.load", False, lambda c, p: Plaintext(c[FGD]).load(p)),
    ("Ciphertext.save", False, lambda c, p: Ciphertext(c[FGD]).save(p)),
    ("Ciphertext.load", False, lambda c, p: Ciphertext(c[FGD]).load(p)),
    ("SecretKey", False, lambda c, p: SecretKey(c[FGD], p)),
    ("SecretKey.save", False, lambda c, p: SecretKey(c[FGD]).save(p)),
    ("SecretKey.save_seed_only", False, lambda c, p: SecretKey(c[FGD]).save_seed_only(p)),
    ("make_context_from_file", False, lambda c, p: pm.make_context_from_file(p)),
    ("save_context_to_file", False, lambda c, p: pm.save_context_to_file(c[FGD], p)),
    ("KeyPack.load_enc_key", False, lambda c, p: KeyPack(c[FGD]).load_enc_key(p)),
    ("KeyPack.load_mult_key", False, lambda c, p: KeyPack(c[FGD]).load_mult_key(p)),
    ("KeyPack.load_left_rot_key", False, lambda c, p: KeyPack(c[FGD]).load_left_rot_key(1, p)),
    ("KeyPack.load_right_rot_key", False, lambda c, p: KeyPack(c[FGD]).load_right_rot_key(1, p)),
    ("KeyPack.load_conj_key", False, lambda c, p: KeyPack(c[FGD]).load_conj_key(p)),
    ("KeyPack.load_sparse_secret_encapsulation_key", False,
     lambda c, p: KeyPack(c[FGD]).load_sparse_secret_encapsulation_key(p)),
    ("CollectiveKeyGenData.save", False, lambda c, p: Data(CRD).save(p)),
    ("CollectiveKeyGenData.load", False, lambda c, p: Data(CRD).load(p)),
] + [
    (f"CollectiveKeyGenerator.{member}", False,
     lambda c, p, member=member: getattr(CollectiveKeyGenerator(c[FGD], c[SGD0]), member)(Data(CRD), Data(CRD), p))
    for member in ("gen_and_save_enc_key", "gen_and_save_conj_key", "gen_and_save_rot_key",
                   "gen_and_save_sparse_secret_encapsulation_key", "gen_and_save_mult_key")
] + [
    ("KeyPack", True, lambda c, p: KeyPack(c[FGD], p)),
    ("KeyPack sparse", True, lambda c, p: KeyPack(c[FGD], c[SGD0], p)),
    ("KeyPack.save", True, lambda c, p: KeyPack(c[FGD]).save(p)),
    ("KeyGenerator.save", True, lambda c, p: KeyGenerator(c[FGD], SecretKey(c[FGD])).save(p)),
    ("HomEvaluator", True, lambda c, p: pm.HomEvaluator(c[FGD], p)),
]


@pytest.mark.parametrize("name, takes_directory, call", PATH_MEMBERS, ids=[m[0] for m in PATH_MEMBERS])
@pytest.mark.parametrize("form", [str, os.fsencode], ids=["str", "bytes"])
def test_a_path_with_a_nul_is_refused_before_anything_is_touched(tmp_path, capfd, name, takes_directory, call,
                                                                  form):
    # What the system would take of the paths: a key directory with a key, and a file of every record's size.
    (tmp_path / "dir" / "PK").mkdir(parents=True)
    (tmp_path / "dir" / "PK" / "MultKey.bin").write_bytes(b"\x01" * 32)
    (tmp_path / "file").write_bytes(b"\x01" * 4096)
    before = contents(tmp_path)
    contexts = {FGD: pm.make_context(FGD), SGD0: pm.make_context(SGD0)}
    capfd.readouterr()
    path = str(tmp_path / ("dir" if takes_directory else "file")) + "\0x"
    with pytest.raises(ValueError) as caught:
        call(contexts, form(path))
    assert str(caught.value) == "embedded null byte"
    assert contents(tmp_path) == before
    assert capfd.readouterr().out == ""
    assert contexts[FGD].get_history() == {} and contexts[SGD0].get_history() == {}


READS = [m for m in PATH_MEMBERS if not m[1] and "save" not in m[0]]


def outcome(call, contexts, path, capfd):
    try:
        call(contexts, path)
        raised = None
    except Exception as error:  # noqa: BLE001 - the outcome itself is compared
        raised = (type(error), str(error))
    return raised, capfd.readouterr().out


@pytest.mark.parametrize("name, takes_directory, call", READS, ids=[m[0] for m in READS])
def test_a_directory_given_as_a_file_to_read_fails_as_a_missing_file(tmp_path, capfd, name, takes_directory, call):
    contexts = {FGD: pm.make_context(FGD), SGD0: pm.make_context(SGD0)}
    capfd.readouterr()
    path = str(tmp_path / "entry")
    missing = outcome(call, contexts, path, capfd)
    os.mkdir(path)
    assert outcome(call, contexts, path, capfd) == missing
    assert contexts[FGD].get_history() == {} and contexts[SGD0].get_history() == {}


def test_a_context_file_that_is_a_fifo_written_once_loads(tmp_path):
    # A pipe gives its data to one open only: the context is read from the open that tests the file.
    saved, fifo = tmp_path / "saved.bin", tmp_path / "fifo"
    pm.save_context_to_file(pm.make_context(FGD), str(saved))
    os.mkfifo(fifo)
    code = ("import pymorvane as pm\n"
            f"ctx = pm.make_context_from_file({str(fifo)!r})\n"
            "print(pm.get_log_full_slots(ctx), pm.get_encryption_level(ctx), ctx.get_history())\n")
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    try:
        # Written once, as soon as the child has the FIFO open for reading.
        writer = None
        while writer is None and child.poll() is None:
            try:
                writer = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
            except OSError:
                time.sleep(0.001)
        if writer is not None:
            try:
                os.write(writer, saved.read_bytes())
            finally:
                os.close(writer)
        out, err = child.communicate(timeout=20)
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        pytest.fail("make_context_from_file still waits for the FIFO")
    assert child.returncode == 0, err
    expected = pm.make_context(FGD)
    assert out.split(" ", 2) == [str(pm.get_log_full_slots(expected)), str(pm.get_encryption_level(expected)),
                                 "{}\n"]


# --- Failed saves ----------------------------------------------------------------------------------------------

def run_child(code, limit=None, path=None, wrapper=()):
    """Runs `code` in a new interpreter (with the module, `pm`, and `path`) and returns what it printed. With a
    limit, files of the child cannot grow past `limit` bytes: a full disk, without root."""
    preamble = "import os, resource, signal\nimport pymorvane as pm\npath = " + repr(path) + "\n"
    if limit is not None:
        preamble += ("signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
                     f"resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, {limit}))\n")
    body = "try:\n" + textwrap.indent(textwrap.dedent(code), "    ") + \
           "\n    print('<no exception>')\nexcept Exception as e:\n    print(e)\n"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([*wrapper, sys.executable, "-c", preamble + body], capture_output=True, text=True,
                          env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def run_in_own_file_system(tmp_path, options, code):
    """Runs `code` as run_child does, with `path` a tmpfs of the given mount options in a mount namespace of the
    child's own, and returns its lines; skips where the system allows no such namespace."""
    if shutil.which("unshare") is None or shutil.which("mount") is None:
        pytest.skip("needs unshare and mount")
    wrapper = ["unshare", "--mount", "--map-root-user"]
    if subprocess.run([*wrapper, "true"], capture_output=True).returncode != 0:
        pytest.skip("no mount namespace for this user")
    mounted = tmp_path / "small"
    mounted.mkdir()
    mount = ("import subprocess\n"
             f"subprocess.run(['mount', '-t', 'tmpfs', '-o', {options!r}, 'tmpfs', path], check=True)\n")
    return run_child(mount + textwrap.dedent(code), path=str(mounted), wrapper=wrapper).splitlines()


# (name, code saving over `path`, file name in the key directory, whether the record passes the file's buffer)
FULL_DISK_SAVES = [
    ("Ciphertext.save", "pm.Ciphertext(pm.make_context(pm.ParameterPreset.FGb)).save(path)", None, True),
    ("SecretKey.save", "pm.SecretKey(pm.make_context(pm.ParameterPreset.FGb)).save(path)", None, True),
    ("save_context_to_file", "pm.save_context_to_file(pm.make_context(pm.ParameterPreset.FGb), path)", None, False),
    ("KeyGenerator.save", """
        ctx = pm.make_context(pm.ParameterPreset.FGb)
        keygen = pm.KeyGenerator(ctx, pm.SecretKey(ctx))
        keygen.gen_enc_key()
        keygen.gen_mult_key()
        keygen.save(path)""", "EncKey.bin", False),
    ("gen_and_save_enc_key", """
        pm.simulate_alert(False)
        gen = pm.CollectiveKeyGenerator(pm.make_context(pm.ParameterPreset.FGb))
        data = pm.CollectiveKeyGenData(pm.CollectiveKeyGenConfig(pm.CollectiveKeyGenConfig.Enc))
        gen.gen_and_save_enc_key(data, data, path)""", None, False),
]


@pytest.mark.parametrize("name, code, key_file, large", FULL_DISK_SAVES, ids=[s[0] for s in FULL_DISK_SAVES])
def test_a_save_on_a_full_disk_leaves_the_earlier_file(tmp_path, name, code, key_file, large):
    if key_file:
        (tmp_path / "keys" / "PK").mkdir(parents=True)
        target, path = tmp_path / "keys" / "PK" / key_file, str(tmp_path / "keys")
    else:
        target = tmp_path / "earlier.bin"
        path = str(target)
    target.write_bytes(b"earlier record")
    before = contents(tmp_path)
    message = run_child(code, limit=5, path=path)
    if large:
        assert ARCHIVE_SHORT_WRITE.fullmatch(message), message
    else:
        assert message == "Cannot write file " + str(target)
    assert contents(tmp_path) == before


def test_a_full_file_system(tmp_path):
    # A small tmpfs of its own mount namespace, where one is allowed; it is gone with the child.
    mounted = tmp_path / "small"
    lines = run_in_own_file_system(tmp_path, "size=16k", """
        ctx = pm.make_context(pm.ParameterPreset.FGb)
        os.makedirs(path + "/PK")
        pm.save_context_to_file(ctx, path + "/context.bin")
        pack = pm.KeyPack(ctx)
        keygen = pm.KeyGenerator(ctx, pm.SecretKey(ctx), pack)
        keygen.gen_enc_key()
        pack.save(path)
        # Fill the rest of the file system, then save over the files saved before.
        with open(path + "/filler", "wb", buffering=0) as filler:
            try:
                while True:
                    filler.write(b"f" * 512)
            except OSError:
                pass
        saved = {name: open(path + "/" + name, "rb").read() for name in ("context.bin", "PK/EncKey.bin")}
        for save in (lambda: pm.save_context_to_file(ctx, path + "/context.bin"), lambda: pack.save(path),
                     lambda: pm.Ciphertext(ctx).save(path + "/context.bin")):
            try:
                save()
                print("<no exception>")
            except RuntimeError as e:
                print(e)
        print(sorted(os.listdir(path)), sorted(os.listdir(path + "/PK")))
        print(all(open(path + "/" + name, "rb").read() == data for name, data in saved.items()))""")
    # The same records fit where the earlier ones were, written in place once the temporary finds no room; a
    # larger record does not, and leaves the earlier file.
    assert lines[:3] == ["<no exception>", "<no exception>", "Cannot write file " + str(mounted / "context.bin")]
    assert lines[3:] == ["['PK', 'context.bin', 'filler'] ['EncKey.bin']", "True", "<no exception>"]


def test_saves_where_no_temporary_can_be_made(tmp_path):
    # The files made first take every inode: a save writes over a file only with room for all of it, a
    # multi-party key file included (the key it writes is that of the generator's context, as the earlier one).
    code = """
        pm.simulate_alert(False)
        ctx = pm.make_context(pm.ParameterPreset.FGb)
        os.makedirs(path + "/PK")
        m, key = path + "/m.bin", path + "/PK/EncKey.bin"
        pm.Message(2).save(m)
        keygen = pm.KeyGenerator(ctx, pm.SecretKey(ctx))
        keygen.gen_enc_key()
        keygen.save(path)
        earlier = {name: open(name, "rb").read() for name in (m, key)}
        other = pm.make_context(pm.ParameterPreset.SD3)
        other_keygen = pm.KeyGenerator(other, pm.SecretKey(other))
        other_keygen.gen_enc_key()
        gen = pm.CollectiveKeyGenerator(ctx)
        data = pm.CollectiveKeyGenData(pm.CollectiveKeyGenConfig(pm.CollectiveKeyGenConfig.Enc))
        for save in (lambda: pm.Message(12).save(m), lambda: pm.Message(3).save(m), lambda: other_keygen.save(path),
                     lambda: gen.gen_and_save_enc_key(data, data, key)):
            try:
                save()
                print("<no exception>")
            except RuntimeError as e:
                print(str(e).replace(path, "<dir>"))
            print([os.path.getsize(name) if open(name, "rb").read() != earlier[name] else "earlier"
                   for name in (m, key)])
        print(sorted(os.listdir(path)), os.listdir(path + "/PK"))"""
    lines = run_in_own_file_system(tmp_path, "size=16k,nr_inodes=4", code)
    assert lines == ["Cannot write file <dir>/m.bin", "['earlier', 'earlier']",
                     "<no exception>", "[136, 'earlier']",
                     "<no exception>", "[136, 12]",
                     "<no exception>", "[136, 'earlier']",
                     "['PK', 'm.bin'] ['EncKey.bin']", "<no exception>"]


def run_as_user(code):
    """Runs `code` in a new interpreter as a user who is not root, acting as a second user (65534) when root, and
    returns its lines; skips where that user cannot run the module or permission bits do not hold it."""
    second = os.geteuid() == 0
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(entry) for entry in sys.path))
    try:
        result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                                timeout=60, env=env, cwd="/",
                                preexec_fn=(lambda: (os.setgroups([]), os.setgid(65534), os.setuid(65534)))
                                if second else None)
    except PermissionError:
        pytest.skip("the interpreter cannot be run by the second user")
    if second and ("ModuleNotFoundError" in result.stderr or "PermissionError" in result.stderr):
        pytest.skip("the module is not readable by the second user")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    if lines == ["<permission bits not enforced>"]:
        pytest.skip("permission bits are not enforced for this user")
    return lines


def test_an_unwritable_directory_takes_no_new_file_but_its_files_are_written_through():
    # No temporary can be made beside a file the user may write: every save writes it in place, as a plain open
    # would, a multi-party key file included; a new file cannot be made at all.
    lines = run_as_user("""
        import os, tempfile
        import pymorvane as pm
        pm.simulate_alert(False)
        gen = pm.CollectiveKeyGenerator(pm.make_context(pm.ParameterPreset.FGb))
        data = pm.CollectiveKeyGenData(pm.CollectiveKeyGenConfig(pm.CollectiveKeyGenConfig.Enc))
        saves = {"Message.save": lambda p: pm.Message(2).save(p),
                 "gen_and_save_enc_key": lambda p: gen.gen_and_save_enc_key(data, data, p)}
        with tempfile.TemporaryDirectory() as top:
            locked = os.path.join(top, "locked")
            os.mkdir(locked)
            with open(os.path.join(locked, "m.bin"), "wb") as f:
                f.write(b"earlier")
            os.chmod(locked, 0o555)
            try:
                if os.access(locked, os.W_OK):
                    print("<permission bits not enforced>")
                    raise SystemExit
                for name, save in saves.items():
                    for target in ("new.bin", "m.bin"):
                        try:
                            save(os.path.join(locked, target))
                            outcome = "<no exception>"
                        except RuntimeError as error:
                            outcome = str(error).replace(locked, "<locked>")
                        save(os.path.join(top, "expected.bin"))
                        written = open(os.path.join(locked, "m.bin"), "rb").read()
                        state = {b"earlier": "earlier", open(os.path.join(top, "expected.bin"), "rb").read(): "saved"}
                        print(name, target, outcome, state.get(written, written), sorted(os.listdir(locked)))
                        with open(os.path.join(locked, "m.bin"), "wb") as f:
                            f.write(b"earlier")
            finally:
                os.chmod(locked, 0o755)
        """)
    assert lines == [
        "Message.save new.bin Cannot open file <locked>/new.bin earlier ['m.bin']",
        "Message.save m.bin <no exception> saved ['m.bin']",
        "gen_and_save_enc_key new.bin Failed to write 4 bytes to output stream! Wrote 0 earlier ['m.bin']",
        "gen_and_save_enc_key m.bin <no exception> saved ['m.bin']",
    ]


def test_another_user_saves_over_files_a_directory_does_not_let_it_replace():
    # Run as root, the test acts as a second user: in a sticky shared directory a file of root's that the user may
    # write cannot be replaced by a rename, and in a directory the user may not write no temporary can be made.
    # Both are written as a plain open writes them, with no temporary left behind, and keep their owner; so is a
    # multi-party key file, over the file the share's save emptied.
    if os.geteuid() != 0:
        pytest.skip("acting as a second user needs root")
    import tempfile
    top = tempfile.mkdtemp()
    try:
        os.chmod(top, 0o755)
        shared, locked = os.path.join(top, "shared"), os.path.join(top, "locked")
        os.mkdir(shared)
        os.chmod(shared, 0o1777)
        os.mkdir(locked)
        for directory in (shared, locked):
            with open(os.path.join(directory, "root.bin"), "wb") as f:
                f.write(b"earlier")
            os.chmod(os.path.join(directory, "root.bin"), 0o666)
        child = f"""
            import os, pymorvane as pm
            for directory in {[shared, locked]!r}:
                pm.Message([1.0, 2.0]).save(os.path.join(directory, "root.bin"))
                m = pm.Message()
                m.load(os.path.join(directory, "root.bin"))
                print(m[:], sorted(os.listdir(directory)))
            try:
                pm.Message([1.0]).save(os.path.join({locked!r}, "new.bin"))
            except RuntimeError as error:
                print(error)
            pm.simulate_alert(False)
            data = pm.CollectiveKeyGenData(pm.CollectiveKeyGenConfig(pm.CollectiveKeyGenConfig.Enc))
            gen = pm.CollectiveKeyGenerator(pm.make_context(pm.ParameterPreset.FGb))
            for directory in {[shared, locked]!r}:
                file = os.path.join(directory, "root.bin")
                data.save(file)
                try:
                    gen.gen_and_save_enc_key(data, data, file)
                    outcome = "<no exception>"
                except RuntimeError as error:
                    outcome = str(error)
                print(outcome, os.path.getsize(file), os.stat(file).st_uid, sorted(os.listdir(directory)))
            """
        assert run_as_user(child) == ["[(1+0j), (2+0j)] ['root.bin']"] * 2 + [
            "Cannot open file " + os.path.join(locked, "new.bin"),
            "<no exception> 12 0 ['root.bin']",
            "<no exception> 12 0 ['root.bin']"]
    finally:
        shutil.rmtree(top)


def test_saves_in_place_wait_for_the_library_s_own_saves_only():
    # A directory the user may not write: saves go in place. Locks of the caller or of another program on the file
    # do not hold a save up, from the main thread or another; another process holding the library's turn does, until
    # it lets go or Ctrl-C ends the main thread's wait, leaving the file as it was.
    lines = run_as_user(r'''
        import fcntl, os, signal, struct, subprocess, sys, tempfile, threading, time
        import pymorvane as pm
        HOLDER = """if True:
            import fcntl, struct, sys, time
            f = open(sys.argv[1], "r+b")
            if sys.argv[2] == "flock":
                fcntl.flock(f, fcntl.LOCK_EX)
            else:
                # The library's turn: an open-file-description lock on the last byte but one.
                lock = struct.pack("@hhqqi4x", fcntl.F_WRLCK, 0, 2**63 - 2, 1, 0)
                fcntl.fcntl(f, getattr(fcntl, "F_OFD_SETLK", 37), lock)
            print("held", flush=True)
            time.sleep(float(sys.argv[3]))
            """

        def save(file, on_thread):
            outcome = []

            def run():
                try:
                    pm.Message([1.0, 2.0]).save(file)
                    outcome.append("<no exception>")
                except BaseException as error:
                    outcome.append(type(error).__name__)
            start = time.monotonic()
            if on_thread:
                worker = threading.Thread(target=run)
                worker.start()
                worker.join()
            else:
                run()
            return outcome[0], "at once" if time.monotonic() - start < 3 else "after a wait"

        with tempfile.TemporaryDirectory() as top:
            locked = os.path.join(top, "locked")
            os.mkdir(locked)
            file = os.path.join(locked, "m.bin")
            open(file, "wb").close()
            os.chmod(locked, 0o555)
            try:
                if os.access(locked, os.W_OK):
                    print("<permission bits not enforced>")
                    raise SystemExit
                pm.Message([1.0, 2.0]).save(os.path.join(top, "expected.bin"))
                expected = open(os.path.join(top, "expected.bin"), "rb").read()
                # (case, the holder's lock or None for the caller's own flock, how long it holds it, Ctrl-C after)
                cases = [("own flock", None, 0, 0), ("another program's flock", "flock", 60, 0),
                         ("a library save's turn, Ctrl-C", "turn", 60, 0.5),
                         ("a library save's turn let go", "turn", 5, 0)]
                for name, holder, hold_for, interrupt_after in cases:
                    # Ctrl-C reaches the main thread only.
                    for on_thread in (False,) if interrupt_after else (False, True):
                        with open(file, "wb") as f:
                            f.write(b"earlier")
                        own = open(file, "rb")
                        process = None
                        if holder is None:
                            fcntl.flock(own, fcntl.LOCK_EX)
                        else:
                            process = subprocess.Popen([sys.executable, "-c", HOLDER, file, holder, str(hold_for)],
                                                       stdout=subprocess.PIPE, text=True)
                            assert process.stdout.readline() == "held\n"
                        if interrupt_after:
                            threading.Timer(interrupt_after, os.kill, (os.getpid(), signal.SIGINT)).start()
                        outcome, took = save(file, on_thread)
                        if process is not None:
                            process.kill()
                            process.wait()
                        own.close()
                        written = open(file, "rb").read()
                        state = {b"earlier": "earlier", expected: "saved"}.get(written, written)
                        print(name, "thread" if on_thread else "main", outcome, state, took, os.listdir(locked))
            finally:
                os.chmod(locked, 0o755)
        ''')
    assert lines == [
        "own flock main <no exception> saved at once ['m.bin']",
        "own flock thread <no exception> saved at once ['m.bin']",
        "another program's flock main <no exception> saved at once ['m.bin']",
        "another program's flock thread <no exception> saved at once ['m.bin']",
        "a library save's turn, Ctrl-C main KeyboardInterrupt earlier at once ['m.bin']",
        "a library save's turn let go main <no exception> saved after a wait ['m.bin']",
        "a library save's turn let go thread <no exception> saved after a wait ['m.bin']",
    ]


# --- What a save replaces --------------------------------------------------------------------------------------

def test_a_save_keeps_permissions_and_symbolic_links(tmp_path):
    mask = os.umask(0)
    os.umask(mask)
    Message(1).save(str(tmp_path / "new.bin"))
    assert stat.S_IMODE(os.stat(tmp_path / "new.bin").st_mode) == 0o666 & ~mask

    (tmp_path / "keys").mkdir()
    target = tmp_path / "keys" / "key.bin"
    target.write_bytes(b"earlier")
    target.chmod(0o600)
    os.symlink("keys/key.bin", tmp_path / "link")
    data = Data(CRD)
    for save, size in ((lambda p: Message(2).save(p), 72), (lambda p: data.save(p), 0),
                       (lambda p: CollectiveKeyGenerator(pm.make_context(ParameterPreset.FGb)).gen_and_save_enc_key(
                           data, data, p), 12)):
        save(str(tmp_path / "link"))
        assert os.readlink(tmp_path / "link") == "keys/key.bin"
        assert os.path.getsize(target) == size
        assert stat.S_IMODE(os.stat(target).st_mode) == 0o600
    assert sorted(os.listdir(tmp_path)) == ["keys", "link", "new.bin"]
    assert os.listdir(tmp_path / "keys") == ["key.bin"]


def test_standard_output_redirected_to_a_file_is_written_through(tmp_path):
    # /dev/stdout leads to a descriptor link of /proc: the file behind it is the process's output, never replaced.
    out = tmp_path / "out.txt"
    with open(out, "wb") as stream:
        inode = os.fstat(stream.fileno()).st_ino
        code = "import pymorvane as pm; pm.Message(0, 1.0).save('/dev/stdout')"
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
        subprocess.run([sys.executable, "-c", code], stdout=stream, env=env, check=True, timeout=60)
    assert os.stat(out).st_ino == inode
    assert out.read_bytes() == struct.pack("<Qdd", 1, 1.0, 0.0)
    assert os.listdir(tmp_path) == ["out.txt"]
