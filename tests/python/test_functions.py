# The module-level functions: contexts, parameter queries, simulated-away answers, stopwatch and switches.
import pytest

import pymorvane as pm
from pymorvane import Context, Device, DeviceType, ParameterPreset, SecurityLevel

FGB_CREATION_MS = 1695

ALERTS = {
    "scale": "[getDefaultScaleFactorList] Always return an empty vector<Real> in Morvane-simulator\n",
    "primes": "[getPrimeList] Always return an empty vector<u64> Morvane-simulator\n",
    "get_device": "[CudaTools::cudaGetDevice] Always return 0 in Morvane-simulator\n",
    "set_device": "[CudaTools::cudaSetDevice] Nothing happen in Morvane-simulator\n",
    "get_seed": "[getSeed] always return an empty seed in Morvane-simulator\n",
    "set_seed": "[setSeed] Nothing happen in Morvane-simulator\n",
}


@pytest.mark.parametrize("call", [
    lambda: pm.make_context(ParameterPreset.FGb),
    lambda: pm.make_context(ParameterPreset.FGb, {0, 1}),
    lambda: pm.make_context(preset=ParameterPreset.FGb, cuda_device_ids={2}),
    lambda: pm.make_context(ParameterPreset.FGb, type("DeviceIds", (set,), {})({3})),
    lambda: pm.make_context(8, 30, 61, 42, 61, 3),
    lambda: pm.make_context(log_dimension=16, chain_length=30, bpsize=61, qpsize=42, tpsize=61, gadget_rank=3,
                            cuda_device_ids={0}),
])
def test_make_context_returns_a_new_context(call):
    first, second = call(), call()
    assert isinstance(first, Context) and first is not second


@pytest.mark.parametrize("args, text", [
    ((ParameterPreset.CUSTOM,), "Need to specify some parameters in order to use CUSTOM parameters."),
    ((ParameterPreset(18),), "The input parameter preset is not yet supported."),
    ((21, 30, 61, 42, 61, 3), "[Parameter] Invalid log_dimension"),
    ((16, 51, 61, 42, 61, 3), "[Parameter] Invalid chain_length"),
    ((16, 30, 61, 42, 61, 4), "[Parameter] gadget_rank should divide chain_length"),
])
def test_make_context_failures(args, text):
    with pytest.raises(RuntimeError) as caught:
        pm.make_context(*args)
    assert str(caught.value) == text


@pytest.mark.parametrize("args", [
    (ParameterPreset.FGb, [0]),
    (ParameterPreset.FGb, (0,)),
    (ParameterPreset.FGb, frozenset({0})),
    (ParameterPreset.FGb, {2**31}),
    (ParameterPreset.FGb, {"0"}),
    (3,),
    (-16, 30, 61, 42, 61, 3),
    (16.0, 30, 61, 42, 61, 3),
    (16, 30, 61, 42, 61, 3, [0]),
])
def test_make_context_arguments_that_fit_no_overload(args):
    with pytest.raises(TypeError):
        pm.make_context(*args)


def test_context_file_round_trip(tmp_path):
    for args in [(ParameterPreset.FGd,), (12, 20, 55, 40, 55, 4)]:
        path = str(tmp_path / "context.bin")
        original = pm.make_context(*args)
        pm.save_context_to_file(original, path)
        loaded = pm.make_context_from_file(file_path=path.encode())
        assert loaded is not original
        for query in (pm.get_log_full_slots, pm.get_encryption_level, pm.is_sparse_secret_encapsulation_supported):
            assert query(loaded) == query(original)


def test_context_file_failures(tmp_path):
    missing = str(tmp_path / "missing.bin")
    with pytest.raises(RuntimeError) as caught:
        pm.make_context_from_file(missing)
    assert str(caught.value) == "[makeContextFromFile] Cannot open " + missing
    unwritable = str(tmp_path / "no-such-dir" / "context.bin")
    with pytest.raises(RuntimeError) as caught:
        pm.save_context_to_file(pm.make_context(ParameterPreset.FGb), unwritable)
    assert str(caught.value) == "Cannot open file " + unwritable
    short = tmp_path / "short.bin"
    short.write_bytes(b"\x03\x00")
    with pytest.raises(RuntimeError) as caught:
        pm.make_context_from_file(str(short))
    assert str(caught.value) == "Failed to read 4 bytes from input stream! Read 2"


