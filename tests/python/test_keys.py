# The classes SecretKey, KeyGenerator and KeyPack: checks, generation into shared key stores, key directories,
# lazy and explicit loads, device moves.
import errno
import os
import struct

import pytest

import pymorvane as pm
from pymorvane import Device, DeviceType, KeyGenerator, KeyPack, ParameterPreset, SecretKey

COEFFICIENTS_ALERT = ("[SecretKey::SecretKey(const Context &, const SecretKey::Coefficients &)] Always return the "
                      "default SecretKey in Morvane-simulator\n")
CUDA_ALERT = "[CudaTools::cudaGetDevice] Always return 0 in Morvane-simulator\n"
SHORT_READ = r"^Failed to read 4 bytes from input stream! Read 0$"
N = 32  # full slots of FX


@pytest.fixture
def fx():
    return pm.make_context(ParameterPreset.FX)


def preset(name):
    return pm.make_context(getattr(ParameterPreset, name))


def key_file(fx, tmp_path, name="sk.bin"):
    path = str(tmp_path / name)
    SecretKey(fx).save(path)
    return path


# Secret keys.

def test_default_key_file(fx, tmp_path):
    # Prime count chain_length + numTP, the extended flag, level one less, then 32 zero slots.
    data = open(key_file(fx, tmp_path), "rb").read()
    assert data == struct.pack("<QBQQ", 30, 1, 29, 32) + bytes(32 * 16)


@pytest.mark.parametrize("coefficients", [0, 12345, -2**31, 2**31 - 1])
def test_key_from_coefficients_is_the_default_key(fx, tmp_path, capfd, coefficients):
    key = SecretKey(fx, coefficients)
    assert capfd.readouterr().out == COEFFICIENTS_ALERT
    key.save(str(tmp_path / "c.bin"))
    assert open(tmp_path / "c.bin", "rb").read() == open(key_file(fx, tmp_path), "rb").read()
    pm.simulate_alert(False)
    SecretKey(context=fx, coefficients=coefficients)
    assert capfd.readouterr().out == ""


def test_both_savers_write_what_the_file_constructor_reads(fx, tmp_path):
    # A key file is read over the default key, whatever context wrote it.
    sd3 = preset("SD3")
    first, second = str(tmp_path / "a.bin"), str(tmp_path / "b.bin")
    key = SecretKey(sd3)
    key.save(first)
    key.save_seed_only(key_file_path=second)
    assert open(first, "rb").read() == open(second, "rb").read()
    again = SecretKey(fx, second)
    again.save(str(tmp_path / "c.bin"))
    assert open(tmp_path / "c.bin", "rb").read() == open(first, "rb").read()
    assert sd3.get_history() == fx.get_history() == {}


def test_key_file_failures(fx, tmp_path):
    missing = str(tmp_path / "missing.bin")
    with pytest.raises(RuntimeError) as caught:
        SecretKey(fx, missing)
    assert str(caught.value) == "Cannot open file " + missing
    short = tmp_path / "short.bin"
    short.write_bytes(struct.pack("<QBQQ", 30, 1, 29, 32) + bytes(100))
    with pytest.raises(RuntimeError, match=r"^Failed to read 8 bytes from input stream! Read 4$"):
        SecretKey(fx, str(short))
    with pytest.raises(RuntimeError) as caught:
        SecretKey(fx).save(str(tmp_path / "no" / "k.bin"))
    assert str(caught.value) == "Cannot open file " + str(tmp_path / "no" / "k.bin")


@pytest.mark.parametrize("args", [(2**31,), (-2**31 - 1,), (1.0,), (None,), ("a", "b")])
def test_key_arguments_that_do_not_convert(fx, args):
    with pytest.raises(TypeError):
        SecretKey(fx, *args)


def test_moving_a_key_counts_nothing(fx, capfd):
    key = SecretKey(fx)
    key.to_device()
    key.to_device()
    key.to(Device(DeviceType.CPU_PINNED, 0))
    key.to_host()
    assert capfd.readouterr().out == CUDA_ALERT * 2
    assert fx.get_history() == {}


# Key generators.

