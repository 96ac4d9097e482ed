# Multi-party key generation: CollectiveKeyGenConfig and its Type, CollectiveKeyGenData, CollectiveKeyGenerator
# with its alert lines, returned copies and key files.
import operator
import os
import struct

import pytest

import pymorvane as pm
from pymorvane import CollectiveKeyGenConfig as Config, CollectiveKeyGenData as Data, ParameterPreset
from test_docstrings import overloaded, single
from test_files import run_in_own_file_system

# Parameter ids that every key of these presets records (FGd shares FGb's parameters; SGd0 is its sparse preset).
FGB_ID = 3436825012405
SGD0_ID = 3436801010001


def alert(name, text="Always return the default CollectiveKeyGenData"):
    return f"[{name}] {text} in Morvane-simulator\n"


def enc_record(parameter_id):
    return struct.pack("<iQ", 0, parameter_id)


def eval_record(parameter_id, kind, rot_idx):
    return struct.pack("<iQcQ", 1, parameter_id, kind, rot_idx)


@pytest.fixture
def gen(ctx):
    return pm.CollectiveKeyGenerator(ctx)


@pytest.fixture
def sparse_gen():
    return pm.CollectiveKeyGenerator(pm.make_context(ParameterPreset.FGd), pm.make_context(ParameterPreset.SGd0))


# --- CollectiveKeyGenConfig and its Type -----------------------------------------------------------------------

def test_config_fields_and_their_defaults():
    config = Config(Config.Rot)
    assert (config.type, config.rot_idx) == (Config.Rot, 0)
    config = Config(type=Config.Mult, rot_idx=-2**63)
    assert (config.type, config.rot_idx) == (Config.Mult, -2**63)
    config.rot_idx = 2**63 - 1
    config.type = Config.Type(4)
    assert (config.type, config.rot_idx) == (Config.SparseSecretEncapsulation, 2**63 - 1)


def test_type_property_refers_to_the_field():
    config = Config(Config.Rot)
    seen = config.type
    config.type = Config.Conj
    assert seen == Config.Conj
    del config
    assert seen.name == "Conj"


