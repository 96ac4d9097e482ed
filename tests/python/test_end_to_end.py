# The flow of examples/example.py: keys into a key directory, an evaluator from it, encode, encrypt, multiply,
# rotate, rotate-and-sum, level down, bootstrap with simulated error, decrypt and decode, the report and the
# stopwatch, checked exactly; and the example program itself.
import os
import subprocess
import sys

import pytest

import pymorvane as pm
from pymorvane import (Bootstrapper, Ciphertext, Decryptor, EnDecoder, Encryptor, HomEvaluator, KeyGenerator, KeyPack,
                       Message, ParameterPreset, Plaintext, SecretKey)

np = pytest.importorskip("numpy")

EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "example.py")

# The FGb row of the built-in cost table, in milliseconds.
FGB = {"gen_enckey": 10, "gen_multkey": 59, "gen_conjkey": 108, "gen_rotkey": 2247, "bootstrap_real": 168,
       "bootstrap_warmup": 9436}

REPORT = """================ Operation Usage =================
| operation                              | count |
|----------------------------------------|-------|
| Encode                                 |     1 |
| Decode                                 |     1 |
| Encrypt from ptxt by pk                |     1 |
| Decrypt to ptxt                        |     1 |
| ctxt + ctxt                            |     2 |
| ctxt * cnst                            |     1 |
| ctxt * ctxt                            |     1 |
| Rotate                                 |     3 |
| Level down                             |     1 |
| Bootstrap                              |     1 |
|----------------------------------------|-------|
"""


def bootstrap_keys(context, log_slots):
    """The left rotation indices a bootstrap of `log_slots` needs."""
    return {i % 2**log_slots for i in pm.get_rot_indices_for_bootstrap(context, log_slots)} - {0}


def rotation_keys(context, log_slots):
    """The left rotation indices the common keys and the bootstrap keys of `log_slots` cover."""
    n = 2**log_slots
    return {b for k in range(log_slots) for b in (2**k, n - 2**k)} | bootstrap_keys(context, log_slots)


def test_example_flow(tmp_path, capsys):
    context = pm.make_context(ParameterPreset.FGb)
    log_slots = pm.get_log_full_slots(context)
    pm.start_stopwatch(context)
    secret_key = SecretKey(context)
    keygen = KeyGenerator(context, secret_key)
    keygen.gen_common_keys()
    keygen.gen_rot_keys_for_bootstrap(log_slots)
    keygen.save(str(tmp_path))
    keys = rotation_keys(context, log_slots)
    assert len(os.listdir(tmp_path / "PK")) == 3 + len(keys)
    # One rotation key more is charged by the bundle.
    assert pm.get_duration(context) == (FGB["gen_enckey"] + FGB["gen_multkey"] + FGB["gen_conjkey"] +
                                        (len(keys) + 1) * FGB["gen_rotkey"])
    context.clear_history()
    pm.start_stopwatch(context)

    evaluator = HomEvaluator(context, str(tmp_path))
    bootstrapper = Bootstrapper(evaluator)
    public_keys = KeyPack(context, str(tmp_path))
    encoder, encryptor, decryptor = EnDecoder(context), Encryptor(context), Decryptor(context)

    x = np.linspace(-1, 1, 2**log_slots)
    ctxt = Ciphertext(context)
    encryptor.encrypt(encoder.encode(Message(x.tolist())), public_keys, ctxt)
    square, quarter, rotated, summed, low, refreshed = (Ciphertext(context) for _ in range(6))
    evaluator.mult(ctxt, ctxt, square)
    evaluator.mult(square, 0.25, quarter)
    evaluator.left_rotate(quarter, 1, rotated)
    evaluator.left_rotate_reduce(rotated, 1, 4, summed)
    evaluator.level_down(summed, 3, low)
    assert [c.level for c in (ctxt, square, quarter, rotated, summed, low)] == [12, 11, 10, 10, 10, 3]
    expected = sum(np.roll(x * x / 4, -(1 + k)) for k in range(4))
    # Until bootstrapping the slots are exact: the same double operations in another order at most.
    assert np.allclose(np.asarray(low.data), expected, rtol=0, atol=1e-15)

    bootstrapper.bootstrap(low, refreshed)
    decrypted = Plaintext(context)
    decryptor.decrypt(refreshed, secret_key, decrypted)
    result = encoder.decode(decrypted)
    assert (refreshed.level, decrypted.level, len(result)) == (12, 12, 2**log_slots)
    error = np.abs(np.asarray(result) - expected)
    assert 0 < error.max() < 1e-6

    context.repr_history(False)
    assert capsys.readouterr().out == REPORT + "\n"
    assert pm.get_duration(context) == FGB["bootstrap_real"] + FGB["bootstrap_warmup"]
    history = context.get_history()
    # The key pack and the evaluator loaded from the directory what the flow needed, once each: the rotations by
    # 1 and 2, and the bootstrap's keys.
    assert history["Generate homevaluator"] == 2
    assert (history["Load encryption key"], history["Load multiplication key"], history["Load conjugation key"],
            history["Load rotation key"]) == (1, 1, 1, len({1, 2} | bootstrap_keys(context, log_slots)))


def test_example_program_prints_the_same_report():
    result = subprocess.run([sys.executable, EXAMPLE], capture_output=True, text=True, check=True,
                            env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert REPORT + "\n" in result.stdout
    assert (f"the computation would take {FGB['bootstrap_real'] + FGB['bootstrap_warmup']} ms on the real "
            "library\n") in result.stdout
    assert "levels: square 11  quarter 10  rotated sum 10  low 3\nbootstrapped to level 12\n" in result.stdout
