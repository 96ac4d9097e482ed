# Generated signatures and docstrings of the data-object, key, encoding, evaluator and bootstrapper classes, and the
# order of their members. KeyPack is registered after KeyGenerator, whose signatures therefore name Morvane::KeyPack.
import pytest

import pymorvane
from pymorvane import (Bootstrapper, Ciphertext, Decryptor, EnDecoder, Encryptor, HomEvaluator, KeyGenerator, KeyPack,
                       Plaintext, SecretKey)
from test_docstrings import overloaded, single

P = "self: pymorvane.Plaintext"
C = "self: pymorvane.Ciphertext"
S = "self: pymorvane.SecretKey"
G = "self: pymorvane.KeyGenerator"
K = "self: pymorvane.KeyPack"
B = "self: pymorvane.Bootstrapper"
CTX = "context: pymorvane.Context"
SPARSE = "context_sparse: pymorvane.Context"
DEVICE_MOVES = [("to", "device: pymorvane.Device"), ("to_device", None), ("to_host", None)]


def moves(cls, self):
    return [(getattr(cls, name), single(f"{name}({self}" + (f", {arg})" if arg else ")") + " -> None"))
            for name, arg in DEVICE_MOVES]


def files(cls, self, arg="file_path", names=("save", "load")):
    return [(getattr(cls, name), single(f"{name}({self}, {arg}: str) -> None")) for name in names]


def key_loads(name, *first):
    lead = "".join(f", {arg}: int" for arg in first)
    return (getattr(KeyPack, name), overloaded(name, (f"{name}({K}{lead}) -> None", None),
                                               (f"{name}({K}{lead}, path: str) -> None", None)))


