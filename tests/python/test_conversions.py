# Random arguments through the converters: every call answers or raises one of the exceptions of bad arguments
# (ERRORS), and the process never crashes.
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402

import pymorvane as pm  # noqa: E402
from pymorvane import Device, DeviceType, Message, ParameterPreset  # noqa: E402

scalars = st.one_of(st.none(), st.booleans(), st.integers(-2**70, 2**70), st.floats(), st.complex_numbers(),
                    st.text(max_size=3), st.binary(max_size=3))
values = st.one_of(scalars, st.lists(scalars, max_size=9), st.tuples(scalars, scalars),
                   st.sets(st.integers(-2**40, 2**40), max_size=4), st.frozensets(st.integers(0, 3), max_size=3))
# Slot counts that are allocated quickly, or refused before anything is allocated.
log_slots = st.one_of(st.integers(-2**70, 12), st.integers(36, 2**70))
ERRORS = (TypeError, ValueError, RuntimeError, IndexError, MemoryError, OverflowError)


def answers_or_raises(call, *args):
    try:
        call(*args)
    except ERRORS:
        pass


@settings(max_examples=300, deadline=None, database=None)
@given(st.one_of(log_slots, values), st.one_of(values, st.complex_numbers()))
def test_message_construction_and_item_access(first, second):
    answers_or_raises(Message, first)
    answers_or_raises(Message, first, second)
    msg = Message([1, 2, 3, 4])
    answers_or_raises(msg.__getitem__, first)
    answers_or_raises(msg.__setitem__, first, second)
    answers_or_raises(msg.set_data, first)
    answers_or_raises(msg.fill, second)
    assert len(msg) in (0, 1, 2, 4, 8)
    assert len(msg[:]) == len(list(msg)) == len(msg)


@settings(max_examples=300, deadline=None, database=None)
@given(values, values)
def test_module_functions_and_devices(first, second):
    pm.simulate_alert(False)
    answers_or_raises(pm.make_context, ParameterPreset.SD3, first)
    answers_or_raises(pm.set_seed, first)
    answers_or_raises(pm.set_current_cuda_device, first)
    answers_or_raises(Device, DeviceType.CPU, first)
    answers_or_raises(DeviceType, first)
    answers_or_raises(lambda: DeviceType.GPU < first)
    assert (DeviceType.GPU == first) is False
