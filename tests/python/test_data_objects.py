# The classes Plaintext and Ciphertext: construction, bookkeeping, the data property over the full slot count,
# device moves, files, and the refusals of impossible log slots.
import pytest

import pymorvane as pm
from pymorvane import Ciphertext, Device, DeviceType, Message, ParameterPreset, Plaintext

CLASSES = [(Plaintext, "ptxt", "plaintext"), (Ciphertext, "ctxt", "ciphertext")]
CLASS_IDS = ["Plaintext", "Ciphertext"]


@pytest.fixture
def fx():
    """32 full slots, chain length 25, 5 temporary primes."""
    return pm.make_context(ParameterPreset.FX)


def counting(values):
    return Message([complex(v, -v) for v in values])


@pytest.mark.parametrize("preset, log_slots, level, extended_level", [
    (ParameterPreset.FX, 5, 24, 29),
    (ParameterPreset.FGb, 15, 24, 29),
    (ParameterPreset.SD3, 12, 3, 4),
])
def test_new_objects(preset, log_slots, level, extended_level):
    ctx = pm.make_context(preset)
    made = [Plaintext(ctx), Ciphertext(ctx), Ciphertext(ctx, False), Ciphertext(context=ctx, is_extended=True)]
    for obj, expected_level in zip(made, [level, level, level, extended_level]):
        assert (obj.level, obj.log_slots, obj.rescale_counter, len(obj)) == (expected_level, log_slots, 0,
                                                                             2**log_slots)
        assert (obj.device_type, obj.device.type, obj.device.id) == (DeviceType.CPU, DeviceType.CPU, 0)
        assert obj.data[:] == [0j] * 2**log_slots
    assert [c.is_mod_up() for c in made[1:]] == [False, False, True]
    assert ctx.get_history() == {}


@pytest.mark.parametrize("cls", [Plaintext, Ciphertext], ids=CLASS_IDS)
def test_data_is_the_mean_over_blocks_of_two_to_the_log_slots(fx, cls):
    obj = cls(fx)
    obj.data = counting(range(32))
    assert obj.data[:] == counting(range(32))[:]
    obj.log_slots = 3
    # The four blocks of 8 slots hold j, j + 8, j + 16 and j + 24: their mean is j + 12.
    assert (len(obj), obj.data[:]) == (8, counting(range(12, 20))[:])
    obj.log_slots = 0
    assert (len(obj), obj.data[:]) == (1, [15.5 - 15.5j])
    obj.log_slots = 5
    assert obj.data[:] == counting(range(32))[:]


@pytest.mark.parametrize("cls", [Plaintext, Ciphertext], ids=CLASS_IDS)
def test_data_setter_tiles_over_every_slot_and_resets_the_device(fx, cls):
    obj = cls(fx)
    obj.to(Device(DeviceType.GPU, 2))
    obj.log_slots = 3
    obj.data = counting(range(8))
    assert obj.data[:] == counting(range(8))[:]
    assert (obj.device_type, obj.device.id) == (DeviceType.CPU, 0)
    obj.log_slots = 5
    assert obj.data[:] == counting(list(range(8)) * 4)[:]
    obj.data = Message(0, 3j)
    assert obj.data[:] == [3j] * 32
    # A message longer than the slots held leaves nothing but zeros.
    obj.data = Message(6, 1)
    assert obj.data[:] == [0j] * 32
    assert (obj.level, obj.log_slots, obj.rescale_counter) == (24, 5, 0)


@pytest.mark.parametrize("cls", [Plaintext, Ciphertext], ids=CLASS_IDS)
def test_empty_data_is_refused_and_changes_nothing(fx, cls):
    obj = cls(fx)
    obj.data = counting(range(32))
    obj.to(Device(DeviceType.GPU, 1))
    with pytest.raises(RuntimeError, match=r"^\[setMessage\] The input message is empty$"):
        obj.data = Message()
    assert obj.data[:] == counting(range(32))[:]
    assert (obj.device_type, obj.device.id) == (DeviceType.GPU, 1)


