# The enumerations SecurityLevel, ParameterPreset and DeviceType, and the class Device.
import operator

import pytest

import pymorvane
from pymorvane import Device, DeviceType, ParameterPreset, SecurityLevel

CUDA_GET_DEVICE = "[CudaTools::cudaGetDevice] Always return 0 in Morvane-simulator\n"


@pytest.mark.parametrize("enum, members", [
    (SecurityLevel, [("Classical128", 128), ("Classical192", 192), ("Classical256", 256), ("None", 0)]),
    (ParameterPreset, [("FVa", 0), ("FVb", 1), ("FVc", 14), ("FGa", 2), ("FGb", 3), ("FTa", 4), ("FTb", 5),
                       ("ST19", 6), ("ST14", 7), ("ST11", 8), ("ST8", 9), ("ST7", 10), ("SS7", 11), ("SD3", 12),
                       ("FX", 15), ("FGd", 16), ("SGd0", 17), ("CUSTOM", 13)]),
    (DeviceType, [("CPU", 0), ("GPU", 1), ("UNDEFINED", 2), ("CPU_PINNED", 3)]),
])
def test_members_in_registration_order_and_not_exported(enum, members):
    assert [(name, member.value) for name, member in enum.__members__.items()] == members
    for name, value in members:
        member = getattr(enum, name)
        assert (member.name, int(member), operator.index(member), hash(member)) == (name, value, value, value)
        assert enum(value) == member and enum(value) is not member
        assert not hasattr(pymorvane, name)


def test_texts_of_members():
    assert (str(DeviceType.GPU), repr(DeviceType.GPU)) == ("DeviceType.GPU", "<DeviceType.GPU: 1>")
    assert getattr(SecurityLevel, "None").name == "None"
    assert ParameterPreset(99).name == "???"
    assert SecurityLevel(-1).name == "???"


# Strict comparison: equality across types is False, ordering across types a TypeError.
@pytest.mark.parametrize("left, right, equal", [
    (DeviceType.GPU, DeviceType.GPU, True),
    (DeviceType.GPU, DeviceType(1), True),
    (DeviceType.GPU, DeviceType.CPU, False),
    (DeviceType.GPU, 1, False),
    (DeviceType.GPU, 1.0, False),
    (DeviceType.GPU, None, False),
    (DeviceType.GPU, SecurityLevel(1), False),
    (ParameterPreset.FGb, 3, False),
])
def test_equality_is_strict(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is not equal


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
@pytest.mark.parametrize("other", [2, 2.0, None, ParameterPreset.FGa])
def test_ordering_against_another_type_raises(op, other):
    with pytest.raises(TypeError, match="^Expected an enumeration of matching type!$"):
        op(DeviceType.GPU, other)


def test_ordering_within_a_type_and_no_bit_operations():
    assert DeviceType.GPU < DeviceType.UNDEFINED
    assert ParameterPreset.CUSTOM < ParameterPreset.FVc
    assert SecurityLevel.Classical256 >= SecurityLevel.Classical192
    for op in (operator.and_, operator.or_, operator.xor):
        with pytest.raises(TypeError):
            op(DeviceType.GPU, DeviceType.CPU)
    with pytest.raises(TypeError):
        ~DeviceType.GPU


def test_members_as_keys():
    assert ParameterPreset.FGb in {ParameterPreset(3)}
    assert {DeviceType.CPU: "host"}[DeviceType(0)] == "host"


@pytest.mark.parametrize("enum, value", [
    (ParameterPreset, 2**31),
    (DeviceType, 2**31),
    (DeviceType, -2**31 - 1),
    (SecurityLevel, 2**31),
    (SecurityLevel, -2**31 - 1),
    (DeviceType, 1.0),
    (DeviceType, "GPU"),
])
def test_enumeration_from_an_unfitting_value(enum, value):
    with pytest.raises(TypeError):
        enum(value)


@pytest.mark.parametrize("device_type", [DeviceType.CPU, DeviceType.UNDEFINED, DeviceType.CPU_PINNED])
def test_device_from_type_alone(device_type, capfd):
    device = Device(device_type)
    assert (device.type, device.id) == (device_type, 0)
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("alerts, printed", [(True, CUDA_GET_DEVICE), (False, "")])
def test_gpu_device_from_type_asks_the_current_device(alerts, printed, capfd):
    pymorvane.simulate_alert(alerts)
    device = Device(DeviceType.GPU)
    assert (device.type, device.id) == (DeviceType.GPU, 0)
    assert capfd.readouterr().out == printed


@pytest.mark.parametrize("device_type, device_id", [(DeviceType.CPU, 7), (DeviceType.GPU, -1),
                                                    (DeviceType.GPU, 2**31 - 1), (DeviceType.UNDEFINED, -2**31)])
def test_device_from_type_and_id_is_stored_unchecked(device_type, device_id):
    device = Device(device_type=device_type, device_id=device_id)
    assert (device.type, device.id) == (device_type, device_id)


@pytest.mark.parametrize("args", [(1,), (DeviceType.GPU, 2**31), (DeviceType.GPU, 1.0), (None,),
                                  (DeviceType.GPU, 0, 0), ()])
def test_device_arguments_that_fit_no_constructor(args):
    with pytest.raises(TypeError):
        Device(*args)


def test_device_is_read_only_and_compares_by_identity():
    d, e = Device(DeviceType.CPU), Device(DeviceType.CPU)
    assert d != e and d == d
    assert (d.type, d.id) == (e.type, e.id)
    for name, value in (("id", 1), ("type", DeviceType.GPU)):
        with pytest.raises(AttributeError):
            setattr(d, name, value)
    assert repr(d).startswith("<pymorvane.Device object at ")
