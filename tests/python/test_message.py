# The class Message: constructors, item access, slicing, iteration, buffer export, devices, files, text.
import gc
import struct
import weakref

import pytest

import pymorvane
from pymorvane import Device, DeviceType, Message

RESIZE_REFUSED = "^Existing exports of data: object cannot be re-sized$"


def loaded(directory, values):
    """A message loaded from a message file holding `values`, which may be any number of slots."""
    path = directory / "values.bin"
    path.write_bytes(struct.pack(f"<Q{2 * len(values)}d", len(values), *[p for v in values for p in (v.real, v.imag)]))
    msg = Message()
    msg.load(str(path))
    return msg


@pytest.mark.parametrize("args, kwargs, slots, log_slots", [
    ((), {}, [], 0),
    ((4,), {}, [0j] * 16, 4),
    ((3, 1 + 2j), {}, [1 + 2j] * 8, 3),
    ((), {"log_slots": 0, "initial": 5}, [5 + 0j], 0),
    (([1, 2, 3, 4],), {}, [1 + 0j, 2 + 0j, 3 + 0j, 4 + 0j], 2),
    (((0.5, -1j),), {}, [0.5 + 0j, -1j], 1),
    (([],), {}, [], 0),
    ((), {"data": [7j]}, [7j], 0),
])
def test_constructors(args, kwargs, slots, log_slots):
    msg = Message(*args, **kwargs)
    assert msg[:] == slots
    assert (len(msg), msg.log_slots, msg.is_empty()) == (len(slots), log_slots, not slots)
    assert (msg.device_type, msg.device.id) == (DeviceType.CPU, 0)


@pytest.mark.parametrize("args, error, text", [
    (([1, 2, 3],), RuntimeError, "The size of array must be a power of 2."),
    (([0j] * 6,), RuntimeError, "The size of array must be a power of 2."),
    ((64,), ValueError, "cannot create std::vector larger than max_size()"),
    ((2**64 - 1,), ValueError, "cannot create std::vector larger than max_size()"),
    ((59, 1j), ValueError, "cannot create std::vector larger than max_size()"),
    ((-1,), TypeError, None),
    ((2**64,), TypeError, None),
    ((1.0,), TypeError, None),
    (("ab",), TypeError, None),
    (([1, "x"],), TypeError, None),
    ((None,), TypeError, None),
])
def test_constructor_failures(args, error, text):
    with pytest.raises(error) as caught:
        Message(*args)
    if text is not None:
        assert str(caught.value) == text


def test_copy_is_independent_and_keeps_the_device():
    msg = Message([1, 2])
    msg.to(Device(DeviceType.GPU, 3))
    copy = Message(msg=msg)
    copy[0] = 9
    assert (msg[0], copy[0]) == (1, 9)
    assert (copy.device_type, copy.device.id) == (DeviceType.GPU, 3)


@pytest.mark.parametrize("before, data, after", [
    ([1, 2, 3, 4], [5, 6, 7, 8, 9, 10, 11, 12], [5, 6, 7, 8, 9, 10, 11, 12]),
    ([1, 2, 3, 4], [5j, 6j], [5j, 6j]),
    ([1, 2, 3, 4], [], []),
    ([], [1], [1]),
    ([1, 2, 3, 4], [1, 2, 3], [1, 2, 3, 4]),
])
def test_set_data(before, data, after):
    msg = Message(before)
    msg.to(Device(DeviceType.GPU, 2))
    if len(data) & (len(data) - 1):
        with pytest.raises(RuntimeError, match=r"^The size of array must be a power of 2\.$"):
            msg.set_data(data)
    else:
        assert msg.set_data(data=data) is None
    assert msg[:] == after
    assert (msg.device_type, msg.device.id) == (DeviceType.GPU, 2)


def test_item_access_and_fill():
    msg = Message(2)
    msg[1] = 1 + 2j
    msg[2] = 3
    msg.__setitem__(idx=3, value=-1.5)
    assert [msg[i] for i in range(4)] == [0, 1 + 2j, 3, -1.5]
    assert type(msg[2]) is complex
    msg.fill(constant=2j)
    assert msg[:] == [2j] * 4
    Message().fill(1)