@pytest.mark.parametrize("cls, owner", [(Plaintext, "Plaintext"), (Ciphertext, "Ciphertext")], ids=CLASS_IDS)
@pytest.mark.parametrize("log_slots, length", [
    (6, 64),                  # more slots than the 32 held: a length, but no data or text
    (40, 2**40),
    (63, OverflowError),      # 2^63 is no index-sized length
    (64, RuntimeError),
    (2**64 - 1, RuntimeError),
])
def test_log_slots_beyond_the_slots_held(fx, cls, owner, log_slots, length):
    obj = cls(fx)
    obj.log_slots = log_slots
    assert obj.log_slots == log_slots
    if isinstance(length, int):
        assert len(obj) == length
    elif length is RuntimeError:
        with pytest.raises(RuntimeError, match=rf"^\[{owner}::getNumberOfSlots\] log_slots {log_slots} has no slot "
                                               "count$"):
            len(obj)
    else:
        with pytest.raises(OverflowError):
            len(obj)
    held = rf"^\[getMessage\] log_slots {log_slots} exceeds the slots held$"
    with pytest.raises(RuntimeError, match=held):
        obj.data
    with pytest.raises(RuntimeError, match=held):
        repr(obj)


@pytest.mark.parametrize("cls, short, word", CLASSES, ids=CLASS_IDS)
def test_device_moves_compare_types_only_and_count(fx, cls, short, word):
    obj = cls(fx)
    obj.to_host()
    assert fx.get_history() == {}
    obj.to_device()
    obj.to_device()
    obj.to(Device(DeviceType.GPU, 3))
    assert (obj.device_type, obj.device.id) == (DeviceType.GPU, 0)
    obj.to(Device(DeviceType.UNDEFINED, 7))
    assert (obj.device_type, obj.device.id) == (DeviceType.UNDEFINED, 7)
    obj.to_host()
    assert (obj.device_type, obj.device.id) == (DeviceType.CPU, 0)
    assert fx.get_history() == {f"To Device ({short})": 1, f"To Host ({short})": 2}


@pytest.mark.parametrize("cls", [Plaintext, Ciphertext], ids=CLASS_IDS)
def test_device_read_before_a_move_is_a_copy(fx, cls):
    obj = cls(fx)
    device = obj.device
    obj.to_device()
    assert (device.type, obj.device.type) == (DeviceType.CPU, DeviceType.GPU)


def test_to_device_prints_the_cuda_alert_unless_switched_off(fx, capfd):
    Ciphertext(fx).to_device()
    assert capfd.readouterr().out == "[CudaTools::cudaGetDevice] Always return 0 in Morvane-simulator\n"
    pm.simulate_alert(False)
    Plaintext(fx).to_device()
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("cls, short, word", CLASSES, ids=CLASS_IDS)
def test_save_and_load_round_trip(fx, tmp_path, cls, short, word):
    path = str(tmp_path / f"{short}.bin")
    obj = cls(fx)
    obj.data = counting(range(32))
    obj.log_slots, obj.rescale_counter = 2, -3
    obj.save(path)
    other = cls(fx)
    other.to(Device(DeviceType.GPU, 1))
    other.load(file_path=path)
    assert (other.log_slots, other.rescale_counter, other.level) == (2, -3, 24)
    other.log_slots = 5
    assert other.data[:] == counting(range(32))[:]
    # The device is not stored: the loading object keeps its own.
    assert (other.device_type, other.device.id) == (DeviceType.GPU, 1)
    assert fx.get_history() == {f"Save {word}": 1, f"Load {word}": 1, f"To Device ({short})": 1}