MEMBERS = [
    (Plaintext.__init__, overloaded(
        "__init__", (f"__init__({P}, {CTX}) -> None", "construct a dummy plaintext"),
        (f"__init__({P}, ptxt: pymorvane.Plaintext) -> None", "copying"))),
    *moves(Plaintext, P), *files(Plaintext, P),
    (Plaintext.__len__, single(f"__len__({P}) -> int")),
    (Plaintext.__repr__, single(f"__repr__({P}) -> str")),
    (Ciphertext.__init__, overloaded(
        "__init__", (f"__init__({C}, {CTX}) -> None", "construct a dummy ciphertext"),
        (f"__init__({C}, {CTX}, is_extended: bool) -> None", "construct a dummy ciphertext based on a given is_extended"),
        (f"__init__({C}, ctxt: pymorvane.Ciphertext) -> None", "copying"))),
    *moves(Ciphertext, C),
    (Ciphertext.is_mod_up, single(f"is_mod_up({C}) -> bool")),
    *files(Ciphertext, C),
    (Ciphertext.__len__, single(f"__len__({C}) -> int")),
    (Ciphertext.__repr__, single(f"__repr__({C}) -> str")),
    (SecretKey.__init__, overloaded(
        "__init__", (f"__init__({S}, {CTX}) -> None", "construct a dummy secret key from context"),
        (f"__init__({S}, {CTX}, key_file_path: str) -> None", "load secret key from file"),
        (f"__init__({S}, {CTX}, coefficients: int) -> None",
         "construct a secret key from coefficient representation"))),
    *files(SecretKey, S, "key_file_path", ("save", "save_seed_only")),
    *moves(SecretKey, S),
    (KeyGenerator.__init__, overloaded(
        "__init__",
        (f"__init__({G}, {CTX}, sk: pymorvane.SecretKey) -> None", "construct a key generator"),
        (f"__init__({G}, {CTX}, sk: pymorvane.SecretKey, pack: Morvane::KeyPack) -> None",
         "construct a key generator from an existing keypack"),
        (f"__init__({G}, {CTX}, {SPARSE}, sk: pymorvane.SecretKey) -> None",
         "construct a key generator which can perform sparse secret encapsulation"),
        (f"__init__({G}, {CTX}, {SPARSE}, sk: pymorvane.SecretKey, pack: Morvane::KeyPack) -> None",
         "construct a key generator from an existing keypack which can perform sparse secret encapsulation"))),
    *[(getattr(KeyGenerator, name), single(f"{name}({G}) -> None"))
      for name in ["gen_enc_key", "gen_mult_key", "gen_conj_key", "gen_rot_key_bundle", "gen_common_keys",
                   "gen_sparse_secret_encapsulation_key", "flush"]],
    (KeyGenerator.gen_left_rot_key, single(f"gen_left_rot_key({G}, rot_idx: int) -> None")),
    (KeyGenerator.gen_right_rot_key, single(f"gen_right_rot_key({G}, rot_idx: int) -> None")),
    (KeyGenerator.gen_rot_keys_for_bootstrap, single(f"gen_rot_keys_for_bootstrap({G}, log_slots: int) -> None")),
    (KeyGenerator.save, single(f"save({G}, key_dir_path: str) -> None")),
    (KeyGenerator.keypack.fget, "(arg0: pymorvane.KeyGenerator) -> Morvane::KeyPack\n"),
    (KeyPack.__init__, overloaded(
        "__init__", (f"__init__({K}, {CTX}) -> None", "construct a keypack"),
        (f"__init__({K}, {CTX}, key_dir_path: str) -> None", "construct a keypack with a directory for saved keys"),
        (f"__init__({K}, {CTX}, {SPARSE}) -> None",
         "construct a keypack for parameter supporting sparse secret encapsulation"),
        (f"__init__({K}, {CTX}, {SPARSE}, key_dir_path: str) -> None",
         "construct a keypack for parameter supporting sparse secret encapsulation with a directory for saved keys"))),
    key_loads("load_enc_key"), key_loads("load_mult_key"), key_loads("load_left_rot_key", "rot_idx"),
    key_loads("load_right_rot_key", "rot_idx"), key_loads("load_conj_key"),
    key_loads("load_sparse_secret_encapsulation_key"),
    *[(getattr(KeyPack, name), single(f"{name}({K}) -> bool"))
      for name in ["is_enc_key_loaded", "is_mult_key_loaded", "is_conj_key_loaded",
                   "is_sparse_secret_encapsulation_key_loaded"]],
    (KeyPack.is_left_rot_key_loaded, single(f"is_left_rot_key_loaded({K}, rot_idx: int) -> bool")),
    (KeyPack.is_right_rot_key_loaded, single(f"is_right_rot_key_loaded({K}, rot_idx: int) -> bool")),
    *moves(KeyPack, K),
    (KeyPack.save, single(f"save({K}, key_dir_path: str) -> None")),
    (Decryptor.__init__, single(f"__init__(self: pymorvane.Decryptor, {CTX}) -> None",
                                "construct a decryptor from context")),
    (Decryptor.decrypt, overloaded(
        "decrypt",
        ("decrypt(self: pymorvane.Decryptor, ctxt: pymorvane.Ciphertext, sk: pymorvane.SecretKey, "
         "msg: pymorvane.Message) -> None", None),
        ("decrypt(self: pymorvane.Decryptor, ctxt: pymorvane.Ciphertext, sk: pymorvane.SecretKey, "
         "ptxt: pymorvane.Plaintext) -> None", None))),
    (Decryptor.partial_decrypt, single(
        "partial_decrypt(self: pymorvane.Decryptor, ctxt: pymorvane.Ciphertext, sk: pymorvane.SecretKey, "
        "ctxt_out: pymorvane.Ciphertext) -> None")),
    (Encryptor.__init__, single(f"__init__(self: pymorvane.Encryptor, {CTX}) -> None",
                                "construct an encryptor from context")),
    (Encryptor.encrypt, overloaded("encrypt", *[
        (f"encrypt(self: pymorvane.Encryptor, {first}, {key}, ctxt: pymorvane.Ciphertext{level}) -> None",
         "encrypt the message to target level" if level else None)
        for first, key, level in [
            ("msg: pymorvane.Message", "sk: pymorvane.SecretKey", ""),
            ("msg: pymorvane.Message", "sk: pymorvane.SecretKey", ", level: int, r_counter: int = 0"),
            ("msg: pymorvane.Message", "pack: pymorvane.KeyPack", ""),
            ("msg: pymorvane.Message", "pack: pymorvane.KeyPack", ", level: int, r_counter: int = 0"),
            ("ptxt: pymorvane.Plaintext", "sk: pymorvane.SecretKey", ""),
            ("ptxt: pymorvane.Plaintext", "pack: pymorvane.KeyPack", "")]])),
    (EnDecoder.__init__, single(f"__init__(self: pymorvane.EnDecoder, {CTX}) -> None",
                                "construct an endecoder from context")),
    (EnDecoder.encode, overloaded(
        "encode",
        ("encode(self: pymorvane.EnDecoder, msg: pymorvane.Message, level: int, r_counter: int = 0) -> "
         "pymorvane.Plaintext", "encode the message to target level"),
        ("encode(self: pymorvane.EnDecoder, msg: pymorvane.Message) -> pymorvane.Plaintext", None))),
    (EnDecoder.decode, single("decode(self: pymorvane.EnDecoder, ptxt: pymorvane.Plaintext) -> pymorvane.Message")),
    (Bootstrapper.__init__, overloaded(
        "__init__",
        (f"__init__({B}, eval: pymorvane.HomEvaluator) -> None", "construct a bootstrapper from homevaluator"),
        (f"__init__({B}, eval: pymorvane.HomEvaluator, log_slots: int) -> None",
         "construct a boostrapper from homevaluator and log_slots"),
        (f"__init__({B}, eval: pymorvane.HomEvaluator, {SPARSE}) -> None",
         "construct a bootstapper which perform sparse secret encapsulation from homevaluator and sparse context"),
        (f"__init__({B}, eval: pymorvane.HomEvaluator, {SPARSE}, log_slots: int) -> None",
         "construct a bootstrapper which perform sparse secret encapsulation from homevalutor, sparse context and "
         "log_slots"))),
    (Bootstrapper.is_bootstrap_ready, single(f"is_bootstrap_ready({B}, log_slots: int) -> bool")),
    (Bootstrapper.make_boot_constants, single(f"make_boot_constants({B}, log_slots: int) -> None")),
    (Bootstrapper.load_boot_constants, single(
        f"load_boot_constants({B}, log_slots: int, device: pymorvane.Device) -> None")),
    *[(getattr(Bootstrapper, name), overloaded(
        name,
        (f"{name}({B}, op: pymorvane.Ciphertext, res: pymorvane.Ciphertext, is_complex: bool = False) -> None", doc),
        (f"{name}({B}, op: pymorvane.Ciphertext, res1: pymorvane.Ciphertext, res2: pymorvane.Ciphertext) -> None",
         doc),
        (f"{name}({B}, eval: pymorvane.HomEvaluator, op1: pymorvane.Ciphertext, op2: pymorvane.Ciphertext, "
         "res1: pymorvane.Ciphertext, res2: pymorvane.Ciphertext) -> None", doc)))
      for name, doc in [("bootstrap", "input range [-1, 1]."), ("bootstrap_extended", "input range [-2^20, 2^20].")]],
    (Bootstrapper.get_level_after_full_slot_bootstrap, single(
        f"get_level_after_full_slot_bootstrap({B}) -> int", "return the level after full slot bootstrap")),
    (Bootstrapper.get_min_level_for_bootstrap, single(
        f"get_min_level_for_bootstrap({B}) -> int", "return the minimum level for bootstrap")),
]


