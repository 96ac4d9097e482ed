# Several Python threads inside the library at once: the members that release the interpreter lock.
import threading

import pytest

import pymorvane as pm
from pymorvane import Message, ParameterPreset

THREADS = 4
ROUNDS = 200


def run_together(work):
    errors = []
    start = threading.Barrier(THREADS)

    def body(index):
        start.wait()
        try:
            work(index)
        except BaseException as error:  # reported by the main thread
            errors.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []


def test_messages_and_contexts_from_several_threads(tmp_path):
    results = [None] * THREADS

    def work(index):
        path = str(tmp_path / f"m{index}.bin")
        msg = Message()
        for round_ in range(ROUNDS):
            msg.set_data([complex(index, round_)] * 4)
            msg.fill(complex(round_, index))
            msg.save(path)
            copy = Message(msg)
            copy.load(path)
            assert copy[:] == msg[:]
            pm.make_context(ParameterPreset.SD3)
        results[index] = msg[:]

    run_together(work)
    assert results == [[complex(ROUNDS - 1, i)] * 4 for i in range(THREADS)]


@pytest.mark.skipif(not hasattr(pm, "KeyGenerator"), reason="needs the KeyGenerator and SecretKey classes")
def test_history_and_stopwatch_stay_exact_across_threads():
    single = pm.make_context(ParameterPreset.FGb)
    pm.start_stopwatch(single)
    pm.KeyGenerator(single, pm.SecretKey(single)).gen_enc_key()
    cost = pm.get_duration(single)

    ctx = pm.make_context(ParameterPreset.FGb)
    sk = pm.SecretKey(ctx)
    generators = [pm.KeyGenerator(ctx, sk) for _ in range(THREADS)]
    pm.start_stopwatch(ctx)
    run_together(lambda index: [generators[index].gen_enc_key() for _ in range(ROUNDS)])
    assert ctx.get_history()["Generate encryption key"] == THREADS * ROUNDS
    assert pm.get_duration(ctx) == THREADS * ROUNDS * cost