@pytest.mark.parametrize("cls, short, word", CLASSES, ids=CLASS_IDS)
def test_file_failures_count_nothing(fx, tmp_path, cls, short, word):
    obj = cls(fx)
    missing = str(tmp_path / "missing" / "x.bin")
    for call in (lambda: obj.save(missing), lambda: obj.load(missing)):
        with pytest.raises(RuntimeError) as caught:
            call()
        assert str(caught.value) == "Cannot open file " + missing
    empty = tmp_path / "empty.bin"
    empty.write_bytes(b"")
    with pytest.raises(RuntimeError, match=r"^Failed to read 8 bytes from input stream! Read 0$"):
        obj.load(str(empty))
    assert fx.get_history() == {}
    assert obj.log_slots == 5


def test_alerting_properties(fx, capfd):
    ctxt = Ciphertext(fx)
    assert (ctxt.current_prime, ctxt.current_scale_factor) == (1, 1.0)
    assert capfd.readouterr().out == ("[Ciphertext::getCurrentPrime] Always return 1 in Morvane-simulator\n"
                                      "[Ciphertext::getCurrentScaleFactor] Always return 1.0 in Morvane-simulator\n")
    pm.simulate_alert(False)
    assert (ctxt.current_prime, ctxt.current_scale_factor) == (1, 1.0)
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("cls", [Plaintext, Ciphertext], ids=CLASS_IDS)
def test_copies_are_independent(fx, cls):
    obj = cls(fx)
    obj.data = Message(5, 1)
    copy = cls(obj)
    copy.data = Message(5, 2)
    copy.log_slots, copy.rescale_counter = 1, 4
    copy.to_device()
    assert (obj.data[:], obj.log_slots, obj.rescale_counter, obj.device_type) == ([1 + 0j] * 32, 5, 0,
                                                                                  DeviceType.CPU)


@pytest.mark.parametrize("cls", [Plaintext, Ciphertext], ids=CLASS_IDS)
def test_text(fx, cls):
    obj = cls(fx)
    obj.log_slots = 1
    obj.data = Message([1 + 2j, -0.5 - 1.25j])
    obj.rescale_counter = -1
    obj.to_host()
    assert repr(obj) == (f"<pymorvane.{cls.__name__} object> (level: 24, log(num slots): 1, rescale counter: -1, "
                         "device: CPU, data: [ (1.000000+2.000000j), (-0.500000-1.250000j) ])")


@pytest.mark.parametrize("assign", [
    lambda obj: setattr(obj, "log_slots", -1),
    lambda obj: setattr(obj, "log_slots", 2.0),
    lambda obj: setattr(obj, "log_slots", 2**64),
    lambda obj: setattr(obj, "rescale_counter", 2**31),
    lambda obj: setattr(obj, "rescale_counter", 1.0),
    lambda obj: setattr(obj, "data", [1, 2]),
    lambda obj: setattr(obj, "data", None),
    lambda obj: obj.load(None),
])
@pytest.mark.parametrize("cls", [Plaintext, Ciphertext], ids=CLASS_IDS)
def test_unconvertible_values_change_nothing(fx, cls, assign):
    obj = cls(fx)
    with pytest.raises(TypeError):
        assign(obj)
    assert (obj.log_slots, obj.rescale_counter, obj.data[:]) == (5, 0, [0j] * 32)


@pytest.mark.parametrize("call", [lambda: Plaintext(), lambda: Plaintext(None), lambda: Ciphertext(Message()),
                                  lambda: Ciphertext(pm.make_context(ParameterPreset.FX), "yes"),
                                  lambda: Plaintext(Ciphertext(pm.make_context(ParameterPreset.FX)))])
def test_constructors_need_their_arguments(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize("cls", [Plaintext, Ciphertext], ids=CLASS_IDS)
def test_readonly_and_absent_attributes(fx, cls):
    obj = cls(fx)
    for name in ("level", "device", "device_type"):
        with pytest.raises(AttributeError):
            setattr(obj, name, 1)
    with pytest.raises(AttributeError):
        obj.size = 3