@pytest.mark.parametrize("member, doc", MEMBERS, ids=[doc.split("(")[0] + str(i) for i, (_, doc) in enumerate(MEMBERS)])
def test_member_docstring(member, doc):
    assert member.__doc__ == doc


# The evaluator's overloads, each name's forms in the order they are tried: (operand types, argument names).
M, PT, CT = "pymorvane.Message", "pymorvane.Plaintext", "pymorvane.Ciphertext"
ARITHMETIC = [(M, "cnst", "complex", M), (M, "op2", M, M), (PT, "cnst", "complex", PT), (PT, "op2", PT, PT),
              (CT, "cnst", "complex", CT), (CT, "op2", M, CT), (CT, "op2", PT, CT), (CT, "op2", CT, CT)]


def evaluator(name, *forms):
    signatures = [(f"{name}(self: pymorvane.HomEvaluator, " + ", ".join(f"{arg}: {kind}" for arg, kind in form) +
                   ") -> None", None) for form in forms]
    return single(signatures[0][0]) if len(signatures) == 1 else overloaded(name, *signatures)


def unary(name, *kinds):
    return evaluator(name, *[[("op", kind), ("res", kind)] for kind in kinds])


def with_integer(name, integer, *kinds):
    return evaluator(name, *[[("op", kind), (integer, "int"), ("res", kind)] for kind in kinds])


