"""A first Python program on the simulator: a context and its parameters, messages read through numpy without a
copy, the alert switch, the operation history and the stopwatch."""
import sys

import numpy as np

import pymorvane as pm
from pymorvane import Device, DeviceType, Message, ParameterPreset

# Alert lines go from the library straight to the process's standard output; flushing each printed line keeps
# them in order with this program's own output when it is piped.
sys.stdout.reconfigure(line_buffering=True)

context = pm.make_context(ParameterPreset.FGb)
print("FGb: log full slots", pm.get_log_full_slots(context), " encryption level", pm.get_encryption_level(context),
      " bootstrappable", pm.is_bootstrappable_parameter(context),
      " extended bootstrap", pm.is_extended_bootstrap_supported(context))
print("context creation would take", pm.get_duration(context), "ms on the real library")

# Messages: from a slot count with an initial value, and from a list.
print(Message(2, 0.5 + 1j))
msg = Message([complex(i, -i) for i in range(16)])
print(msg)

# numpy reads and writes the slots in place: the array shares the message's memory.
slots = np.asarray(msg)
print("numpy view:", slots.dtype, slots.shape, "shares memory:", np.shares_memory(slots, np.asarray(msg)))
slots *= 2
print("after doubling through numpy, slot 3 is", msg[3])
del slots  # the message may change its length again once no view is left
msg.set_data([1, 2, 3, 4])
print("resized:", msg[:], "log slots", msg.log_slots)

# Device moves are bookkeeping only; the first one prints the alert of the simulated CUDA query.
msg.to_device()
print("on", msg.device_type, "id", msg.device.id)
pm.simulate_alert(False)
msg.to(Device(DeviceType.GPU, 1))
print("prime list (simulated away, alert off):", pm.get_prime_lists(context))
pm.simulate_alert(True)
print("prime list (alert on):", pm.get_prime_lists(context))

# Nothing here is an operation the history counts: the report stays empty, and the stopwatch holds 0 ms.
pm.start_stopwatch(context)
context.repr_history(True)
print("history:", context.get_history(), " stopwatch:", pm.get_duration(context), "ms")
