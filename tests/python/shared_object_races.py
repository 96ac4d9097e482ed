"""Two Python threads racing on one Message, Plaintext or Ciphertext: one replaces the object's slots while the
other uses them. Run as a script by test_shared_objects.py, in a child process, so that a crash fails the test
instead of ending the session. Each scenario runs for a while; the script exits 0 once every scenario has ended
with sound results or clear exceptions, and prints the scenarios as it goes."""
import faulthandler
import os
import sys
import tempfile
import threading
import time

import pymorvane as pm
from pymorvane import (Ciphertext, Decryptor, Device, DeviceType, Encryptor, HomEvaluator, KeyGenerator, Message,
                       ParameterPreset, Plaintext, SecretKey)

faulthandler.enable()
SECONDS = float(sys.argv[1]) if len(sys.argv) > 1 else 0.25
# Slot counts far apart, so that a replaced storage is freed and reused while a racing call would still use it.
SMALL, LARGE = 4, 4096
FULL_LOG_SLOTS = 15

ctx = pm.make_context(ParameterPreset.FGb)
sk = SecretKey(ctx)
generator = KeyGenerator(ctx, sk)
generator.gen_left_rot_key(1)
ev = HomEvaluator(ctx, generator.keypack)
encryptor, decryptor = Encryptor(ctx), Decryptor(ctx)
directory = tempfile.mkdtemp()
RESIZE_REFUSED = "Existing exports of data: object cannot be re-sized"


def constant(value, count):
    return Message([complex(value)] * count)


def ciphertext(value, log_slots):
    ctxt = Ciphertext(ctx)
    encryptor.encrypt(Message(FULL_LOG_SLOTS, value), sk, ctxt)
    ctxt.log_slots = log_slots
    return ctxt


def saved(obj, name):
    path = os.path.join(directory, name)
    obj.save(path)
    return path


def uniform(values, counts, scale):
    """Whether `values` are one of the constants the writer stores, times `scale`, over one of `counts` slots."""
    return len(values) in counts and len(set(values)) == 1 and values[0] in {scale * v for v in (1, 2)}


def race(*steps):
    """Runs each step(i), for i = 0, 1, ..., in a thread of its own until SECONDS have passed and every thread has
    made a few steps; re-raises the first failure. A thread that makes no step for a minute is starved."""
    stop = threading.Event()
    failures = []
    counts = [0] * len(steps)

    def loop(index):
        try:
            while not stop.is_set():
                steps[index](counts[index])
                counts[index] += 1
        except BaseException as failure:
            failures.append(failure)
            stop.set()

    threads = [threading.Thread(target=loop, args=(index,)) for index in range(len(steps))]
    for thread in threads:
        thread.start()
    start = time.monotonic()
    while not stop.wait(0.01):
        elapsed = time.monotonic() - start
        if (elapsed >= SECONDS and min(counts) >= 3) or elapsed > 60:
            break
    stop.set()
    for thread in threads:
        thread.join()
    if failures:
        raise failures[0]
    assert min(counts) >= 3, f"a thread made too few steps: {counts}"


def message_replaced_while_read():
    msg, out = constant(1, SMALL), Message()
    data = [[1] * SMALL, [2] * LARGE]

    def read(i):
        ev.add(msg, msg, out)
        assert uniform(out[:], (SMALL, LARGE), 2)

    race(lambda i: msg.set_data(data[i % 2]), read)


def message_output_replaced_while_written():
    op, out = constant(1, LARGE), Message()

    def read(i):
        ev.mult(op, 2, out)
        assert uniform(out[:], (2, LARGE), 1)

    race(lambda i: out.set_data([2, 2]), read)


def message_loaded_while_read():
    msg, out = Message(), Message()
    paths = [saved(constant(1, SMALL), "small.msg"), saved(constant(2, LARGE), "large.msg")]
    msg.load(paths[0])

    def read(i):
        ev.sub(msg, 0.5, out)
        values = out[:]
        assert len(values) in (SMALL, LARGE) and set(values) <= {0.5, 1.5}

    race(lambda i: msg.load(paths[i % 2]), read)


def message_decrypted_into_while_read():
    msg, out = Message(), Message()
    sources = [ciphertext(1, 2), ciphertext(2, 12)]

    def read(i):
        ev.negate(msg, out)
        assert uniform(out[:], (SMALL, LARGE), -1) or out[:] == []

    race(lambda i: decryptor.decrypt(sources[i % 2], sk, msg), read)


def message_read_with_the_interpreter_lock_held():
    msg = constant(1, SMALL)
    data = [[1] * SMALL, [2] * LARGE]

    def read(i):
        assert uniform(msg[:], (SMALL, LARGE), 1)
        # Iteration re-reads the length at each step: a resize while it runs ends it at the new length.
        values = list(msg)
        assert len(values) <= LARGE and set(values) <= {1, 2}
        assert len(msg) in (SMALL, LARGE) and msg.log_slots in (2, 12) and msg[0] in (1, 2)
        assert repr(msg).startswith("<pymorvane.Message object> (log(num slots): ")

    race(lambda i: msg.set_data(data[i % 2]), read)