@pytest.mark.parametrize("left, right, equal", [
    (Config(Config.Rot, 5), Config(Config.Rot, 5), True),
    (Config(Config.Rot, 5), Config(Config.Rot, 6), False),
    (Config(Config.Mult, 5), Config(Config.Mult, 6), True),
    (Config(Config.Enc, 1), Config(Config.Enc), True),
    (Config(Config.Rot), Config(Config.Enc), False),
    (Config(Config.Enc), Config(Config.Rot), False),
    (Config(Config.Conj), Config(Config.Mult), False),
    (Config(Config.Enc), 0, False),
    (Config(Config.Rot), None, False),
])
def test_config_equality(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is not equal


def test_config_is_unhashable():
    with pytest.raises(TypeError):
        hash(Config(Config.Enc))
    with pytest.raises(TypeError):
        {Config(Config.Enc)}


@pytest.mark.parametrize("args", [(2,), (None,), (Config.Rot, 1.0), (Config.Rot, 2**63), (Config.Rot, -2**63 - 1),
                                  (Config.Rot, "1"), ()])
def test_config_arguments_that_do_not_convert(args):
    with pytest.raises(TypeError):
        Config(*args)


def test_type_assignment_takes_a_member_only():
    config = Config(Config.Rot)
    with pytest.raises(TypeError):
        config.type = 2
    with pytest.raises(TypeError):
        config.rot_idx = 1.5
    assert (config.type, config.rot_idx) == (Config.Rot, 0)


MEMBERS = [("Enc", 0), ("Conj", 3), ("Rot", 2), ("Mult", 1), ("SparseSecretEncapsulation", 4)]


@pytest.mark.parametrize("name, value", MEMBERS)
def test_type_members(name, value):
    member = getattr(Config.Type, name)
    assert getattr(Config, name) is member
    assert not hasattr(pm, name)
    assert (member.value, int(member), operator.index(member), hash(member)) == (value, value, value, value)
    assert (member.name, str(member), repr(member)) == (name, f"Type.{name}", f"<Type.{name}: {value}>")
    made = Config.Type(value=value)
    assert made == member and made is not member


def test_type_members_in_registration_order():
    assert [(name, member.value) for name, member in Config.Type.__members__.items()] == MEMBERS


# A plain enumeration: equal to ints of its value, never to None, and without ordering.
@pytest.mark.parametrize("left, right, equal", [
    (Config.Rot, Config.Rot, True),
    (Config.Rot, Config.Type(2), True),
    (Config.Rot, Config.Mult, False),
    (Config.Rot, 2, True),
    (Config.Enc, 0, True),
    (Config.Rot, 2.0, True),
    (Config.Rot, 3, False),
    (Config.Enc, None, False),
    (Config.Rot, "Rot", False),
    (Config.Rot, pm.DeviceType.UNDEFINED, False),
])
def test_type_equality(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is not equal


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
@pytest.mark.parametrize("other", [Config.Mult, 1])
def test_type_has_no_ordering(op, other):
    with pytest.raises(TypeError):
        op(Config.Rot, other)


def test_type_is_a_dictionary_key_equal_to_its_int():
    assert {Config.Rot: "rot"}[2] == "rot"


# --- CollectiveKeyGenData ------------------------------------------------------------------------------------

def test_data_gives_copies_of_its_config(capfd):
    config = Config(Config.Rot, 5)
    data = Data(config=config)
    first = data.get_config()
    assert first == config and first is not data.get_config()
    first.rot_idx = 6
    config.rot_idx = 7
    assert data.get_config().rot_idx == 5
    assert capfd.readouterr().out == ""


SAVE_LINE = alert("CollectiveKeyGenData::save", "Nothin happen")
LOAD_LINE = alert("CollectiveKeyGenData::load", "Nothin happen")


@pytest.mark.parametrize("alerts", [True, False])
def test_data_save_leaves_an_empty_file(tmp_path, capfd, alerts):
    path = tmp_path / "data.bin"
    path.write_bytes(b"earlier contents")
    pm.simulate_alert(alerts)
    Data(Config(Config.Enc)).save(path=str(path))
    assert path.read_bytes() == b""
    assert capfd.readouterr().out == (SAVE_LINE if alerts else "")


def test_data_load_reads_nothing(tmp_path, capfd):
    data = Data(Config(Config.Rot, 3))
    existing = tmp_path / "data.bin"
    existing.write_bytes(b"\x01" * 16)
    data.load(str(existing))
    data.load(path=str(tmp_path / "missing.bin"))
    assert data.get_config() == Config(Config.Rot, 3) and data.get_config().rot_idx == 3
    assert existing.read_bytes() == b"\x01" * 16 and not (tmp_path / "missing.bin").exists()
    assert capfd.readouterr().out == LOAD_LINE * 2


def test_data_save_on_an_unopenable_path_raises_nothing(tmp_path, capfd):
    Data(Config(Config.Enc)).save(str(tmp_path / "missing" / "data.bin"))
    assert not (tmp_path / "missing").exists()
    assert capfd.readouterr().out == SAVE_LINE


def test_data_save_where_no_file_can_be_made_beside_it_empties_an_existing_file(tmp_path):
    # A file system without a free inode: the file is written over in place, and the empty file is all of its new
    # content, as in any other directory.
    lines = run_in_own_file_system(tmp_path, "size=16k,nr_inodes=2", """
        pm.simulate_alert(False)
        with open(path + "/data.bin", "wb") as f:
            f.write(b"earlier contents")
        pm.CollectiveKeyGenData(pm.CollectiveKeyGenConfig(pm.CollectiveKeyGenConfig.Enc)).save(path + "/data.bin")
        print(open(path + "/data.bin", "rb").read(), os.listdir(path))""")
    assert lines == ["b'' ['data.bin']", "<no exception>"]


@pytest.mark.parametrize("call", [lambda d: d.save(1), lambda d: d.load(None), lambda d: Data(None),
                                  lambda d: Data(Config.Rot)])
def test_data_arguments_that_do_not_convert(call):
    with pytest.raises(TypeError):
        call(Data(Config(Config.Enc)))


# --- CollectiveKeyGenerator: shares ----------------------------------------------------------------------------

CRD = Config(Config.Rot, 5)
OTHER = Config(Config.Mult)

# member call on (generator, secret key, the common random data, another data object) -> the data it copies
SHARE_CALLS = [
    ("genCommonRandomData", lambda g, sk, crd, other: g.gen_common_random_data(config=CRD), CRD),
    ("genKeyShare", lambda g, sk, crd, other: g.gen_key_share(sk, crd), CRD),
    ("aggregateKeyShare", lambda g, sk, crd, other: g.aggregate_key_share([crd, other, other]), CRD),
    ("genMultKeyShareRoundOne", lambda g, sk, crd, other: g.gen_mult_key_share_round_one(sk, sk, crd), CRD),
    ("genMultKeyShareRoundTwo",
     lambda g, sk, crd, other: g.gen_mult_key_share_round_two(sk=sk, tmp_sk=sk, data_round_one=other), OTHER),
]


@pytest.mark.parametrize("alerts", [True, False])
@pytest.mark.parametrize("name, call, copied", SHARE_CALLS, ids=[c[0] for c in SHARE_CALLS])
def test_share_members_return_copies_and_print_their_line(ctx, gen, capfd, alerts, name, call, copied):
    sk = pm.SecretKey(ctx)
    crd, other = Data(CRD), Data(OTHER)
    capfd.readouterr()
    pm.simulate_alert(alerts)
    result = call(gen, sk, crd, other)
    assert type(result) is Data and result is not crd and result is not other
    assert result.get_config() == copied and result.get_config().rot_idx == copied.rot_idx
    assert capfd.readouterr().out == (alert(f"CollectiveKeyGenerator::{name}") if alerts else "")
    assert ctx.get_history() == {}


@pytest.mark.parametrize("parts", [
    lambda s: (s, None),
    lambda s: [s, Data(OTHER), Data(Config(Config.Enc))],
    lambda s: [s],
])
def test_aggregate_reads_only_the_first_share(gen, parts):
    first = Data(CRD)
    assert gen.aggregate_key_share(parts=parts(first)).get_config().rot_idx == 5


@pytest.mark.parametrize("parts, message", [
    ([], "[aggregate_key_share] parts is empty"),
    ((), "[aggregate_key_share] parts is empty"),
    ([None], "[aggregate_key_share] parts[0] is None"),
    ([None, Data(CRD)], "[aggregate_key_share] parts[0] is None"),
])
def test_aggregate_refuses_a_missing_first_share_before_the_library(gen, capfd, parts, message):
    with pytest.raises(RuntimeError) as caught:
        gen.aggregate_key_share(parts)
    assert str(caught.value) == message
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("parts", ["ab", b"ab", Data(CRD), [Data(CRD), CRD], [1], 5])
def test_aggregate_parts_that_do_not_convert(gen, parts):
    with pytest.raises(TypeError):
        gen.aggregate_key_share(parts)


def test_generator_arguments_that_do_not_convert(ctx, gen):
    for call in (lambda: pm.CollectiveKeyGenerator(None), lambda: pm.CollectiveKeyGenerator(ctx, None),
                 lambda: gen.gen_common_random_data(Config.Rot), lambda: gen.gen_key_share(None, Data(CRD)),
                 lambda: gen.gen_and_save_enc_key(Data(CRD), None, "key.bin"),
                 lambda: gen.gen_and_save_enc_key(Data(CRD), Data(CRD), 3)):
        with pytest.raises(TypeError):
            call()


# --- CollectiveKeyGenerator: key files -------------------------------------------------------------------------

# member, its library name and alert text, the file it writes, and how a key pack loads it back.
KEY_FILES = [
    ("gen_and_save_enc_key", "genEncKey", "Always return an empty EncryptionKey", enc_record(FGB_ID),
     "EncKey.bin", lambda pack, path: pack.load_enc_key(path), lambda pack: pack.is_enc_key_loaded()),
    ("gen_and_save_conj_key", "genConjKey", "Always return an empty conjugation key", eval_record(FGB_ID, b"c", 0),
     "ConjKey.bin", lambda pack, path: pack.load_conj_key(path), lambda pack: pack.is_conj_key_loaded()),
    ("gen_and_save_rot_key", "genRotKey", "Always return an empty rotation key", eval_record(FGB_ID, b"r", 1),
     "RotKey1.bin", lambda pack, path: pack.load_left_rot_key(1, path),
     lambda pack: pack.is_left_rot_key_loaded(1)),
    ("gen_and_save_sparse_secret_encapsulation_key", "genSparseSecretEncapsulationKey",
     "Always return an empty SparseSecretEncapsulationKey key",
     eval_record(SGD0_ID, b"s", 0) + eval_record(FGB_ID, b"s", 0), "SparseSecretEncapsulationKey.bin",
     lambda pack, path: pack.load_sparse_secret_encapsulation_key(path),
     lambda pack: pack.is_sparse_secret_encapsulation_key_loaded()),
    ("gen_and_save_mult_key", "genMultKey", "Always return an empty multiplication key",
     eval_record(FGB_ID, b"m", 0), "MultKey.bin", lambda pack, path: pack.load_mult_key(path),
     lambda pack: pack.is_mult_key_loaded()),
]
KEY_IDS = [k[0] for k in KEY_FILES]


@pytest.mark.parametrize("alerts", [True, False])
@pytest.mark.parametrize("member, name, text, contents, _file, _load, _loaded", KEY_FILES, ids=KEY_IDS)
def test_key_files(sparse_gen, tmp_path, capfd, alerts, member, name, text, contents, _file, _load, _loaded):
    path = tmp_path / "key.bin"
    path.write_bytes(b"\xff" * 64)
    # The rotation index written is 1 whatever the configs carry.
    first, second = Data(Config(Config.Rot, 5)), Data(Config(Config.Rot, 7))
    capfd.readouterr()
    pm.simulate_alert(alerts)
    assert getattr(sparse_gen, member)(first, second, str(path)) is None
    assert path.read_bytes() == contents
    assert capfd.readouterr().out == (alert(f"CollectiveKeyGenerator::{name}", text) if alerts else "")


def test_key_files_take_their_arguments_by_keyword(gen, tmp_path):
    data = Data(CRD)
    gen.gen_and_save_mult_key(data_round_one=data, data_round_two=data, path=str(tmp_path / "m.bin"))
    gen.gen_and_save_enc_key(crd=data, agg=data, path=str(tmp_path / "e.bin"))
    assert [len((tmp_path / n).read_bytes()) for n in ("m.bin", "e.bin")] == [21, 12]


# Loaded through the path overloads, then saved by the pack into a key directory: the pack writes the same bytes.
@pytest.mark.parametrize("member, _name, _text, contents, file, load, loaded", KEY_FILES, ids=KEY_IDS)
def test_key_files_round_trip_through_a_key_pack(sparse_gen, tmp_path, member, _name, _text, contents, file, load,
                                                 loaded):
    path = str(tmp_path / "key.bin")
    getattr(sparse_gen, member)(Data(CRD), Data(CRD), path)
    pack = pm.KeyPack(pm.make_context(ParameterPreset.FGd), pm.make_context(ParameterPreset.SGd0))
    assert not loaded(pack)
    load(pack, path)
    assert loaded(pack)
    (tmp_path / "dir" / "PK").mkdir(parents=True)
    pack.save(str(tmp_path / "dir"))
    assert os.listdir(tmp_path / "dir" / "PK") == [file]
    assert (tmp_path / "dir" / "PK" / file).read_bytes() == contents


def test_sparse_key_without_sparse_context_leaves_the_file(gen, tmp_path, capfd):
    path = tmp_path / "key.bin"
    path.write_bytes(b"earlier key")
    with pytest.raises(RuntimeError) as caught:
        gen.gen_and_save_sparse_secret_encapsulation_key(Data(CRD), Data(CRD), str(path))
    assert str(caught.value) == ("[CollectiveKeyGenerator::genSparseSecretEncapsulationKey] The generator is not "
                                 "constructed with context_sparse")
    assert path.read_bytes() == b"earlier key"
    assert capfd.readouterr().out == alert("CollectiveKeyGenerator::genSparseSecretEncapsulationKey",
                                           "Always return an empty SparseSecretEncapsulationKey key")


@pytest.mark.parametrize("member, name, text, _contents, _file, _load, _loaded", KEY_FILES, ids=KEY_IDS)
def test_key_file_on_an_unopenable_path(sparse_gen, tmp_path, capfd, member, name, text, _contents, _file, _load,
                                        _loaded):
    path = tmp_path / "missing" / "key.bin"
    with pytest.raises(RuntimeError) as caught:
        getattr(sparse_gen, member)(Data(CRD), Data(CRD), str(path))
    assert str(caught.value) == "Failed to write 4 bytes to output stream! Wrote 0"
    assert capfd.readouterr().out == alert(f"CollectiveKeyGenerator::{name}", text)
    assert not (tmp_path / "missing").exists()


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_key_file_that_cannot_be_written_out_is_reported(gen):
    # The write is buffered; only the close finds the full device.
    with pytest.raises(RuntimeError, match="^Cannot write file /dev/full$"):
        gen.gen_and_save_enc_key(Data(CRD), Data(CRD), "/dev/full")


def test_key_files_carry_the_id_of_the_generators_context(tmp_path):
    # The generator keeps its context alive after the Python context is gone.
    generator = pm.CollectiveKeyGenerator(pm.make_context(ParameterPreset.SD3))
    path = tmp_path / "key.bin"
    generator.gen_and_save_enc_key(Data(CRD), Data(CRD), str(path))
    assert path.read_bytes() == enc_record(539604010301)


# --- Interface text --------------------------------------------------------------------------------------------

CFG, DATA, GEN = "self: pymorvane.CollectiveKeyGenConfig", "self: pymorvane.CollectiveKeyGenData", \
    "self: pymorvane.CollectiveKeyGenerator"
D, SK = "pymorvane.CollectiveKeyGenData", "pymorvane.SecretKey"
DOCS = [
    ("Config.__init__", Config.__init__, single(
        f"__init__({CFG}, type: Morvane::CollectiveKeyGenConfig::Type, rot_idx: int = 0) -> None")),
    ("Config.type", Config.type, ""),
    ("Config.rot_idx", Config.rot_idx, ""),
    ("Config.__eq__", Config.__eq__, single(f"__eq__({CFG}, other: pymorvane.CollectiveKeyGenConfig) -> bool")),
    ("Config.__ne__", Config.__ne__, single(f"__ne__({CFG}, other: pymorvane.CollectiveKeyGenConfig) -> bool")),
    ("Type.__init__", Config.Type.__init__,
     single("__init__(self: pymorvane.CollectiveKeyGenConfig.Type, value: int) -> None")),
    ("Data.__init__", Data.__init__, single(f"__init__({DATA}, config: pymorvane.CollectiveKeyGenConfig) -> None")),
    ("get_config", Data.get_config, single(f"get_config({DATA}) -> pymorvane.CollectiveKeyGenConfig")),
    ("load", Data.load, single(f"load({DATA}, path: str) -> None")),
    ("save", Data.save, single(f"save({DATA}, path: str) -> None")),
    ("Generator.__init__", pm.CollectiveKeyGenerator.__init__, overloaded(
        "__init__",
        (f"__init__({GEN}, context: pymorvane.Context) -> None", "Construct a collective key generator"),
        (f"__init__({GEN}, context: pymorvane.Context, context_sparse: pymorvane.Context) -> None",
         "Construct a collective key generator which also generates sparse secret encapsulation key"))),
    ("gen_common_random_data", pm.CollectiveKeyGenerator.gen_common_random_data, single(
        f"gen_common_random_data({GEN}, config: pymorvane.CollectiveKeyGenConfig) -> {D}")),
    ("gen_key_share", pm.CollectiveKeyGenerator.gen_key_share, single(
        f"gen_key_share({GEN}, sk: {SK}, crd: {D}) -> {D}")),
    ("aggregate_key_share", pm.CollectiveKeyGenerator.aggregate_key_share, single(
        f"aggregate_key_share({GEN}, parts: List[{D}]) -> {D}")),
    ("gen_mult_key_share_round_one", pm.CollectiveKeyGenerator.gen_mult_key_share_round_one, single(
        f"gen_mult_key_share_round_one({GEN}, sk: {SK}, tmp_sk: {SK}, crd: {D}) -> {D}")),
    ("gen_mult_key_share_round_two", pm.CollectiveKeyGenerator.gen_mult_key_share_round_two, single(
        f"gen_mult_key_share_round_two({GEN}, sk: {SK}, tmp_sk: {SK}, data_round_one: {D}) -> {D}")),
] + [(member, getattr(pm.CollectiveKeyGenerator, member),
      single(f"{member}({GEN}, crd: {D}, agg: {D}, path: str) -> None")) for member in KEY_IDS[:-1]] + [
    ("gen_and_save_mult_key", pm.CollectiveKeyGenerator.gen_and_save_mult_key, single(
        f"gen_and_save_mult_key({GEN}, data_round_one: {D}, data_round_two: {D}, path: str) -> None")),
]


@pytest.mark.parametrize("_name, member, doc", DOCS, ids=[d[0] for d in DOCS])
def test_docstrings(_name, member, doc):
    assert member.__doc__ == doc


@pytest.mark.parametrize("cls, members", [
    (Config, ["__init__", "type", "rot_idx", "__eq__", "__ne__", "Type", "Enc", "Conj", "Rot", "Mult",
              "SparseSecretEncapsulation"]),
    (Data, ["__init__", "get_config", "load", "save"]),
    (pm.CollectiveKeyGenerator, ["__init__", "gen_common_random_data", "gen_key_share", "aggregate_key_share",
                                 "gen_mult_key_share_round_one", "gen_mult_key_share_round_two"] + KEY_IDS),
])
def test_members_in_registration_order(cls, members):
    assert [name for name in vars(cls) if not name.startswith("__") or name in members] == members
    assert cls.__doc__ is None


def test_classes_follow_bootstrapper_in_the_module():
    names = [name for name in vars(pm) if name in
             ("Bootstrapper", "CollectiveKeyGenConfig", "CollectiveKeyGenData", "CollectiveKeyGenerator",
              "BindingGPU")]
    assert names[-4:] == ["CollectiveKeyGenConfig", "CollectiveKeyGenData", "CollectiveKeyGenerator", "BindingGPU"]
    assert names[0] == "Bootstrapper" or not hasattr(pm, "Bootstrapper")
