# The GPU device scope BindingGPU: the device it returns and the CUDA alert lines of entering and leaving.
import gc

import pytest

import pymorvane as pm
from pymorvane import BindingGPU, Device, DeviceType, Message
from test_docstrings import overloaded

GET = "[CudaTools::cudaGetDevice] Always return 0 in Morvane-simulator\n"
SET = "[CudaTools::cudaSetDevice] Nothing happen in Morvane-simulator\n"


def one_scope(mark):
    with BindingGPU(2) as device:
        mark()
    mark()
    return device


def nested_scopes(mark):
    with BindingGPU(1):
        mark()
        with BindingGPU(device=Device(DeviceType.GPU, 2)) as inner:
            mark()
        mark()
    mark()
    return inner


def entered_twice(mark):
    scope = BindingGPU(4)
    scope.__enter__()
    mark()
    device = scope.__enter__()
    mark()
    scope.__exit__(None, None, None)
    mark()
    scope.__exit__(None, None, None)
    mark()
    return device


def reused_in_turn(mark):
    scope = BindingGPU(device_id=3)
    for _ in range(2):
        with scope as device:
            mark()
        mark()
    return device


def left_by_destruction(mark):
    scope = BindingGPU(1)
    device = scope.__enter__()
    mark()
    del scope
    gc.collect()
    mark()
    return device


def never_entered(mark):
    scope = BindingGPU(1)
    scope.__exit__(exc_type=None, exc_value=None, traceback=None)
    mark()
    return Device(DeviceType.GPU, 1)


def negative_id(mark):
    with BindingGPU(-1) as device:
        mark()
    mark()
    return device


def host_scope(device_type):
    def scenario(mark):
        scope = BindingGPU(Device(device_type, 5))
        with scope as device:
            mark()
        scope.__exit__(None, None, None)
        mark()
        return device
    return scenario


# scenario -> the alert lines printed up to each mark, and the device the (last) entry returned
SCOPES = [
    ("one scope", one_scope, [GET + SET, SET], (DeviceType.GPU, 2)),
    ("nested scopes", nested_scopes, [GET + SET, GET + SET, SET, SET], (DeviceType.GPU, 2)),
    ("entered twice", entered_twice, [GET + SET, GET + SET + SET, SET, ""], (DeviceType.GPU, 4)),
    ("reused in turn", reused_in_turn, [GET + SET, SET, GET + SET, SET], (DeviceType.GPU, 3)),
    ("left by destruction", left_by_destruction, [GET + SET, SET], (DeviceType.GPU, 1)),
    ("never entered", never_entered, [""], (DeviceType.GPU, 1)),
    ("negative id", negative_id, [GET + SET, SET], (DeviceType.GPU, -1)),
] + [(f"{t.name} scope", host_scope(t), ["", ""], (t, 5))
     for t in (DeviceType.CPU, DeviceType.UNDEFINED, DeviceType.CPU_PINNED)]


@pytest.mark.parametrize("alerts", [True, False])
@pytest.mark.parametrize("scenario, printed, device", [s[1:] for s in SCOPES], ids=[s[0] for s in SCOPES])
def test_alert_lines_of_scopes(capfd, alerts, scenario, printed, device):
    pm.simulate_alert(alerts)
    seen = []
    result = scenario(lambda: seen.append(capfd.readouterr().out))
    assert seen == (printed if alerts else [""] * len(printed))
    assert type(result) is Device and (result.type, result.id) == device


def test_each_entry_returns_a_new_device():
    scope = BindingGPU(Device(DeviceType.CPU, 0))
    assert scope.__enter__() is not scope.__enter__()


def test_exception_in_the_block_propagates_after_the_exit_line(capfd):
    with pytest.raises(KeyError, match="inside"):
        with BindingGPU(1):
            raise KeyError("inside")
    assert capfd.readouterr().out == GET + SET + SET


def test_exception_passing_a_destroyed_scope_goes_on(capfd):
    def body():
        scope = BindingGPU(1)
        scope.__enter__()
        try:
            raise ValueError("pending")
        finally:
            del scope
            assert capfd.readouterr().out == GET + SET + SET
    with pytest.raises(ValueError, match="^pending$"):
        body()


def test_data_objects_give_their_device_at_construction(capfd):
    msg = Message(2)
    scope = BindingGPU(op=msg)
    msg.to_device()
    capfd.readouterr()
    with scope as device:
        pass
    assert (device.type, device.id) == (DeviceType.CPU, 0)
    assert capfd.readouterr().out == ""
    with BindingGPU(msg) as device:
        pass
    assert (device.type, device.id) == (DeviceType.GPU, 0)
    assert capfd.readouterr().out == GET + SET + SET


@pytest.mark.parametrize("make", ["Plaintext", "Ciphertext"])
def test_plaintext_and_ciphertext_give_their_device_at_construction(ctx, capfd, make):
    op = getattr(pm, make)(ctx)
    scope = BindingGPU(op)
    op.to_device()
    capfd.readouterr()
    with scope as device:
        pass
    assert (device.type, capfd.readouterr().out) == (DeviceType.CPU, "")
    with BindingGPU(op=op) as device:
        pass
    assert ((device.type, device.id), capfd.readouterr().out) == ((DeviceType.GPU, 0), GET + SET + SET)


@pytest.mark.parametrize("args", [(1.0,), (2**31,), (-2**31 - 1,), (None,), ("1",), (), (1, 2)])
def test_arguments_that_fit_no_constructor(args):
    with pytest.raises(TypeError):
        BindingGPU(*args)


def test_scope_without_init_is_refused():
    scope = BindingGPU.__new__(BindingGPU)
    with pytest.raises(TypeError):
        scope.__enter__()
    with pytest.raises(TypeError):
        scope.__exit__(None, None, None)


def test_scope_takes_no_dynamic_attributes():
    with pytest.raises(AttributeError):
        BindingGPU(0).extra = 1


G = "self: pymorvane.BindingGPU"


@pytest.mark.parametrize("member, doc", [
    (BindingGPU.__init__, overloaded(
        "__init__",
        (f"__init__({G}, device_id: int) -> None", "construct BindingGPU scope from device id"),
        (f"__init__({G}, device: pymorvane.Device) -> None", "construct BindingGPU scope from device"),
        (f"__init__({G}, op: pymorvane.Message) -> None", "construct BindingGPU scope from Message"),
        (f"__init__({G}, op: pymorvane.Plaintext) -> None", "construct BindingGPU scope from Plaintext"),
        (f"__init__({G}, op: pymorvane.Ciphertext) -> None", "construct BindingGPU scope from Ciphertext"))),
    (BindingGPU.__enter__, f"__enter__({G}) -> pymorvane.Device\n"),
    (BindingGPU.__exit__, f"__exit__({G}, exc_type: object, exc_value: object, traceback: object) -> None\n"),
    (BindingGPU, None),
], ids=["__init__", "__enter__", "__exit__", "class"])
def test_docstrings(member, doc):
    assert member.__doc__ == doc


def test_registered_last_with_its_members_in_order():
    assert [name for name in vars(pm) if not name.startswith("__")][-2:] == ["BindingGPU", "math"]
    assert [name for name in vars(BindingGPU) if name in ("__init__", "__enter__", "__exit__")] == \
        ["__init__", "__enter__", "__exit__"]