@pytest.mark.parametrize("idx", [-1, -4, 4, 2**31 - 1])
def test_item_access_outside_the_slots(idx):
    msg = Message([1, 2, 3, 4])
    with pytest.raises(IndexError):
        msg[idx]
    with pytest.raises(IndexError):
        msg[idx] = 1
    assert msg[:] == [1, 2, 3, 4]


@pytest.mark.parametrize("idx", [2**31, 1.0, "0", None])
def test_item_index_that_fits_no_overload(idx):
    with pytest.raises(TypeError):
        Message(2)[idx]


def test_empty_message_has_no_item():
    with pytest.raises(IndexError):
        Message()[0]


@pytest.mark.parametrize("index, expected", [
    (slice(1, 3), [1, 2]),
    (slice(None, None, -1), [7, 6, 5, 4, 3, 2, 1, 0]),
    (slice(-2, None), [6, 7]),
    (slice(5, 100), [5, 6, 7]),
    (slice(None, None, 3), [0, 3, 6]),
    (slice(6, 1, -2), [6, 4, 2]),
    (slice(100, 200), []),
])
def test_slicing_gives_a_list_of_copies(index, expected):
    msg = Message(list(range(8)))
    result = msg[index]
    assert type(result) is list and result == expected
    if result:
        result[0] = 99
        assert 99 not in msg[:]


def test_slice_step_zero():
    with pytest.raises(ValueError, match="slice step cannot be zero"):
        Message(2)[::0]


def test_iteration():
    msg = Message([1, 2j, 3, 4j])
    assert list(msg) == [1, 2j, 3, 4j]
    assert list(Message()) == []


@pytest.mark.parametrize("new_data, expected", [([9, 9], [1, 2]), ([5] * 8, [1, 2, 5, 5, 5, 5, 5, 5])])
def test_iteration_follows_a_resize(new_data, expected):
    # The iterator reads by position: after the message is resized it ends at the new length.
    msg = Message([1, 2, 3, 4])
    it = iter(msg)
    seen = [next(it), next(it)]
    msg.set_data(new_data)
    assert seen + list(it) == expected


def test_iterator_keeps_the_message_alive():
    it = iter(Message([1, 2]))
    gc.collect()
    assert list(it) == [1, 2]


def test_buffer_describes_the_slots():
    msg = Message([1, 2, 3, 4])
    view = memoryview(msg)
    assert (view.format, view.itemsize, view.ndim, view.shape, view.strides, view.readonly) == \
        ("Zd", 16, 1, (4,), (16,), False)
    assert view.nbytes == 64
    view.cast("B")[0:16] = struct.pack("<dd", 5.0, -1.0)
    assert msg[0] == 5 - 1j
    msg[1] = 7j
    assert struct.unpack("<dd", view.cast("B")[16:32]) == (0.0, 7.0)


def test_buffer_of_an_empty_message():
    view = memoryview(Message())
    assert (view.shape, view.nbytes, view.format) == ((0,), 0, "Zd")
    assert view.tobytes() == b""


@pytest.mark.parametrize("resize", [
    lambda msg, tmp: msg.set_data([1, 2]),
    lambda msg, tmp: msg.set_data([]),
    lambda msg, tmp: msg.load(tmp),
])
def test_members_that_resize_are_refused_while_exported(resize, tmp_path):
    path = str(tmp_path / "m.bin")
    Message([9, 9, 9, 9, 9, 9, 9, 9]).save(path)
    msg = Message([1, 2, 3, 4])
    first, second = memoryview(msg), memoryview(msg)
    for view in (first, second):
        with pytest.raises(BufferError, match=RESIZE_REFUSED):
            resize(msg, path)
        assert msg[:] == [1, 2, 3, 4]
        view.release()
    resize(msg, path)
    assert len(msg) != 4


def test_members_that_keep_the_length_write_through_a_view():
    msg = Message([1, 2, 3, 4])
    view = memoryview(msg)
    msg.set_data([5, 6, 7, 8])
    assert struct.unpack("<dd", view.cast("B")[48:64]) == (8.0, 0.0)
    msg.fill(2j)
    msg.to_device()
    msg.to_host()
    assert struct.unpack("<dd", view.cast("B")[0:16]) == (0.0, 2.0)


