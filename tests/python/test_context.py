# The class Context: its history methods and how the report reaches Python.
import contextlib
import io
import sys

import pytest

import pymorvane

EMPTY_REPORT = ("================ Operation Usage =================\n"
                "| operation                              | count |\n"
                "|----------------------------------------|-------|\n"
                "|----------------------------------------|-------|\n")


def test_new_context_has_an_empty_history(ctx):
    assert ctx.get_history() == {}
    assert ctx.clear_history() is None
    assert ctx.get_history() == {}


@pytest.mark.parametrize("verbose", [False, True])
def test_report_goes_through_python_print(ctx, verbose, capsys):
    ctx.repr_history(verbose=verbose)
    assert capsys.readouterr().out == EMPTY_REPORT + "\n"


def test_history_counts_in_label_order_and_the_report_verbosity(ctx, capsys):
    generator = pymorvane.KeyGenerator(ctx, pymorvane.SecretKey(ctx))
    pymorvane.HomEvaluator(ctx, generator.keypack)
    generator.gen_enc_key()
    # Counted after "Generate homevaluator", listed before it: the dict follows the labels' byte order.
    assert list(ctx.get_history().items()) == [("Generate encryption key", 1), ("Generate homevaluator", 1)]
    ctx.repr_history(False)
    assert capsys.readouterr().out == EMPTY_REPORT + "\n"
    ctx.repr_history(True)
    assert capsys.readouterr().out == ("================ Operation Usage =================\n"
                                       "| operation                              | count |\n"
                                       "|----------------------------------------|-------|\n"
                                       "| Generate encryption key                |     1 |\n"
                                       "| Generate homevaluator                  |     1 |\n"
                                       "|----------------------------------------|-------|\n\n")


def test_report_follows_a_redirected_stdout(ctx):
    buffer = io.StringIO()
    with contextlib.redirect_stdout(buffer):
        ctx.repr_history(False)
    assert buffer.getvalue() == EMPTY_REPORT + "\n"


def test_failing_stdout_write_propagates(ctx):
    class Failing:
        def write(self, text):
            raise OSError("disk full")

    with contextlib.redirect_stdout(Failing()), pytest.raises(OSError, match="disk full"):
        ctx.repr_history(False)


def test_report_without_sys_stdout_prints_nothing(ctx, monkeypatch):
    monkeypatch.delattr(sys, "stdout")
    assert ctx.repr_history(True) is None


@pytest.mark.parametrize("args", [(), ("yes",), (False, False)])
def test_repr_history_needs_one_truth_value(ctx, args):
    with pytest.raises(TypeError):
        ctx.repr_history(*args)


def test_contexts_compare_by_identity(ctx):
    other = pymorvane.make_context(pymorvane.ParameterPreset.FGb)
    assert ctx == ctx and ctx != other
    assert hash(ctx) != hash(other)
    assert repr(ctx).startswith("<pymorvane.Context object at ")