@pytest.mark.parametrize("make, text", [
    (lambda: KeyGenerator(preset("FX"), SecretKey(preset("FGb"))), "[KeyGenerator] context and secret key don't match"),
    (lambda: KeyGenerator(preset("FGd"), preset("SGd0"), SecretKey(preset("FX"))),
     "[KeyGenerator] context and secret key don't match"),
    (lambda: KeyGenerator(preset("FGb"), preset("SGd0"), SecretKey(preset("FGb"))),
     "[KeyGenerator] context does not support sparse secret encapsulation"),
    (lambda: KeyGenerator(preset("FGd"), preset("FGb"), SecretKey(preset("FGd")), KeyPack(preset("FGd"))),
     "[KeyGenerator] parameter of context and context_sparse does not match"),
])
def test_generator_checks(make, text):
    with pytest.raises(RuntimeError) as caught:
        make()
    assert str(caught.value) == text


def test_generator_accepts_a_key_of_an_equal_preset(fx):
    generator = KeyGenerator(fx, SecretKey(preset("FX")))
    generator.gen_enc_key()
    assert generator.keypack.is_enc_key_loaded()


def test_sparse_secret_encapsulation_key_needs_a_sparse_generator():
    fgd, sgd0 = preset("FGd"), preset("SGd0")
    sparse = KeyGenerator(fgd, sgd0, SecretKey(fgd))
    sparse.gen_sparse_secret_encapsulation_key()
    assert sparse.keypack.is_sparse_secret_encapsulation_key_loaded()
    assert fgd.get_history() == {"Generate SSE key": 1}
    with pytest.raises(RuntimeError, match="^Key Generator is not constructed for the parameter supporting sparse "
                                           "secret encapsulation$"):
        KeyGenerator(fgd, SecretKey(fgd)).gen_sparse_secret_encapsulation_key()


@pytest.mark.parametrize("generate, text_or_error", [
    (lambda g: g.gen_left_rot_key(0), "Wrong rotation index"),
    (lambda g: g.gen_left_rot_key(N), "Wrong rotation index"),
    (lambda g: g.gen_right_rot_key(rot_idx=N + 1), "Wrong rotation index"),
    (lambda g: g.gen_left_rot_key(-1), TypeError),
    (lambda g: g.gen_left_rot_key(1.0), TypeError),
    (lambda g: g.gen_rot_keys_for_bootstrap(-1), TypeError),
])
def test_rotation_index_refusals(fx, generate, text_or_error):
    generator = KeyGenerator(fx, SecretKey(fx))
    if isinstance(text_or_error, str):
        with pytest.raises(RuntimeError) as caught:
            generate(generator)
        assert str(caught.value) == text_or_error
    else:
        with pytest.raises(text_or_error):
            generate(generator)
    assert fx.get_history() == {}


def test_rotation_keys_and_their_reduced_indices(fx):
    generator = KeyGenerator(fx, SecretKey(fx))
    generator.gen_right_rot_key(1)
    pack = generator.keypack
    assert [pack.is_left_rot_key_loaded(i) for i in (N - 1, 1, 2 * N - 1)] == [True, False, True]
    assert [pack.is_right_rot_key_loaded(i) for i in (1, N + 1, N - 1)] == [True, True, False]
    generator.gen_left_rot_key(rot_idx=3)
    assert pack.is_left_rot_key_loaded(N + 3) and pack.is_right_rot_key_loaded(N - 3)


def test_common_keys_count_and_charge_each_key(fx):
    costs = {}
    for name in ("gen_enc_key", "gen_mult_key", "gen_conj_key"):
        context = preset("FX")
        pm.start_stopwatch(context)
        getattr(KeyGenerator(context, SecretKey(context)), name)()
        costs[name] = pm.get_duration(context)
    context = preset("FX")
    pm.start_stopwatch(context)
    KeyGenerator(context, SecretKey(context)).gen_left_rot_key(1)
    rotation = pm.get_duration(context)

    generator = KeyGenerator(fx, SecretKey(fx))
    pm.start_stopwatch(fx)
    generator.gen_common_keys()
    # Both directions of 1, 2, 4, 8 and 16 are nine indices; the bundle charges one rotation key more.
    assert fx.get_history() == {"Generate encryption key": 1, "Generate multiplication key": 1,
                                "Generate conjugation key": 1, "Generate rotation key": 9}
    assert pm.get_duration(fx) == sum(costs.values()) + 10 * rotation
    pack = generator.keypack
    assert [i for i in range(N) if pack.is_left_rot_key_loaded(i)] == [1, 2, 4, 8, 16, 24, 28, 30, 31]


