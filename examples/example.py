"""A first Python program on the simulator: keys generated into a key directory, an evaluator built from it, an
encrypted computation checked against the same computation in numpy, bootstrapping with simulated error, then the
operation history and what the real library would have spent."""
import shutil
import sys
import tempfile

import numpy as np

import pymorvane as pm
from pymorvane import (Bootstrapper, Ciphertext, Decryptor, EnDecoder, Encryptor, HomEvaluator, KeyGenerator, KeyPack,
                       Message, ParameterPreset, Plaintext, SecretKey)

# Alert lines go from the library straight to the process's standard output; flushing each printed line keeps
# them in order with this program's own output when it is piped.
sys.stdout.reconfigure(line_buffering=True)

context = pm.make_context(ParameterPreset.FGb)
log_slots = pm.get_log_full_slots(context)
print("FGb:", 2**log_slots, "slots, encryption level", pm.get_encryption_level(context),
      " bootstrappable", pm.is_bootstrappable_parameter(context))

# Messages are the slots in the clear; numpy reads them in place, without a copy.
message = Message([1, 2.5j, -3 + 0.5j, 4])
print(message)
view = np.asarray(message)
view[0] = 10
print("through numpy:", message[0], " log slots", message.log_slots)

# What only real cryptography can answer returns a fixed value, with an alert line while alerts are on.
print("scale factors:", pm.get_default_scale_factor_lists(context))
pm.simulate_alert(False)
print("scale factors, alerts off:", pm.get_default_scale_factor_lists(context))
pm.simulate_alert(True)

# Keys: the stopwatch adds up what generating them would take on the real library.
pm.start_stopwatch(context)
secret_key = SecretKey(context)
keygen = KeyGenerator(context, secret_key)
keygen.gen_common_keys()
keygen.gen_rot_keys_for_bootstrap(log_slots)
key_dir = tempfile.mkdtemp(prefix="morvane-keys-")
keygen.save(key_dir)
print("keys saved under", key_dir + "/PK; generating them would take", pm.get_duration(context), "ms")
pm.start_stopwatch(context)

# The evaluator, the bootstrapper and the encryptor's key pack read their keys lazily from the key directory.
evaluator = HomEvaluator(context, key_dir)
bootstrapper = Bootstrapper(evaluator)
public_keys = KeyPack(context, key_dir)
encoder, encryptor, decryptor = EnDecoder(context), Encryptor(context), Decryptor(context)

x = np.linspace(-1, 1, 2**log_slots)
ctxt = Ciphertext(context)
encryptor.encrypt(encoder.encode(Message(x.tolist())), public_keys, ctxt)
print("encrypted at level", ctxt.level)

# Every operation writes into an output object: y = sum over k < 4 of x[i + 1 + k]^2 / 4.
square, quarter, rotated, summed, low, refreshed = (Ciphertext(context) for _ in range(6))
evaluator.mult(ctxt, ctxt, square)
evaluator.mult(square, 0.25, quarter)
evaluator.left_rotate(quarter, 1, rotated)
evaluator.left_rotate_reduce(rotated, 1, 4, summed)
evaluator.level_down(summed, 3, low)
print("levels: square", square.level, " quarter", quarter.level, " rotated sum", summed.level, " low", low.level)

# Bootstrapping raises the level again and, as on the real library, adds a small error.
bootstrapper.bootstrap(low, refreshed)
print("bootstrapped to level", refreshed.level)

decrypted = Plaintext(context)
decryptor.decrypt(refreshed, secret_key, decrypted)
result = encoder.decode(decrypted)

# numpy views the decoded slots without copying them.
expected = sum(np.roll(x * x / 4, -(1 + k)) for k in range(4))
error = np.abs(np.asarray(result) - expected)
print(f"decrypted slots match numpy within {error.max():.2e} (simulated bootstrapping error)")
print("first slots:", np.round(np.asarray(result)[:3].real, 6), " numpy:", np.round(expected[:3], 6))

context.repr_history(False)
print("the computation would take", pm.get_duration(context), "ms on the real library")
shutil.rmtree(key_dir)


# ----------------------------------------------------------------------------------------------------------------
# Approximation functions: math.sort and math.approx on encrypted vectors, each printed beside numpy's values.
# They are long chains of evaluator operations and bootstraps; the report shows how long.
# ----------------------------------------------------------------------------------------------------------------
def approximation_functions():
    import pymorvane.math.approx as approx
    import pymorvane.math.sort as msort

    print("\n== approximation functions ==")
    context = pm.make_context(ParameterPreset.FGb)
    log_slots = pm.get_log_full_slots(context)
    secret_key = SecretKey(context)
    keygen = KeyGenerator(context, secret_key)
    keygen.gen_common_keys()
    keygen.gen_rot_keys_for_bootstrap(log_slots)
    keys = keygen.keypack
    evaluator = HomEvaluator(context, keys)
    bootstrapper = Bootstrapper(evaluator)
    encoder, encryptor, decryptor = EnDecoder(context), Encryptor(context), Decryptor(context)

    def encrypt(values):
        """A ciphertext at the encryption level holding `values` repeated over all slots."""
        ctxt = Ciphertext(context)
        encryptor.encrypt(encoder.encode(Message(np.resize(values, 2**log_slots).tolist())), keys, ctxt)
        return ctxt

    def show(name, ctxt, expected):
        decrypted = Plaintext(context)
        decryptor.decrypt(ctxt, secret_key, decrypted)
        got = np.asarray(encoder.decode(decrypted))[:len(expected)].real
        print(f"{name:>8}:" + "".join(f"{v:11.5g}" for v in got) + f"   (level {ctxt.level})")
        print(f"{'numpy':>8}:" + "".join(f"{v:11.5g}" for v in expected))

    context.clear_history()
    pm.start_stopwatch(context)
    res = Ciphertext(context)

    # Sorting and comparing need inputs in [-0.5, 0.5]; sort orders every block of 8 slots.
    x = np.array([0.3, -0.1, 0.45, -0.4, 0.05, 0.2, -0.25, 0.0])
    y = np.array([0.1, 0.2, -0.3, -0.2, 0.4, 0.25, 0.0, -0.45])
    msort.sort(evaluator, bootstrapper, encrypt(x), res, len(x))
    show("sort x", res, np.sort(x))
    approx.compare(evaluator, bootstrapper, encrypt(x), encrypt(y), res)
    show("x > y", res, (x > y).astype(float))

    # The numeric functions, each on its documented input range, with the bindings' default options.
    large = np.array([1.0, 3.0, 100.0, 5000.0, 250000.0])
    approx.inverse(evaluator, bootstrapper, encrypt(large), res)
    show("1/x", res, 1 / large)
    small = np.array([0.001, 0.04, 0.5, 1.0, 2.0])
    approx.sqrt(evaluator, bootstrapper, encrypt(small), res)
    show("sqrt x", res, np.sqrt(small))
    approx.log_e(evaluator, bootstrapper, encrypt(large), res)
    show("ln x", res, np.log(large))
    wide = np.array([-6.0, -1.0, 0.0, 2.0, 7.5])
    approx.sigmoid(evaluator, bootstrapper, encrypt(wide), res)
    show("sigmoid", res, 1 / (1 + np.exp(-wide)))

    context.repr_history(False)
    print("the approximation functions would take", pm.get_duration(context), "ms on the real library")


approximation_functions()
