"""The module surface: registration, signatures, argument conversion and the internal-failure type."""

import inspect
import os
import subprocess
import sys

import numpy as np
import pytest

import orvane


def test_module_attributes():
    assert orvane.__name__ == "orvane"
    assert orvane.__doc__ == "Orvane — hybrid LLM MoE runtime"
    assert orvane.CpuDecodeStore.__doc__ == (
        "CPU decode weight store — holds quantized non-MoE weights for fast matmul.")
    assert orvane.WeightStore.__doc__ == "Manages loaded expert weights for all MoE layers."
    assert orvane.OrvaneEngine.__doc__ is None


def test_registration_order():
    names = [n for n in vars(orvane) if not n.startswith("_")]
    assert names[:4] == ["OrvaneEngine", "WeightStore", "CpuDecodeStore", "system_check"]


@pytest.mark.parametrize("obj, expected", [
    (orvane.OrvaneEngine, "(parallel=True, num_threads=None, skip_shared_experts=False)"),
    (orvane.CpuDecodeStore, "(group_size=128, parallel=True, norm_bias_one=False)"),
    (orvane.WeightStore, "()"),
    (orvane.CpuDecodeStore.store_weight_f32, "(self, /, data_ptr, rows, cols, num_bits)"),
    (orvane.CpuDecodeStore.matmul, "(self, /, weight_id, input_ptr, output_ptr)"),
    (orvane.CpuDecodeStore.matmul_batch, "(self, /, weight_ids, input_ptr, output_ptrs)"),
    (orvane.CpuDecodeStore.store_route_weight,
     "(self, /, data_ptr, num_experts, hidden_dim, bias_ptr=None, bias_len=0, e_score_corr_ptr=None, "
     "e_score_corr_len=0)"),
    (orvane.CpuDecodeStore.num_weights, "(self, /)"),
])
def test_text_signatures(obj, expected):
    assert str(inspect.signature(obj)) == expected


def test_bound_method_signature_drops_self():
    s = orvane.CpuDecodeStore()
    assert list(inspect.signature(s.weight_bytes).parameters) == ["weight_id"]


@pytest.mark.parametrize("cls", [orvane.CpuDecodeStore, orvane.WeightStore])
def test_classes_are_final(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1}), ((None,), {})])
def test_weight_store_takes_no_arguments(args, kwargs):
    with pytest.raises(TypeError):
        orvane.WeightStore(*args, **kwargs)
    assert isinstance(orvane.WeightStore(), orvane.WeightStore)


def test_constructor_keywords_and_none_means_default():
    s = orvane.CpuDecodeStore(group_size=None, parallel=None, norm_bias_one=None)
    w = np.ones((4, 128), np.float32)
    assert s.store_weight_f32(w.ctypes.data, 4, 128, 4) == 0  # default group size 128 accepts cols=128
    s2 = orvane.CpuDecodeStore(64, False, True)
    assert s2.store_weight_f32(data_ptr=w.ctypes.data, rows=4, cols=128, num_bits=8) == 0


@pytest.mark.parametrize("call, exc, message", [
    (lambda s: s.matmul(-1, 0, 0), OverflowError, None),
    (lambda s: s.matmul(2**64, 0, 0), OverflowError, None),
    (lambda s: s.store_weight_f32(0, 1, 8, 256), OverflowError, None),
    (lambda s: s.store_weight_f32(0, 1, 8, -4), OverflowError, None),
    (lambda s: s.matmul(1.5, 0, 0), TypeError, "argument 'weight_id': "),
    (lambda s: s.matmul("0", 0, 0), TypeError, "argument 'weight_id': "),
    (lambda s: s.matmul(None, 0, 0), TypeError, "argument 'weight_id': "),
    (lambda s: s.matmul_batch("ab", 0, []), TypeError, "argument 'weight_ids': "),
    (lambda s: s.matmul_batch([0], 0, "a"), TypeError, "argument 'output_ptrs': "),
    (lambda s: s.matmul_batch(5, 0, []), TypeError, "argument 'weight_ids': "),
    (lambda s: s.matmul_batch([0, "x"], 0, [0, 0]), TypeError, "argument 'weight_ids': "),
    (lambda s: s.matmul_batch([0, -1], 0, [0, 0]), OverflowError, None),
    (lambda s: s.matmul(0, 0), TypeError, "matmul"),
    (lambda s: s.matmul(0, 0, 0, 0), TypeError, "matmul"),
    (lambda s: s.matmul(0, 0, 0, weight_id=0), TypeError, "multiple values for argument 'weight_id'"),
    (lambda s: s.matmul(0, 0, 0, bogus=1), TypeError, "unexpected keyword argument 'bogus'"),
    (lambda s: s.num_weights(1), TypeError, None),
    (lambda s: orvane.CpuDecodeStore(parallel=1), TypeError, "argument 'parallel': "),
    (lambda s: orvane.CpuDecodeStore(group_size=-1), OverflowError, None),
])
def test_argument_errors(call, exc, message):
    s = orvane.CpuDecodeStore()
    with pytest.raises(exc) as info:
        call(s)
    assert type(info.value) is exc
    if message is not None:
        assert message in str(info.value)
    if exc is TypeError and message and message.startswith("argument"):
        assert str(info.value).startswith(message)


def test_sequences_accept_any_sequence_type():
    s = orvane.CpuDecodeStore()
    w = np.ones((8, 128), np.float32)
    wid = s.store_weight_f32(w.ctypes.data, 8, 128, 4)
    x = np.ones(128, np.float32)
    out = [np.zeros(8, np.float32) for _ in range(2)]
    s.matmul_batch((wid, wid), x.ctypes.data, np.array([o.ctypes.data for o in out], dtype=np.uint64))
    np.testing.assert_array_equal(out[0], out[1])
    assert out[0][0] != 0


def test_internal_error_is_not_an_exception():
    assert issubclass(orvane.InternalError, BaseException)
    assert not issubclass(orvane.InternalError, Exception)
    s = orvane.CpuDecodeStore()
    with pytest.raises(orvane.InternalError, match="index out of bounds"):
        try:
            s.weight_bytes(3)
        except Exception:  # must not catch it
            pytest.fail("InternalError was caught by `except Exception`")
    # The instance stays usable.
    assert s.num_weights() == 0


def _run_python(code, env_extra=None):
    env = {k: v for k, v in os.environ.items() if k != "SPDLOG_LEVEL"}
    env.update(env_extra or {})
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)


LOGGING_SNIPPET = """
import numpy as np, orvane
s = orvane.CpuDecodeStore(group_size=32)
w = np.ones((4, 64), np.float32)
s.store_weight_f32(w.ctypes.data, 4, 64, 8)
r = np.ones((3, 16), np.float32)
s.store_route_weight(r.ctypes.data, 3, 16)
"""


def test_logging_is_quiet_by_default_and_follows_the_environment():
    quiet = _run_python(LOGGING_SNIPPET)
    assert quiet.returncode == 0, quiet.stderr
    assert quiet.stderr == ""
    loud = _run_python(LOGGING_SNIPPET, {"SPDLOG_LEVEL": "orvane::decode=debug"})
    assert loud.returncode == 0, loud.stderr
    assert "Stored weight 0: [4x64] INT8 transposed, 0.3 KB" in loud.stderr
    assert "Stored route weight 0: [3x16] f32, 0.2 KB" in loud.stderr
    assert "[orvane::decode]" in loud.stderr
    info_only = _run_python(LOGGING_SNIPPET, {"SPDLOG_LEVEL": "info"})
    assert "Stored weight" not in info_only.stderr
