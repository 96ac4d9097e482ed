# Docstrings and generated signatures are interface text: names, argument names, defaults, overload order and the
# type names that registration order decides (ContextWrapper before the class Context, pymorvane.Context after).
import pytest

import pymorvane
from pymorvane import Context, Device, Message


def single(signature, doc=None):
    return signature + "\n" + (f"\n{doc}\n" if doc else "")


def overloaded(name, *overloads):
    entries = [f"{i}. {signature}\n" + (f"\n{doc}\n" if doc else "")
               for i, (signature, doc) in enumerate(overloads, start=1)]
    return f"{name}(*args, **kwargs)\nOverloaded function.\n\n" + "\n".join(entries)


CUSTOM_DOC = ("make a context from the input parameters. log_dimension must be >= 10 and <= 20. chain length must be "
              "<= 50. bpsize must be <= 61 and >= qpsize. qpsize must be >= 36. tpsize must be >= qpsize + (bpsize - "
              "qpsize) / numTP and <= 61 for numTP = chain_length / gadget_rank, gadget_rank must be a divisor of "
              "chain_length")

MODULE_FUNCTIONS = [
    ("is_built_with_cuda", single("is_built_with_cuda() -> bool",
                                  "return whether morvane is built with cuda. Morvane-simulator always return true.")),
    ("make_context", overloaded(
        "make_context",
        ("make_context(preset: Morvane::ParameterPreset, cuda_device_ids: Set[int] = set()) -> ContextWrapper",
         "make a context based on a given parameter preset"),
        ("make_context(log_dimension: int, chain_length: int, bpsize: int, qpsize: int, tpsize: int, "
         "gadget_rank: int, cuda_device_ids: Set[int] = set()) -> ContextWrapper", CUSTOM_DOC))),
    ("make_context_from_file", single("make_context_from_file(file_path: str) -> ContextWrapper",
                                      "make a context from file")),
    ("save_context_to_file", single("save_context_to_file(context: ContextWrapper, file_path: str) -> None",
                                    "save the context to file")),
    ("get_log_full_slots", single("get_log_full_slots(context: ContextWrapper) -> int",
                                  "get log full slots from the context")),
    ("get_encryption_level", single("get_encryption_level(context: ContextWrapper) -> int",
                                    "get encryption level from the context")),
    ("get_default_scale_factor_lists", single(
        "get_default_scale_factor_lists(context: ContextWrapper) -> List[float]",
        "get default scale factor lists from the context")),
    ("get_prime_lists", single("get_prime_lists(context: ContextWrapper) -> List[int]",
                               "get prime lists from the context")),
    ("is_bootstrappable_parameter", single("is_bootstrappable_parameter(context: ContextWrapper) -> bool",
                                           "return whether the bootstrapping is supported")),
    ("is_extended_bootstrap_supported", single(
        "is_extended_bootstrap_supported(context: ContextWrapper) -> bool",
        "return whether the bootstrappping for extended range is supported")),
    ("is_sparse_secret_encapsulation_supported", single(
        "is_sparse_secret_encapsulation_supported(context: ContextWrapper) -> bool",
        "return whether the context support sparse secret encapsulation")),
    ("get_rot_indices_for_bootstrap", single(
        "get_rot_indices_for_bootstrap(context: ContextWrapper, log_slots: int) -> Set[int]",
        "return the list of rotation key index for the boostrap process")),
    ("get_security_level", single(
        "get_security_level(context: ContextWrapper) -> pymorvane.SecurityLevel",
        "return the security level of the given context. Simulator always returns SecurityLevel.None")),
    ("get_sparse_parameter_preset_for", single(
        "get_sparse_parameter_preset_for(preset: Morvane::ParameterPreset) -> Morvane::ParameterPreset",
        "get sparse secret encapsulation parameter for given parameter")),
    ("get_default_device", single("get_default_device() -> Morvane::Device", "return CPU device")),
    ("get_current_cuda_device", single("get_current_cuda_device() -> Morvane::Device",
                                       "return current CUDA device")),
    ("set_current_cuda_device", single("set_current_cuda_device(device_id: int) -> None",
                                       "set current CUDA device_id")),
    ("get_seed", single("get_seed() -> List[int[4]]")),
    ("set_seed", single("set_seed(new_global_seed: List[int[4]]) -> None")),
    ("start_stopwatch", single("start_stopwatch(context: pymorvane.Context) -> None",
                               "start stopwatch for measuring how much time will be taken on real Morvane")),
    ("stop_stopwatch", single("stop_stopwatch(context: pymorvane.Context) -> None",
                              "stop stopwatch for measuring how much time will be taken on real Morvane")),
    ("get_duration", single("get_duration(context: pymorvane.Context) -> int",
                            "return the duration(in ms) recorded in stopwatch")),
    ("simulate_error", single("simulate_error(context: pymorvane.Context, onoff: bool) -> None",
                              "en/disable to simulate approximation error")),
    ("simulate_alert", single("simulate_alert(onoff: bool) -> None",
                              "en/disable to alert for dummy functions in simulator")),
]