EVALUATOR = {
    "__init__": overloaded(
        "__init__",
        (f"__init__(self: pymorvane.HomEvaluator, {CTX}, key_dir_path: str) -> None",
         "construct a homevaluator from context and key_dir_path"),
        (f"__init__(self: pymorvane.HomEvaluator, {CTX}, pack: pymorvane.KeyPack) -> None",
         "construct a homevaluator from context and keypack")),
    "negate": unary("negate", M, PT, CT),
    **{name: evaluator(name, *[[("op1", first), (arg, kind), ("res", res)] for first, arg, kind, res in ARITHMETIC])
       for name in ["add", "sub", "mult"]},
    "i_mult": unary("i_mult", M, PT, CT),
    "square": unary("square", M, PT, CT),
    "left_rotate": with_integer("left_rotate", "rot_idx", M, PT, CT),
    "right_rotate": with_integer("right_rotate", "rot_idx", M, PT, CT),
    "conjugate": unary("conjugate", M, PT, CT),
    "mult_without_rescale": evaluator("mult_without_rescale", *[[("op1", CT), (arg, kind), ("res", CT)] for arg, kind in
                                                                [("cnst", "complex"), ("op2", PT), ("op2", CT)]]),
    "integer_mult": with_integer("integer_mult", "cnst_integer", PT, CT),
    "rot_sum": evaluator("rot_sum", [("op", f"List[{CT}]"), ("rot_idx", "List[int]"), ("res", CT)]),
    **{name: evaluator(name, *[[("op", kind), ("idx_interval", "int"), ("num_summation", "int"), ("ctxt_out", kind)]
                               for kind in (M, CT)]) for name in ["left_rotate_reduce", "right_rotate_reduce"]},
    "kill_imag": unary("kill_imag", CT),
    "tensor": evaluator("tensor", [("op1", CT), ("op2", CT), ("res", CT)]),
    "relinearize": unary("relinearize", CT),
    "inverse_rescale": evaluator("inverse_rescale", [("op", PT)], [("op", CT)]),
    "rescale": evaluator("rescale", [("op", PT)], [("op", CT)]),
    "level_down": with_integer("level_down", "target_level", CT),
    "level_down_one": unary("level_down_one", CT),
    "relevel": with_integer("relevel", "target_level", PT),
}


@pytest.mark.parametrize("name", EVALUATOR)
def test_evaluator_docstring(name):
    assert getattr(HomEvaluator, name).__doc__ == EVALUATOR[name]


def test_evaluator_has_22_method_names_with_62_overloads():
    names = [name for name in EVALUATOR if name != "__init__"]
    assert sum(EVALUATOR[name].count("self: pymorvane.HomEvaluator") for name in names) == 62
    assert len(names) == 22


@pytest.mark.parametrize("cls, expected", [
    (Plaintext, ["__init__", "to", "to_device", "to_host", "save", "load", "__len__", "__repr__", "data", "log_slots",
                 "rescale_counter", "level", "device", "device_type"]),
    (Ciphertext, ["__init__", "to", "to_device", "to_host", "is_mod_up", "save", "load", "__len__", "__repr__", "data",
                  "log_slots", "rescale_counter", "level", "current_prime", "current_scale_factor", "device",
                  "device_type"]),
    (SecretKey, ["__init__", "save", "save_seed_only", "to", "to_device", "to_host"]),
    (KeyGenerator, ["__init__", "gen_enc_key", "gen_mult_key", "gen_conj_key", "gen_left_rot_key", "gen_right_rot_key",
                    "gen_rot_key_bundle", "gen_common_keys", "gen_rot_keys_for_bootstrap",
                    "gen_sparse_secret_encapsulation_key", "save", "flush", "keypack"]),
    (KeyPack, ["__init__", "load_enc_key", "load_mult_key", "load_left_rot_key", "load_right_rot_key", "load_conj_key",
               "load_sparse_secret_encapsulation_key", "is_enc_key_loaded", "is_mult_key_loaded",
               "is_left_rot_key_loaded", "is_right_rot_key_loaded", "is_conj_key_loaded",
               "is_sparse_secret_encapsulation_key_loaded", "to", "to_device", "to_host", "save"]),
    (Decryptor, ["__init__", "decrypt", "partial_decrypt"]),
    (Encryptor, ["__init__", "encrypt"]),
    (EnDecoder, ["__init__", "encode", "decode"]),
    (HomEvaluator, [*EVALUATOR, "context"]),
    (Bootstrapper, ["__init__", "is_bootstrap_ready", "make_boot_constants", "load_boot_constants", "bootstrap",
                    "bootstrap_extended", "get_level_after_full_slot_bootstrap", "get_min_level_for_bootstrap"]),
])
def test_members_in_registration_order(cls, expected):
    assert [name for name in vars(cls) if not name.startswith("__") or name in expected] == expected


def test_classes_follow_message_in_registration_order():
    names = ["Message", "Plaintext", "Ciphertext", "SecretKey", "KeyGenerator", "KeyPack", "Decryptor", "Encryptor",
             "EnDecoder", "HomEvaluator", "Bootstrapper"]
    assert [name for name in vars(pymorvane) if name in names] == names
    assert all(getattr(pymorvane, name).__doc__ is None for name in names)
