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
