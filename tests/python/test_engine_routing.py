"""OrvaneEngine's fused CPU routing (set_routing_config / set_routing_weights / forward_moe_routed) against a
numpy reference of the router, the clamped SwiGLU with expert biases against a numpy reference of the
dequantized experts, and construction with an explicit thread count. Checkpoints come from conftest."""

import os
import sys
import zlib

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(__file__)), "fixtures"))

import orvane  # noqa: E402
from conftest import TINY_MOE, TINY_SWIGLU  # noqa: E402
from quant_reference import bf16_words, narrow_rne, quantize, widen  # noqa: E402

H, I, E, TOPK = TINY_MOE["hidden"], TINY_MOE["inter"], TINY_MOE["experts"], TINY_MOE["top_k"]
RSF = TINY_MOE["routed_scaling_factor"]
GS = 64
F32 = np.float32
LIMIT = TINY_SWIGLU["swiglu_limit"]
ALPHA = 1.702  # the clamped SwiGLU's sigmoid slope


# --- helpers -----------------------------------------------------------------------------------------------


def loaded(model_dir, **kw):
    eng = orvane.OrvaneEngine(**{k: kw.pop(k) for k in ("parallel", "num_threads", "skip_shared_experts")
                                 if k in kw})
    eng.load(str(model_dir), group_size=GS, **kw)
    return eng


@pytest.fixture(scope="module")
def engine(tiny_moe):
    return loaded(tiny_moe[0])


@pytest.fixture(scope="module")
def swiglu_engine(tiny_swiglu):
    return loaded(tiny_swiglu[0])


def token(rng, scale=0.5):
    return narrow_rne((rng.standard_normal(H) * scale).astype(F32))


def gate_words(rng, scale=0.05):
    return narrow_rne((rng.standard_normal((E, H)) * scale).astype(F32))


def exp32(x):
    """Single-precision exp, correctly rounded (formed in f64)."""
    return np.exp(np.asarray(x, F32).astype(np.float64)).astype(F32)


def seq_sum32(values):
    s = F32(0)
    for v in np.asarray(values, F32):
        s = F32(s + v)
    return s


def logits_ref(gate, x):
    """Per expert Σ_j g[e][j] · x[j] in f32, ascending j, product rounded before each add."""
    g = widen(gate).reshape(E, H)
    xs = widen(x)
    s = np.zeros(E, F32)
    for j in range(H):
        s = (s + (g[:, j] * xs[j]).astype(F32)).astype(F32)
    return s


def softmax32(v):
    v = np.asarray(v, F32)
    e = exp32((v - v.max()).astype(F32))
    return (e / seq_sum32(e)).astype(F32)


def choose(values, k):
    """k rounds of 'first strictly greatest not yet taken'; −∞/NaN never win; expert 0 when none does."""
    taken, chosen = set(), []
    for _ in range(k):
        best, best_v = 0, -np.inf
        for e, v in enumerate(values):
            if e not in taken and v > best_v:
                best, best_v = e, v
        taken.add(best)
        chosen.append(best)
    return chosen


def route_ref(gate, x, scoring, norm, k, bias=None, swiglu=False):
    logits = logits_ref(gate, x)
    if swiglu:
        vals = (logits + bias).astype(F32) if bias is not None else logits
        ids = choose(vals, k)
        return ids, softmax32(vals[ids])
    if scoring == "sigmoid":
        scores = (F32(1) / (F32(1) + exp32(-logits))).astype(F32)
    else:
        scores = softmax32(logits)
    vals = (scores + bias).astype(F32) if bias is not None else scores
    ids = choose(vals, k)
    w = scores[ids].astype(F32)
    if norm:
        s = seq_sum32(w)
        if s > 0:
            w = (w / s).astype(F32)
    return ids, w


def routed(eng, layer, x):
    x = np.ascontiguousarray(x, np.uint16)
    out = np.full(H, 0xABCD, np.uint16)
    eng.forward_moe_routed(layer, x.ctypes.data, out.ctypes.data)
    return out


def via_moe_forward(eng, layer, x, ids, weights):
    f32 = np.frombuffer(eng.moe_forward(layer, x.tobytes(), list(ids), [float(w) for w in weights]), F32)
    return narrow_rne(f32)


def configure(eng, scoring="softmax", norm=False, k=TOPK, layers=2):
    eng.set_routing_config(scoring, norm, k, E, H, layers)