def test_bootstrap_rotation_keys(fx):
    generator = KeyGenerator(fx, SecretKey(fx))
    generator.gen_rot_keys_for_bootstrap(log_slots=3)
    expected = sorted({i % N for i in pm.get_rot_indices_for_bootstrap(fx, 3)} - {0})
    assert [i for i in range(N) if generator.keypack.is_left_rot_key_loaded(i)] == expected
    assert fx.get_history() == {"Generate rotation key": len(expected)}
    with pytest.raises(RuntimeError, match=r"^The parameter does not support bootstrap\.$"):
        sd3 = preset("SD3")
        KeyGenerator(sd3, SecretKey(sd3)).gen_rot_keys_for_bootstrap(3)


def test_keypack_reads_share_the_store_until_a_flush(fx):
    generator = KeyGenerator(fx, SecretKey(fx))
    first = generator.keypack
    generator.gen_enc_key()
    second = generator.keypack
    assert first is not second
    assert first.is_enc_key_loaded() and second.is_enc_key_loaded()
    generator.flush()
    third = generator.keypack
    assert not third.is_enc_key_loaded()
    assert first.is_enc_key_loaded() and second.is_enc_key_loaded()
    generator.gen_mult_key()
    assert third.is_mult_key_loaded() and not first.is_mult_key_loaded()


def test_generator_built_from_a_pack_fills_that_pack(fx):
    pack = KeyPack(fx)
    KeyGenerator(fx, SecretKey(fx), pack).gen_conj_key()
    assert pack.is_conj_key_loaded()
    # Keys loaded into a pack read from the generator are the generator's keys.
    generator = KeyGenerator(fx, SecretKey(fx))
    generator.keypack.load_mult_key()
    assert not generator.keypack.is_mult_key_loaded()


# Key directories and key packs.

KEY_FILES = ["ConjKey.bin", "EncKey.bin", "MultKey.bin"] + [f"RotKey{i}.bin" for i in (1, 2, 4, 8, 16, 24, 28, 30, 31)]


@pytest.fixture
def key_dir(tmp_path):
    """A key directory of an FX generator's common keys, written by KeyGenerator.save."""
    context = preset("FX")
    generator = KeyGenerator(context, SecretKey(context))
    generator.gen_common_keys()
    directory = str(tmp_path / "keys")
    context.clear_history()
    generator.save(key_dir_path=directory)
    assert context.get_history() == {"Save encryption key": 1, "Save multiplication key": 1,
                                     "Save conjugation key": 1, "Save rotation key": 9}
    assert sorted(os.listdir(os.path.join(directory, "PK"))) == sorted(KEY_FILES)
    return directory


def test_lazy_loads_from_a_key_directory(fx, key_dir):
    pack = KeyPack(fx, key_dir)
    assert not any([pack.is_enc_key_loaded(), pack.is_mult_key_loaded(), pack.is_conj_key_loaded(),
                    pack.is_left_rot_key_loaded(1)])
    pack.load_enc_key()
    pack.load_enc_key()
    pack.load_left_rot_key(N + 1)
    pack.load_right_rot_key(rot_idx=1)
    pack.load_left_rot_key(3)  # no file: nothing happens
    pack.load_sparse_secret_encapsulation_key()
    assert fx.get_history() == {"Load encryption key": 1, "Load rotation key": 2}
    assert (pack.is_left_rot_key_loaded(1), pack.is_left_rot_key_loaded(N - 1), pack.is_left_rot_key_loaded(3)) == (
        True, True, False)
    # Saving binds the pack to the directory it writes.
    other = str(os.path.join(os.path.dirname(key_dir), "other"))
    os.makedirs(os.path.join(other, "PK"))
    pack.save(other)
    assert sorted(os.listdir(os.path.join(other, "PK"))) == ["EncKey.bin", "RotKey1.bin", "RotKey31.bin"]