def test_view_keeps_the_message_alive():
    view = memoryview(Message([1, 2]))
    gc.collect()
    assert struct.unpack("<dd", view.cast("B")[16:32]) == (2.0, 0.0)


def test_exports_of_one_message_do_not_block_another():
    exported, other = Message([1, 2]), Message([1, 2])
    view = memoryview(exported)
    other.set_data([1, 2, 3, 4])
    assert len(other) == 4 and view.shape == (2,)


def test_numpy_shares_the_slots():
    np = pytest.importorskip("numpy")
    for size in (1, 16, 65536):
        msg = Message(size.bit_length() - 1)
        array = np.asarray(msg)
        assert array.dtype == np.complex128 and array.shape == (size,)
        array[-1] = 3 - 4j
        assert msg[size - 1] == 3 - 4j
        msg[0] = 1j
        assert array[0] == 1j
        with pytest.raises(BufferError, match=RESIZE_REFUSED):
            msg.set_data([0] * (2 * size))
        del array
        gc.collect()
        msg.set_data([0] * (2 * size))
        assert len(msg) == 2 * size
    assert np.asarray(Message()).shape == (0,)
    assert Message(np.array([1, 2j]))[:] == [1, 2j]


@pytest.mark.parametrize("move, device_type, device_id", [
    (lambda msg: msg.to_device(), DeviceType.GPU, 0),
    (lambda msg: msg.to_host(), DeviceType.CPU, 0),
    (lambda msg: msg.to(device=Device(DeviceType.CPU_PINNED, 5)), DeviceType.CPU_PINNED, 5),
    (lambda msg: msg.to(Device(DeviceType.UNDEFINED, -1)), DeviceType.UNDEFINED, -1),
])
def test_device_moves_and_the_device_read_before(move, device_type, device_id):
    # The device read follows the message: a move afterwards shows in it, and in what it is passed to.
    msg = Message([1, 2])
    msg.to(Device(DeviceType.GPU, 7))
    device = msg.device
    move(msg)
    assert (device.type, device.id) == (device_type, device_id)
    assert (msg.device_type, msg.device.id) == (device_type, device_id)
    other = Message([1])
    other.to(device)
    assert (other.device_type, other.device.id) == (device_type, device_id)


def test_device_follows_the_message_through_its_members_and_keeps_it_alive(tmp_path):
    path = str(tmp_path / "m.bin")
    Message([1, 2, 3, 4]).save(path)
    msg = Message([1, 2])
    device = msg.device
    msg.set_data([1, 2, 3, 4, 5, 6, 7, 8])
    msg.load(path)
    msg.fill(1)
    msg[0] = 2
    msg.to(Device(DeviceType.GPU, 4))
    alive = weakref.ref(msg)
    del msg
    gc.collect()
    assert alive() is not None
    assert (device.type, device.id) == (DeviceType.GPU, 4)
    alive().to(Device(DeviceType.CPU_PINNED, 3))
    assert (device.type, device.id) == (DeviceType.CPU_PINNED, 3)
    # The message goes with the device.
    del device
    gc.collect()
    assert alive() is None


CUDA_GET_DEVICE = "[CudaTools::cudaGetDevice] Always return 0 in Morvane-simulator\n"


@pytest.mark.parametrize("alerts, printed", [(True, CUDA_GET_DEVICE), (False, "")])
def test_to_device_asks_the_current_device(alerts, printed, capfd):
    pymorvane.simulate_alert(alerts)
    Message(1).to_device()
    assert capfd.readouterr().out == printed


def test_files(tmp_path):
    path = tmp_path / "m.bin"
    saved = Message([1 + 2j, -3, 0.5j, 4])
    saved.save(file_path=str(path))
    assert path.read_bytes() == struct.pack("<Q8d", 4, 1, 2, -3, 0, 0, 0.5, 4, 0)
    target = Message(5)
    target.to(Device(DeviceType.GPU, 1))
    target.load(str(path).encode())
    assert target[:] == saved[:]
    assert (target.device_type, target.device.id) == (DeviceType.GPU, 1)


def test_load_takes_any_count(tmp_path):
    msg = loaded(tmp_path, [complex(2 * i, 2 * i + 1) for i in range(12)])
    assert len(msg) == 12 and msg.log_slots == 3
    assert msg[11] == 22 + 23j