def dequantize(t, bits=4):
    words = bf16_words(t)
    level, stored = quantize(words, GS, bits)
    rows, cols = words.shape
    s = widen(stored).astype(np.float64)
    return (level.reshape(rows, cols // GS, GS) * s[:, :, None]).reshape(rows, cols)


# --- routing against the numpy router ------------------------------------------------------------------------


def one_hot_token(first):
    x = np.zeros(H, np.uint16)
    x[0] = narrow_rne(np.array([first], F32))[0]
    return x


def crafted_gate(column0):
    """A gate whose logits for one_hot_token(1.0) are exactly column0 (every other column is irrelevant)."""
    g = gate_words(np.random.default_rng(0))
    g[:, 0] = narrow_rne(np.asarray(column0, F32))
    return g


ROUTING_CASES = [
    # (name, scoring, norm, k, bias kind)
    ("softmax", "softmax", False, 4, None),
    ("softmax-norm", "softmax", True, 4, None),
    ("sigmoid", "sigmoid", False, 4, None),
    ("sigmoid-norm-bias", "sigmoid", True, 4, "random"),
    ("sigmoid-bias-lifts-weakest", "sigmoid", False, 3, "lift"),
    ("softmax-bias-lifts-weakest", "softmax", True, 2, "lift"),
    ("other-text-is-softmax", "Sigmoid", False, 4, None),
    ("k1", "sigmoid", False, 1, None),
    ("k-all", "softmax", False, E, None),
]


@pytest.mark.parametrize("name, scoring, norm, k, bias_kind", ROUTING_CASES, ids=[c[0] for c in ROUTING_CASES])
@pytest.mark.parametrize("parallel", [True, False])
def test_routed_forward_matches_reference_routing(tiny_moe, name, scoring, norm, k, bias_kind, parallel):
    eng = loaded(tiny_moe[0], parallel=parallel)
    rng = np.random.default_rng(zlib.crc32(name.encode()))
    configure(eng, scoring, norm, k)
    gates = [gate_words(rng) for _ in range(2)]
    for layer in (0, 1):
        x = token(rng)
        bias = None
        if bias_kind == "random":
            bias = (rng.standard_normal(E) * 0.05).astype(F32)
        elif bias_kind == "lift":
            bias = np.zeros(E, F32)
            bias[int(np.argmin(logits_ref(gates[layer], x)))] = F32(10.0)
        for idx, g in enumerate(gates):
            eng.set_routing_weights(idx, g.tobytes(), None if bias is None else bias.tobytes())
        ids, w = route_ref(gates[layer], x, scoring, norm, k, bias)
        if bias_kind == "lift":
            assert ids[0] == int(np.argmin(logits_ref(gates[layer], x)))
            assert w[0] < 0.5 or norm  # the bias chose it; the weight is the unbiased score
        if norm:
            assert abs(float(np.sum(w, dtype=np.float64)) - 1.0) < 1e-6
        got = routed(eng, layer, x)
        np.testing.assert_array_equal(got, via_moe_forward(eng, layer, x, ids, w), err_msg=f"{name} layer {layer}")
        # A different choice or different weights would change the output.
        other = choose(-logits_ref(gates[layer], x), k)
        if sorted(other) != sorted(ids):
            assert not np.array_equal(got, via_moe_forward(eng, layer, x, other, w))


@pytest.mark.parametrize("scoring, norm, column0, k, expected_ids, expected_weights", [
    # Ties go to the lower index; the weights are full-softmax probabilities (or 0.5 each when normalised).
    ("softmax", False, [1, 3, 3, 0, -1, -2, -3, -4], 2, [1, 2], None),
    ("softmax", True, [1, 3, 3, 0, -1, -2, -3, -4], 2, [1, 2], [0.5, 0.5]),
    ("sigmoid", False, [0, 0, 2, 0, 5, 0, 0, 1], 3, [4, 2, 7], None),
    ("sigmoid", True, [-4, -4, -4, -4, -4, -4, -4, -4], 2, [0, 1], [0.5, 0.5]),
])
def test_crafted_logits_choose_and_weigh(engine, scoring, norm, column0, k, expected_ids, expected_weights):
    configure(engine, scoring, norm, k)
    gate = crafted_gate(column0)
    engine.set_routing_weights(0, gate.tobytes())
    x = one_hot_token(1.0)
    np.testing.assert_array_equal(logits_ref(gate, x), np.asarray(column0, F32))
    ids, w = route_ref(gate, x, scoring, norm, k)
    assert ids == expected_ids
    if expected_weights is not None:
        np.testing.assert_allclose(w, expected_weights, rtol=1e-6)
    elif scoring == "softmax":
        full = np.exp(np.asarray(column0, np.float64))
        np.testing.assert_allclose(w, full[ids] / full.sum(), rtol=1e-6)
    else:
        np.testing.assert_allclose(w, 1 / (1 + np.exp(-np.asarray(column0, np.float64)[ids])), rtol=1e-6)
    np.testing.assert_array_equal(routed(engine, 0, x), via_moe_forward(engine, 0, x, ids, w))


@pytest.mark.parametrize("bias_kind", [None, "random", "lift"])
@pytest.mark.parametrize("scoring, norm", [("sigmoid", False), ("softmax", True)])
def test_swiglu_model_routes_topk_then_softmax(swiglu_engine, scoring, norm, bias_kind):
    """With a swiglu limit the choice is on the (biased) logits and the weights are the softmax of the chosen
    biased logits, whatever scoring_func and norm_topk_prob say."""
    rng = np.random.default_rng(zlib.crc32(f"{scoring}/{bias_kind}".encode()))
    configure(swiglu_engine, scoring, norm, TOPK, layers=3)
    for layer in range(3):
        gate = gate_words(rng, 0.2)
        x = token(rng)
        logits = logits_ref(gate, x)
        bias = None
        if bias_kind == "random":
            bias = (rng.standard_normal(E) * 0.5).astype(F32)
        elif bias_kind == "lift":
            bias = np.zeros(E, F32)
            bias[int(np.argmin(logits))] = F32(100.0)
        swiglu_engine.set_routing_weights(layer, gate.tobytes(), None if bias is None else bias.tobytes())
        ids, w = route_ref(gate, x, scoring, norm, TOPK, bias, swiglu=True)
        assert abs(float(np.sum(w, dtype=np.float64)) - 1.0) < 1e-6
        if bias_kind == "lift":
            assert ids[0] == int(np.argmin(logits)) and w[0] > 0.999  # the bias enters the softmax here
        np.testing.assert_array_equal(routed(swiglu_engine, layer, x), via_moe_forward(swiglu_engine, layer, x, ids, w))
        # The scoring of models without a limit would have weighed the experts differently (except the
        # normalised softmax without a bias, which is the same distribution).
        if scoring == "sigmoid" or bias is not None:
            _, plain_w = route_ref(gate, x, scoring, norm, TOPK, bias)
            assert not np.allclose(plain_w, w)


def test_weights_are_per_layer_replaceable_and_reset_by_config(engine):
    rng = np.random.default_rng(40)
    configure(engine, "sigmoid", True, 2)
    g0, g1, g2 = gate_words(rng), gate_words(rng), gate_words(rng)
    engine.set_routing_weights(1, g1.tobytes())
    x = token(rng)
    with pytest.raises(RuntimeError) as info:
        routed(engine, 0, x)
    assert str(info.value) == "Routing weights not set for layer 0"
    engine.set_routing_weights(0, g0.tobytes())
    for layer, g in ((0, g0), (1, g1)):
        ids, w = route_ref(g, x, "sigmoid", True, 2)
        np.testing.assert_array_equal(routed(engine, layer, x), via_moe_forward(engine, layer, x, ids, w))
    engine.set_routing_weights(0, g2.tobytes())  # replaces, and drops the earlier bias-free entry's gate
    ids, w = route_ref(g2, x, "sigmoid", True, 2)
    np.testing.assert_array_equal(routed(engine, 0, x), via_moe_forward(engine, 0, x, ids, w))
    configure(engine, "sigmoid", True, 2)
    for layer in (0, 1):
        with pytest.raises(RuntimeError) as info:
            routed(engine, layer, x)
        assert str(info.value) == f"Routing weights not set for layer {layer}"


# --- errors ----------------------------------------------------------------------------------------------------


def test_routing_errors_before_load():
    eng = orvane.OrvaneEngine()
    with pytest.raises(RuntimeError) as info:
        eng.set_routing_weights(0, bytes(2 * E * H))
    assert str(info.value) == "Call set_routing_config first"
    x = np.zeros(H, np.uint16)
    with pytest.raises(RuntimeError) as info:
        routed(eng, 0, x)
    assert str(info.value) == "Model not loaded"
    configure(eng)
    eng.set_routing_weights(0, bytes(2 * E * H))  # storing needs no model
    with pytest.raises(RuntimeError) as info:
        routed(eng, 0, x)
    assert str(info.value) == "Model not loaded"


def test_forward_without_config_on_loaded_engine(tiny_moe):
    eng = loaded(tiny_moe[0])
    x = np.zeros(H, np.uint16)
    out = np.full(H, 0x1234, np.uint16)
    with pytest.raises(RuntimeError) as info:
        eng.forward_moe_routed(0, x.ctypes.data, out.ctypes.data)
    assert str(info.value) == "Routing config not set"
    assert (out == 0x1234).all()


@pytest.mark.parametrize("layer, gate_len, bias_len, exc, message", [
    (0, 2 * E * H - 2, None, ValueError, f"Expected {2 * E * H} gate bytes, got {2 * E * H - 2}"),
    (0, 2 * E * H + 2, None, ValueError, f"Expected {2 * E * H} gate bytes, got {2 * E * H + 2}"),
    (0, 0, None, ValueError, f"Expected {2 * E * H} gate bytes, got 0"),
    (0, 2 * E * H, 4 * E - 4, ValueError, f"Expected {4 * E} bias bytes, got {4 * E - 4}"),
    (0, 2 * E * H, 0, ValueError, f"Expected {4 * E} bias bytes, got 0"),
    (2, 2 * E * H, None, ValueError, "moe_layer_idx 2 >= num_moe_layers 2"),
    (7, 2 * E * H, 4 * E, ValueError, "moe_layer_idx 7 >= num_moe_layers 2"),
    # Checked in order: the gate size before the bias size before the layer.
    (9, 2 * E * H - 2, 3, ValueError, f"Expected {2 * E * H} gate bytes, got {2 * E * H - 2}"),
    (9, 2 * E * H, 3, ValueError, f"Expected {4 * E} bias bytes, got 3"),
])
def test_set_routing_weights_errors(engine, layer, gate_len, bias_len, exc, message):
    configure(engine)
    with pytest.raises(exc) as info:
        engine.set_routing_weights(layer, bytes(gate_len), None if bias_len is None else bytes(bias_len))
    assert str(info.value) == message
    # Nothing was stored.
    with pytest.raises(RuntimeError) as info:
        routed(engine, 0, np.zeros(H, np.uint16))
    assert str(info.value) == "Routing weights not set for layer 0"


@pytest.mark.parametrize("layer", [1, 2, 100])
def test_forward_on_unset_or_missing_layer(engine, layer):
    configure(engine)
    engine.set_routing_weights(0, gate_words(np.random.default_rng(1)).tobytes())
    out = np.full(H, 0x1234, np.uint16)
    x = np.zeros(H, np.uint16)
    with pytest.raises(RuntimeError) as info:
        engine.forward_moe_routed(layer, x.ctypes.data, out.ctypes.data)
    assert str(info.value) == f"Routing weights not set for layer {layer}"
    assert (out == 0x1234).all()


# --- clamped SwiGLU and expert biases ---------------------------------------------------------------------------


def swiglu_expert_ref(tensors, model_layer, expert, x, clamp=True, biases=True):
    if expert is None:
        p = f"model.layers.{model_layer}.mlp.shared_experts"
        bg = bu = np.zeros(I)
        bd = np.zeros(H)
    else:
        p = f"model.layers.{model_layer}.mlp.experts.{expert}"
        gu = widen(bf16_words(tensors[f"model.layers.{model_layer}.mlp.experts.gate_up_proj_bias"]))[expert]
        bg, bu = gu[0::2].astype(np.float64), gu[1::2].astype(np.float64)
        bd = widen(bf16_words(tensors[f"model.layers.{model_layer}.mlp.experts.down_proj_bias"]))[expert]
        bd = bd.astype(np.float64)
        if not biases:
            bg, bu, bd = np.zeros(I), np.zeros(I), np.zeros(H)
    g = dequantize(tensors[f"{p}.gate_proj.weight"]) @ x + bg
    u = dequantize(tensors[f"{p}.up_proj.weight"]) @ x + bu
    if clamp:
        g = np.minimum(g, LIMIT)
        u = np.clip(u, -LIMIT, LIMIT)
    h = g / (1.0 + np.exp(-ALPHA * g)) * (u + 1.0)
    return dequantize(tensors[f"{p}.down_proj.weight"]) @ h + bd


def swiglu_layer_ref(tensors, model_layer, x_words, ids, weights, **kw):
    x = widen(x_words).astype(np.float64)
    routed_sum = np.zeros(H)
    for e, w in zip(ids, weights):
        routed_sum += float(F32(w)) * swiglu_expert_ref(tensors, model_layer, e, x, **kw)
    return routed_sum * RSF + swiglu_expert_ref(tensors, model_layer, None, x, clamp=kw.get("clamp", True))


SWIGLU_ROUTINGS = [([0], [1.0]), ([1, 3, 5, 7], [0.4, 0.3, 0.2, 0.1]), ([6, 2], [0.75, 0.5])]


@pytest.mark.parametrize("start_layer", [None, 1, 2])
@pytest.mark.parametrize("parallel", [True, False])
def test_clamped_swiglu_with_biases_matches_reference(tiny_swiglu, start_layer, parallel):
    model_dir, tensors = tiny_swiglu
    kw = {} if start_layer is None else {"start_layer": start_layer}
    eng = loaded(model_dir, parallel=parallel, **kw)
    first = TINY_SWIGLU["first_dense"]
    offset = start_layer or 0
    assert eng.num_moe_layers() == TINY_SWIGLU["layers"] - offset
    rng = np.random.default_rng(100 + offset)
    clamped_somewhere = False
    for layer in range(eng.num_moe_layers()):
        model_layer = layer + first + offset
        for ids, weights in SWIGLU_ROUTINGS:
            x = token(rng)
            got = np.frombuffer(eng.moe_forward(layer, x.tobytes(), ids, weights), F32)
            ref = swiglu_layer_ref(tensors, model_layer, x, ids, weights)
            tol = 2e-3 * np.max(np.abs(ref))
            assert np.max(np.abs(got - ref)) <= tol, (layer, ids)
            # The reference without the clamp, or without the biases, or with another layer's biases, is far
            # from the engine's result: the test sees both.
            unclamped = swiglu_layer_ref(tensors, model_layer, x, ids, weights, clamp=False)
            clamped_somewhere |= bool(np.max(np.abs(got - unclamped)) > 10 * tol)
            assert np.max(np.abs(got - swiglu_layer_ref(tensors, model_layer, x, ids, weights, biases=False))) > 10 * tol
            other = first + (model_layer - first + 1) % TINY_SWIGLU["layers"]
            wrong = swiglu_layer_ref(tensors, other, x, ids, weights)
            assert np.max(np.abs(got - wrong)) > 10 * tol
    assert clamped_somewhere


def test_swiglu_clamp_bounds_hold_in_reference_inputs(tiny_swiglu):
    """The fixture's biases push gate values above the limit and up values outside ±limit."""
    _, tensors = tiny_swiglu
    gu = widen(bf16_words(tensors["model.layers.1.mlp.experts.gate_up_proj_bias"]))
    assert (gu[:, 0::2] > LIMIT).any() and (np.abs(gu[:, 1::2]) > LIMIT).any()


# --- construction with a thread count ------------------------------------------------------------------------------


@pytest.mark.parametrize("num_threads", [2, 1])
def test_num_threads_construction_loads_and_computes(tiny_moe, num_threads):
    model_dir, _ = tiny_moe
    eng = loaded(model_dir, num_threads=num_threads)
    assert eng.is_parallel() is True and eng.num_moe_layers() == 2
    ref = loaded(model_dir, parallel=False)
    rng = np.random.default_rng(num_threads)
    x = token(rng)
    ids, w = [1, 3, 5, 7], [0.4, 0.3, 0.2, 0.1]
    got = np.frombuffer(eng.moe_forward(0, x.tobytes(), ids, w), F32)
    want = np.frombuffer(ref.moe_forward(0, x.tobytes(), ids, w), F32)
    np.testing.assert_allclose(got, want, rtol=1e-5, atol=1e-5 * np.max(np.abs(want)))
    configure(eng, "sigmoid", False, 2)
    gate = gate_words(rng)
    eng.set_routing_weights(1, gate.tobytes())
    r_ids, r_w = route_ref(gate, x, "sigmoid", False, 2)
    np.testing.assert_array_equal(routed(eng, 1, x), via_moe_forward(eng, 1, x, r_ids, r_w))