def message_device_read_while_replaced():
    # The device read once follows the message, which the evaluator replaces by outputs of other lengths: each
    # read, and each call it is passed to, sees one of the devices the message has had, and it still follows the
    # message afterwards.
    msg, other = Message(), Message()
    device = msg.device
    sources = [constant(1, SMALL), constant(2, LARGE)]
    seen = {(DeviceType.CPU, 0), (DeviceType.GPU, 5)}

    def write(i):
        ev.negate(sources[i % 2], msg)
        msg.to(Device(DeviceType.GPU, 5))

    def read(i):
        assert device.type in {DeviceType.CPU, DeviceType.GPU} and device.id in {0, 5}
        other.to(device)
        assert (other.device_type, other.device.id) in seen

    race(write, read)
    msg.to(Device(DeviceType.CPU_PINNED, 9))
    assert (device.type, device.id) == (DeviceType.CPU_PINNED, 9)


def message_exported_while_resized():
    msg = constant(1, SMALL)
    data = [[1] * SMALL, [2] * LARGE]

    def write(i):
        try:
            msg.set_data(data[i % 2])
        except BufferError as error:
            assert str(error) == RESIZE_REFUSED

    def read(i):
        with memoryview(msg) as view:
            assert view.nbytes in (16 * SMALL, 16 * LARGE) and view.nbytes == 16 * len(msg)

    race(write, read)


def ciphertext_replaced_while_read():
    ctxt, out = ciphertext(1, 2), Ciphertext(ctx)

    def write(i):
        ctxt.data = constant(1 + i % 2, SMALL)
        ctxt.log_slots = (2, 12)[i % 2]

    def read(i):
        ev.add(ctxt, ctxt, out)
        assert uniform(out.data[:], (SMALL, LARGE), 2)
        ev.rot_sum([ctxt, ctxt], [1, 1], out)
        assert uniform(out.data[:], (SMALL, LARGE), 2)

    race(write, read)


def ciphertext_loaded_while_read():
    ctxt, msg = Ciphertext(ctx), Message()
    paths = [saved(ciphertext(1, 2), "small.ctxt"), saved(ciphertext(2, 12), "large.ctxt")]

    def read(i):
        decryptor.decrypt(ctxt, sk, msg)
        assert uniform(msg[:], (SMALL, LARGE), 1) or msg[:] == [0j] * 2**FULL_LOG_SLOTS

    race(lambda i: ctxt.load(paths[i % 2]), read)


def plaintext_decrypted_into_while_read():
    ptxt, out = Plaintext(ctx), Plaintext(ctx)
    sources = [ciphertext(1, 2), ciphertext(2, 12)]

    def read(i):
        ev.add(ptxt, ptxt, out)
        assert uniform(out.data[:], (SMALL, LARGE), 2) or out.data[:] == [0j] * 2**FULL_LOG_SLOTS

    race(lambda i: decryptor.decrypt(sources[i % 2], sk, ptxt), read)


def writer_among_busy_readers():
    # The readers' calls are long and overlap, so the message is hardly ever free between them; the writer still
    # gets its turns.
    msg = constant(1, LARGE)
    outs = [Message(), Message()]

    def reader(out):
        def read(i):
            ev.left_rotate_reduce(msg, 1, 1000, out)
            assert uniform(out[:], (LARGE,), 1000)
        return read

    race(lambda i: msg.set_data([1 + i % 2] * LARGE), reader(outs[0]), reader(outs[1]))


def opposite_orders_and_aliases():
    # Both calls take both objects, in opposite orders and with the output also an input: neither may deadlock.
    a, b = constant(1, LARGE), constant(1, LARGE)

    def read(i):
        ev.mult(b, a, b)
        ev.square(b, b)
        assert uniform(b[:], (LARGE,), 1)

    race(lambda i: ev.mult(a, b, a), read)
    assert uniform(a[:], (LARGE,), 1)


SCENARIOS = [message_replaced_while_read, message_output_replaced_while_written, message_loaded_while_read,
             message_decrypted_into_while_read, message_read_with_the_interpreter_lock_held,
             message_device_read_while_replaced, message_exported_while_resized, ciphertext_replaced_while_read,
             ciphertext_loaded_while_read, plaintext_decrypted_into_while_read, writer_among_busy_readers,
             opposite_orders_and_aliases]

if __name__ == "__main__":
    for scenario in SCENARIOS:
        print(scenario.__name__, flush=True)
        scenario()
    print("survived", flush=True)