def test_path_loads_read_one_record_and_count_nothing(fx, key_dir):
    pk = os.path.join(key_dir, "PK")
    pack = KeyPack(fx)
    pack.load_mult_key(os.path.join(pk, "MultKey.bin"))
    pack.load_conj_key(path=os.path.join(pk, "ConjKey.bin").encode())
    pack.load_left_rot_key(N + 2, os.path.join(pk, "RotKey2.bin"))
    pack.load_right_rot_key(4, os.path.join(pk, "RotKey28.bin"))
    assert (pack.is_mult_key_loaded(), pack.is_conj_key_loaded(), pack.is_left_rot_key_loaded(2),
            pack.is_left_rot_key_loaded(28)) == (True, True, True, True)
    assert fx.get_history() == {}
    with pytest.raises(RuntimeError, match=r"^\[Verifier::load\] Validation failed during deserializing objects\.$"):
        pack.load_enc_key(os.path.join(pk, "MultKey.bin"))


def test_failed_path_loads(fx, tmp_path):
    # A file that does not open reads as an empty stream: the record's first field is cut short. The single
    # kinds have already put their empty key in place; a rotation key is stored only once it was read.
    missing = str(tmp_path / "missing.bin")
    pack = KeyPack(fx)
    for load in (pack.load_enc_key, pack.load_mult_key, pack.load_conj_key):
        with pytest.raises(RuntimeError, match=SHORT_READ):
            load(missing)
    with pytest.raises(RuntimeError, match=SHORT_READ):
        pack.load_left_rot_key(3, missing)
    with pytest.raises(RuntimeError, match=SHORT_READ):
        pack.load_right_rot_key(3, missing)
    assert (pack.is_enc_key_loaded(), pack.is_mult_key_loaded(), pack.is_conj_key_loaded()) == (True, True, True)
    assert (pack.is_left_rot_key_loaded(3), pack.is_right_rot_key_loaded(3)) == (False, False)
    short = tmp_path / "short.bin"
    short.write_bytes(struct.pack("<iQ", 1, 0))
    with pytest.raises(RuntimeError, match=r"^Failed to read 1 bytes from input stream! Read 0$"):
        pack.load_left_rot_key(5, str(short))
    assert not pack.is_left_rot_key_loaded(5)


def test_loads_without_a_key_directory_do_nothing(fx, tmp_path):
    pack = KeyPack(fx)
    pack.load_enc_key()
    pack.load_mult_key()
    pack.load_left_rot_key(1)
    assert not (pack.is_enc_key_loaded() or pack.is_mult_key_loaded() or pack.is_left_rot_key_loaded(1))
    os.makedirs(tmp_path / "empty" / "PK")
    empty = KeyPack(fx, str(tmp_path / "empty"))
    empty.load_enc_key()
    assert not empty.is_enc_key_loaded()
    assert fx.get_history() == {}


def test_directory_checks(fx, tmp_path):
    plain = str(tmp_path / "plain")
    os.makedirs(plain)
    for make in (lambda: KeyPack(fx, plain), lambda: KeyPack(preset("FGd"), preset("SGd0"), plain),
                 lambda: KeyPack(preset("FGb"), preset("SGd0"), plain), lambda: pm.HomEvaluator(fx, plain)):
        with pytest.raises(RuntimeError) as caught:
            make()
        assert str(caught.value) == "Cannot find path " + plain
    generator = KeyGenerator(fx, SecretKey(fx))
    generator.gen_enc_key()
    with pytest.raises(RuntimeError, match=r"^Cannot find key_dir_path\.$"):
        generator.keypack.save(plain)
    generator.save(plain)
    assert os.listdir(os.path.join(plain, "PK")) == ["EncKey.bin"]
    KeyPack(fx, plain.encode())