def test_file_failures(tmp_path):
    missing = str(tmp_path / "missing.bin")
    msg = Message([1, 2])
    with pytest.raises(RuntimeError) as caught:
        msg.load(missing)
    assert str(caught.value) == "Cannot open file " + missing
    assert msg[:] == [1, 2]
    with pytest.raises(RuntimeError) as caught:
        msg.save(str(tmp_path / "no-such-dir" / "m.bin"))
    assert str(caught.value) == "Cannot open file " + str(tmp_path / "no-such-dir" / "m.bin")
    short = tmp_path / "short.bin"
    short.write_bytes(struct.pack("<Q3d", 2, 1.0, 2.0, 3.0))
    with pytest.raises(RuntimeError) as caught:
        msg.load(str(short))
    assert str(caught.value) == "Failed to read 8 bytes from input stream! Read 0"
    assert msg[:] == [1 + 2j, 2]


@pytest.mark.parametrize("msg, text", [
    (Message([1 + 2j, -0.5 - 1.25j]),
     "<pymorvane.Message object> (log(num slots): 1, device: CPU, data: [ (1.000000+2.000000j), "
     "(-0.500000-1.250000j) ])"),
    (Message(), "<pymorvane.Message object> (log(num slots): empty, device: CPU)"),
    (Message([complex(0, -0.0), complex(-2, -1e-7), complex(float("nan"), 1e20), 0]),
     "<pymorvane.Message object> (log(num slots): 2, device: CPU, data: [ (0.000000+-0.000000j), "
     "(-2.000000-0.000000j), (nan+100000000000000000000.000000j), (0.000000+0.000000j) ])"),
])
def test_representation(msg, text):
    assert repr(msg) == text


def slot(i):
    return f"({i}.000000+0.000000j)"


@pytest.mark.parametrize("count, log_slots, shown", [
    (10, 3, list(range(10))),
    (11, 3, [0, 1, 2, 3, 4, None, 6, 7, 8, 9, 10]),
    (12, 3, [0, 1, 2, 3, 4, None, 7, 8, 9, 10, 11]),
    (16, 4, [0, 1, 2, 3, 4, None, 11, 12, 13, 14, 15]),
])
def test_representation_abbreviates_beyond_ten_slots(count, log_slots, shown, tmp_path):
    msg = loaded(tmp_path, [complex(i) for i in range(count)])
    msg.to(Device(DeviceType.GPU, -1))
    data = ", ".join("..." if i is None else slot(i) for i in shown)
    assert repr(msg) == (f"<pymorvane.Message object> (log(num slots): {log_slots}, device: GPU(id=-1), "
                         f"data: [ {data} ])")


@pytest.mark.parametrize("device, text", [
    (Device(DeviceType.GPU, 0), "GPU(id=0)"),
    (Device(DeviceType.UNDEFINED, 3), "UNDEFINED"),
    (Device(DeviceType.CPU_PINNED, 0), "CPU_PINNED"),
    (Device(DeviceType.CPU, 9), "CPU"),
])
def test_representation_of_devices(device, text):
    msg = Message()
    msg.to(device)
    assert repr(msg) == f"<pymorvane.Message object> (log(num slots): empty, device: {text})"


@pytest.mark.skipif(not hasattr(pymorvane, "HomEvaluator"), reason="needs the HomEvaluator and KeyPack classes")
def test_library_output_that_replaces_the_slots(ctx):
    # negate replaces an output of another length by a new message: refused while exported; otherwise the
    # device read before follows the message itself, whose earlier device record is gone.
    evaluator = pymorvane.HomEvaluator(ctx, pymorvane.KeyPack(ctx))
    res = Message([1, 2])
    res.to_device()
    device = res.device
    view = memoryview(res)
    with pytest.raises(BufferError, match=RESIZE_REFUSED):
        evaluator.negate(Message([1, 2, 3, 4]), res)
    assert res[:] == [1, 2]
    view.release()
    evaluator.negate(Message([1, 2, 3, 4]), res)
    assert res[:] == [-1, -2, -3, -4]
    assert (device.type, device.id) == (res.device_type, res.device.id)
    res.to(Device(DeviceType.CPU_PINNED, 2))
    assert (device.type, device.id) == (DeviceType.CPU_PINNED, 2)