M = "self: pymorvane.Message"
MEMBERS = [
    (Context.repr_history, single("repr_history(self: pymorvane.Context, verbose: bool) -> None",
                                  "print the operation history")),
    (Context.clear_history, single("clear_history(self: pymorvane.Context) -> None", "clear the operation history")),
    (Context.get_history, single("get_history(self: pymorvane.Context) -> Dict[str, int]",
                                 "return the operation history")),
    (Device.__init__, overloaded(
        "__init__",
        ("__init__(self: pymorvane.Device, device_type: pymorvane.DeviceType) -> None",
         "construct device from device type"),
        ("__init__(self: pymorvane.Device, device_type: pymorvane.DeviceType, device_id: int) -> None",
         "construct device from device type and device id"))),
    (Device.type, "return device type"),
    (Device.id, "return device id"),
    (Message.__init__, overloaded(
        "__init__",
        (f"__init__({M}) -> None", "default constructor"),
        (f"__init__({M}, log_slots: int) -> None", "construct a dummy message based on a given log_slots"),
        (f"__init__({M}, log_slots: int, initial: complex) -> None",
         "construct a dummy message based on given log_slots and initail"),
        (f"__init__({M}, msg: pymorvane.Message) -> None", "copying"),
        (f"__init__({M}, data: List[complex]) -> None", None))),
    (Message.is_empty, single(f"is_empty({M}) -> bool")),
    (Message.to, single(f"to({M}, device: pymorvane.Device) -> None")),
    (Message.to_device, single(f"to_device({M}) -> None")),
    (Message.to_host, single(f"to_host({M}) -> None")),
    (Message.save, single(f"save({M}, file_path: str) -> None")),
    (Message.load, single(f"load({M}, file_path: str) -> None")),
    (Message.set_data, single(f"set_data({M}, data: List[complex]) -> None")),
    (Message.__len__, single(f"__len__({M}) -> int")),
    (Message.__setitem__, single(f"__setitem__({M}, idx: int, value: complex) -> None")),
    (Message.fill, single(f"fill({M}, constant: complex) -> None")),
    (Message.__getitem__, overloaded("__getitem__", (f"__getitem__({M}, idx: int) -> complex", None),
                                     (f"__getitem__({M}, slice: slice) -> list", None))),
    (Message.__iter__, single(f"__iter__({M}) -> Iterator")),
    (Message.__repr__, single(f"__repr__({M}) -> str")),
]


@pytest.mark.parametrize("name, doc", MODULE_FUNCTIONS, ids=[name for name, _ in MODULE_FUNCTIONS])
def test_module_function_docstring(name, doc):
    assert getattr(pymorvane, name).__doc__ == doc


@pytest.mark.parametrize("member, doc", MEMBERS, ids=[doc.split("(")[0] for _, doc in MEMBERS])
def test_member_docstring(member, doc):
    assert member.__doc__ == doc


def test_every_module_function_is_in_the_table():
    functions = {name for name, value in vars(pymorvane).items()
                 if type(value).__name__ == "builtin_function_or_method"}
    assert functions == {name for name, _ in MODULE_FUNCTIONS}