def test_key_directories_the_system_cannot_look_up_or_make(fx, tmp_path):
    # A path whose status the system cannot give, and a key directory that cannot be made, fail with the standard
    # library's file-system error in its own words, the path's bytes kept; a path through a file is missing.
    (tmp_path / "file").write_bytes(b"x")
    too_long = os.fsencode(tmp_path) + b"/" + b"\xff" * 300
    through_file = os.fsencode(tmp_path) + b"/file/caf\xe9"
    generator = KeyGenerator(fx, SecretKey(fx))
    generator.gen_enc_key()
    history = fx.get_history()

    def raised(call, path):
        with pytest.raises(RuntimeError) as caught:
            call(path)
        return str(caught.value)

    def is_file_system_error(text, code, path):
        return (text.startswith("filesystem error: ") and os.strerror(code) in text
                and text.endswith(" [" + path.decode("utf-8", "surrogateescape") + "]"))

    for take in (lambda p: KeyPack(fx, p), lambda p: KeyPack(preset("FGd"), preset("SGd0"), p),
                 lambda p: pm.HomEvaluator(fx, p), generator.keypack.save):
        assert is_file_system_error(raised(take, too_long), errno.ENAMETOOLONG, too_long)
    assert raised(lambda p: KeyPack(fx, p), through_file) == \
        "Cannot find path " + through_file.decode("utf-8", "surrogateescape")
    assert raised(generator.keypack.save, through_file) == "Cannot find key_dir_path."
    for path, code in ((too_long, errno.ENAMETOOLONG), (through_file, errno.ENOTDIR)):
        assert is_file_system_error(raised(generator.save, path), code, path + b"/PK")
    assert os.listdir(tmp_path) == ["file"]
    assert fx.get_history() == history


@pytest.mark.parametrize("make, text", [
    (lambda: KeyPack(preset("FGb"), preset("SGd0")), "[KeyPack] context does not support sparse secret encapsulation"),
    (lambda: KeyPack(preset("FGd"), preset("FGb")), "[KeyPack] parameter of context and context_sparse does not match"),
])
def test_sparse_pack_checks(make, text):
    with pytest.raises(RuntimeError) as caught:
        make()
    assert str(caught.value) == text


def test_sparse_pack_round_trip(tmp_path):
    fgd, sgd0 = preset("FGd"), preset("SGd0")
    generator = KeyGenerator(fgd, sgd0, SecretKey(fgd))
    generator.gen_sparse_secret_encapsulation_key()
    directory = str(tmp_path / "sparse")
    generator.save(directory)
    pack = KeyPack(context=fgd, context_sparse=sgd0, key_dir_path=directory)
    pack.load_sparse_secret_encapsulation_key()
    assert pack.is_sparse_secret_encapsulation_key_loaded()
    explicit = KeyPack(fgd, sgd0)
    explicit.load_sparse_secret_encapsulation_key(os.path.join(directory, "PK", "SparseSecretEncapsulationKey.bin"))
    assert explicit.is_sparse_secret_encapsulation_key_loaded()
    assert fgd.get_history()["Load SSE key"] == 1


def test_pack_device_moves(fx, capfd):
    generator = KeyGenerator(fx, SecretKey(fx))
    generator.gen_common_keys()
    pack = generator.keypack
    pack.to_device()
    assert capfd.readouterr().out == CUDA_ALERT
    pm.simulate_alert(False)
    pack.to_device()
    pack.to(device=Device(DeviceType.GPU, 1))
    pack.to_host()
    assert capfd.readouterr().out == ""
    assert pack.is_left_rot_key_loaded(31)


@pytest.mark.parametrize("call", [
    lambda fx: KeyPack(fx, None),
    lambda fx: KeyPack(fx).load_enc_key(3),
    lambda fx: KeyPack(fx).is_left_rot_key_loaded(-1),
    lambda fx: KeyPack(fx).load_left_rot_key(1.0, "x"),
    lambda fx: KeyGenerator(fx),
    lambda fx: KeyGenerator(fx, KeyPack(fx)),
])
def test_key_arguments_match_no_overload(fx, call):
    with pytest.raises(TypeError):
        call(fx)
