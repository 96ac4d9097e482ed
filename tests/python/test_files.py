# Paths from Python: a path with a NUL is refused as Python's open refuses it.
import os

import pytest

import pymorvane as pm
from pymorvane import (Ciphertext, CollectiveKeyGenConfig as Config, CollectiveKeyGenData as Data,
                       CollectiveKeyGenerator, KeyGenerator, KeyPack, Message, ParameterPreset, Plaintext, SecretKey)

CRD = Config(Config.Enc)


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