@pytest.mark.parametrize("query, fgb, fgd", [
    (pm.get_log_full_slots, 15, 15),
    (pm.get_encryption_level, 12, 12),
    (pm.is_bootstrappable_parameter, True, True),
    (pm.is_extended_bootstrap_supported, True, True),
    (pm.is_sparse_secret_encapsulation_supported, False, True),
    (pm.get_security_level, getattr(SecurityLevel, "None"), getattr(SecurityLevel, "None")),
])
def test_context_queries(query, fgb, fgd):
    assert query(pm.make_context(ParameterPreset.FGb)) == fgb
    assert query(context=pm.make_context(ParameterPreset.FGd)) == fgd


def test_rotation_indices_for_bootstrap(ctx):
    indices = pm.get_rot_indices_for_bootstrap(ctx, log_slots=3)
    assert type(indices) is set
    assert indices == {-4, 1, 2, 3, 8, 16, 32, 64, 128, 256, 512, 1024, 2048, 4096, 8192, 16384}
    with pytest.raises(RuntimeError, match=r"^The parameter does not support bootstrap\.$"):
        pm.get_rot_indices_for_bootstrap(pm.make_context(ParameterPreset.ST19), 3)
    with pytest.raises(TypeError):
        pm.get_rot_indices_for_bootstrap(ctx, -1)


def test_sparse_parameter_preset():
    assert pm.get_sparse_parameter_preset_for(ParameterPreset.FGd) == ParameterPreset.SGd0
    with pytest.raises(RuntimeError) as caught:
        pm.get_sparse_parameter_preset_for(ParameterPreset.FGb)
    assert str(caught.value) == "This parameter preset does not have corresponding sparse parameter preset"


# (call, result, alert line printed while alerts are on)
SIMULATED_AWAY = [
    (lambda ctx: pm.get_default_scale_factor_lists(ctx), [], ALERTS["scale"]),
    (lambda ctx: pm.get_prime_lists(ctx), [], ALERTS["primes"]),
    (lambda ctx: pm.get_seed(), [0, 0, 0, 0], ALERTS["get_seed"]),
    (lambda ctx: pm.set_seed([1, 2, 3, 4]), None, ALERTS["set_seed"]),
    (lambda ctx: pm.set_seed(new_global_seed=(2**64 - 1, 0, 0, 0)), None, ALERTS["set_seed"]),
    (lambda ctx: pm.set_current_cuda_device(3), None, ALERTS["set_device"]),
    (lambda ctx: (pm.get_current_cuda_device().type, pm.get_current_cuda_device().id), (DeviceType.GPU, 0),
     2 * ALERTS["get_device"]),
    (lambda ctx: (pm.get_default_device().type, pm.get_default_device().id), (DeviceType.CPU, 0), ""),
]


@pytest.mark.parametrize("alerts", [True, False])
@pytest.mark.parametrize("call, result, line", SIMULATED_AWAY)
def test_simulated_away_functions(call, result, line, alerts, ctx, capfd):
    pm.simulate_alert(alerts)
    assert call(ctx) == result
    assert capfd.readouterr().out == (line if alerts else "")


def test_alerts_bypass_python_stdout(ctx, capsys):
    pm.get_prime_lists(ctx)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("seed", [[1, 2, 3], (1, 2, 3, 4, 5), [1, 2, 3, -4], [1.0, 2, 3, 4], "abcd", {1, 2, 3, 4}])
def test_seed_of_another_shape_fits_no_overload(seed):
    with pytest.raises(TypeError):
        pm.set_seed(seed)


def test_set_current_cuda_device_changes_nothing():
    pm.set_current_cuda_device(device_id=5)
    assert pm.get_current_cuda_device().id == 0
    with pytest.raises(TypeError):
        pm.set_current_cuda_device(2**31)


def test_stopwatch(ctx):
    assert pm.get_duration(ctx) == FGB_CREATION_MS
    assert pm.get_duration(ctx) == FGB_CREATION_MS
    pm.start_stopwatch(ctx)
    pm.stop_stopwatch(ctx)
    assert pm.get_duration(ctx) == 0


def test_switches_take_truth_values(ctx):
    for value in (True, False, 0, 1.5, None):
        assert pm.simulate_error(ctx, value) is None
        assert pm.simulate_alert(onoff=value) is None
    with pytest.raises(TypeError):
        pm.simulate_alert("yes")
