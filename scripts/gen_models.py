#!/usr/bin/python3
"""Builds the ONNX model fixtures under tests/fixtures/models/.

Run with Debian's interpreter (python3-onnx, python3-numpy):

    /usr/bin/python3 scripts/gen_models.py            # all models
    /usr/bin/python3 scripts/gen_models.py policy     # only the named ones

Every model is built with onnx.helper, checked with onnx.checker and written with fixed
random seeds, so regenerating gives byte-identical files. Add a model by writing one small
function that returns a ModelProto (or bytes for a deliberately broken file) and listing it
in MODELS.
"""
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 13
IR_VERSION = 8
FLOAT_MIN = -3.4e38

OUT_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "fixtures", "models")

F32 = TensorProto.FLOAT
F64 = TensorProto.DOUBLE
I64 = TensorProto.INT64


# --- helpers -------------------------------------------------------------------------------------

def model(nodes, inputs, outputs, initializers=(), name="graph", producer="tavrin-inference fixtures"):
    graph = helper.make_graph(list(nodes), name, list(inputs), list(outputs), list(initializers))
    m = helper.make_model(graph, producer_name=producer, opset_imports=[helper.make_opsetid("", OPSET)])
    m.ir_version = IR_VERSION
    onnx.checker.check_model(m, full_check=True)
    return m


def tensor(name, elem_type, shape):
    return helper.make_tensor_value_info(name, elem_type, shape)


def const(name, array):
    return numpy_helper.from_array(np.asarray(array), name)


def i64(name, values):
    return const(name, np.asarray(values, dtype=np.int64))


def mlp_policy(name, obs_size, hidden, num_outputs, seed, obs_name="observations", with_mask=True):
    """A policy as common training setups export it: a tanh MLP trunk, a logits head and a value
    head; forbidden actions get FLOAT_MIN added through max(log(mask), FLOAT_MIN)."""
    rng = np.random.RandomState(seed)
    inits, nodes = [], []
    prev, prev_size = obs_name, obs_size
    for i, width in enumerate(hidden):
        w = (rng.randn(prev_size, width) / np.sqrt(prev_size)).astype(np.float32)
        b = (0.01 * rng.randn(width)).astype(np.float32)
        inits += [const(f"W{i}", w), const(f"b{i}", b)]
        nodes += [helper.make_node("Gemm", [prev, f"W{i}", f"b{i}"], [f"z{i}"]),
                  helper.make_node("Tanh", [f"z{i}"], [f"h{i}"])]
        prev, prev_size = f"h{i}", width
    wl = (0.01 * rng.randn(prev_size, num_outputs)).astype(np.float32)
    bl = np.zeros(num_outputs, dtype=np.float32)
    wv = (rng.randn(prev_size, 1) / np.sqrt(prev_size)).astype(np.float32)
    bv = np.zeros(1, dtype=np.float32)
    inits += [const("Wl", wl), const("bl", bl), const("Wv", wv), const("bv", bv), i64("squeeze_axes", [1])]
    logits = "logits" if with_mask else "action_dist_inputs"
    nodes += [helper.make_node("Gemm", [prev, "Wl", "bl"], [logits]),
              helper.make_node("Gemm", [prev, "Wv", "bv"], ["value"]),
              helper.make_node("Squeeze", ["value", "squeeze_axes"], ["vf_preds"])]
    inputs = [tensor(obs_name, F32, [1, obs_size])]
    if with_mask:
        inits.append(const("float_min", np.float32(FLOAT_MIN)))
        nodes += [helper.make_node("Cast", ["action_mask"], ["mask_f"], to=F32),
                  helper.make_node("Log", ["mask_f"], ["log_mask"]),
                  helper.make_node("Max", ["log_mask", "float_min"], ["inf_mask"]),
                  helper.make_node("Add", [logits, "inf_mask"], ["action_dist_inputs"])]
        inputs.append(tensor("action_mask", F64, [1, num_outputs]))
    outputs = [tensor("action_dist_inputs", F32, [1, num_outputs]), tensor("vf_preds", F32, [1])]
    return model(nodes, inputs, outputs, inits, name=name)


# --- models --------------------------------------------------------------------------------------
# The small behavioural fixtures compute simple functions of their inputs so tests can derive the
# expected outputs from what they feed; the formulas are listed in tests/fixtures/models/README.md.

def policy():
    """obs (1, 4) float32 + action_mask (1, 3) float64 ->
    action_dist_inputs = obs[:, :3] + 10 * mask (float32), vf_preds = sum(obs) (float32, (1)),
    mask_echo = mask (float64), best_action = argmax(action_dist_inputs) (int64, (1, 1))."""
    nodes = [
        helper.make_node("Slice", ["observations", "starts", "ends", "axes"], ["head"]),
        helper.make_node("Cast", ["action_mask"], ["mask_f"], to=F32),
        helper.make_node("Mul", ["mask_f", "ten"], ["mask_10"]),
        helper.make_node("Add", ["head", "mask_10"], ["action_dist_inputs"]),
        helper.make_node("ReduceSum", ["observations", "axes"], ["vf_preds"], keepdims=0),
        helper.make_node("Identity", ["action_mask"], ["mask_echo"]),
        helper.make_node("ArgMax", ["action_dist_inputs"], ["best_action"], axis=1, keepdims=1),
    ]
    inits = [i64("starts", [0]), i64("ends", [3]), i64("axes", [1]), const("ten", np.float32(10.0))]
    return model(nodes,
                 [tensor("observations", F32, [1, 4]), tensor("action_mask", F64, [1, 3])],
                 [tensor("action_dist_inputs", F32, [1, 3]), tensor("vf_preds", F32, [1]),
                  tensor("mask_echo", F64, [1, 3]), tensor("best_action", I64, [1, 1])],
                 inits, name="policy")


def policy_no_mask():
    """observation (1, 4) only -> action_dist_inputs = 2 * obs[:, :3], vf_preds = sum(obs)."""
    nodes = [
        helper.make_node("Slice", ["observation", "starts", "ends", "axes"], ["head"]),
        helper.make_node("Mul", ["head", "two"], ["action_dist_inputs"]),
        helper.make_node("ReduceSum", ["observation", "axes"], ["vf_preds"], keepdims=0),
    ]
    inits = [i64("starts", [0]), i64("ends", [3]), i64("axes", [1]), const("two", np.float32(2.0))]
    return model(nodes, [tensor("observation", F32, [1, 4])],
                 [tensor("action_dist_inputs", F32, [1, 3]), tensor("vf_preds", F32, [1])],
                 inits, name="policy_no_mask")


def policy_abbrev_obs():
    """obs (1, 4) first, action_mask (1, 3) second; no input name contains the word, so the
    first input takes the observation. Outputs as in `policy` minus best_action."""
    nodes = [
        helper.make_node("Slice", ["obs", "starts", "ends", "axes"], ["head"]),
        helper.make_node("Cast", ["action_mask"], ["mask_f"], to=F32),
        helper.make_node("Mul", ["mask_f", "ten"], ["mask_10"]),
        helper.make_node("Add", ["head", "mask_10"], ["action_dist_inputs"]),
        helper.make_node("ReduceSum", ["obs", "axes"], ["vf_preds"], keepdims=0),
        helper.make_node("Identity", ["action_mask"], ["mask_echo"]),
    ]
    inits = [i64("starts", [0]), i64("ends", [3]), i64("axes", [1]), const("ten", np.float32(10.0))]
    return model(nodes, [tensor("obs", F32, [1, 4]), tensor("action_mask", F64, [1, 3])],
                 [tensor("action_dist_inputs", F32, [1, 3]), tensor("vf_preds", F32, [1]),
                  tensor("mask_echo", F64, [1, 3])],
                 inits, name="policy_abbrev_obs")


def name_rules():
    """Inputs in order: aux (1, 4), Agent_OBSERVATION_now (1, 4), observation_prev (1, 4),
    legal_ACTION_MASK (1, 3) float64, action_mask_extra (1, 3) float64. aux, observation_prev
    and action_mask_extra have zero defaults (initializers), so only the matched inputs need
    feeding. action_dist_inputs = now + 100 * aux + 10000 * prev (float32, (1, 4));
    mask_echo = legal_ACTION_MASK + 100 * action_mask_extra (float64, (1, 3))."""
    nodes = [
        helper.make_node("Mul", ["aux", "hundred"], ["aux_100"]),
        helper.make_node("Mul", ["observation_prev", "ten_thousand"], ["prev_10k"]),
        helper.make_node("Add", ["Agent_OBSERVATION_now", "aux_100"], ["partial"]),
        helper.make_node("Add", ["partial", "prev_10k"], ["action_dist_inputs"]),
        helper.make_node("Mul", ["action_mask_extra", "hundred_d"], ["extra_100"]),
        helper.make_node("Add", ["legal_ACTION_MASK", "extra_100"], ["mask_echo"]),
    ]
    zeros4 = np.zeros((1, 4), dtype=np.float32)
    inits = [const("aux", zeros4), const("observation_prev", zeros4),
             const("action_mask_extra", np.zeros((1, 3), dtype=np.float64)),
             const("hundred", np.float32(100.0)), const("ten_thousand", np.float32(10000.0)),
             const("hundred_d", np.float64(100.0))]
    return model(nodes,
                 [tensor("aux", F32, [1, 4]), tensor("Agent_OBSERVATION_now", F32, [1, 4]),
                  tensor("observation_prev", F32, [1, 4]), tensor("legal_ACTION_MASK", F64, [1, 3]),
                  tensor("action_mask_extra", F64, [1, 3])],
                 [tensor("action_dist_inputs", F32, [1, 4]), tensor("mask_echo", F64, [1, 3])],
                 inits, name="name_rules")


def abbrev_obs_renamed():
    """`policy_abbrev_obs` with every node reading its input "obs" as "observations" (the graph's
    inputs are left to the caller)."""
    m = policy_abbrev_obs()
    for node in m.graph.node:
        node.input[:] = ["observations" if i == "obs" else i for i in node.input]
    return m


def edited(m, name):
    """`m`, named `name`, checked again after its graph was edited."""
    m.graph.name = name
    onnx.checker.check_model(m, full_check=True)
    return m


def mask_first():
    """action_mask (1, 3) float64 first, observations (1, 4) second; outputs as in `policy`
    minus best_action."""
    m = abbrev_obs_renamed()
    g = m.graph
    obs, mask = g.input[0], g.input[1]
    obs.name = "observations"
    inputs = [onnx.ValueInfoProto(), onnx.ValueInfoProto()]
    inputs[0].CopyFrom(mask)
    inputs[1].CopyFrom(obs)
    del g.input[:]
    g.input.extend(inputs)
    return edited(m, "mask_first")


def symbolic_batch():
    """observations ("batch", 4), action_mask ("batch", 3): as `policy_abbrev_obs` otherwise."""
    m = abbrev_obs_renamed()
    g = m.graph
    del g.input[:]
    g.input.extend([tensor("observations", F32, ["batch", 4]), tensor("action_mask", F64, ["batch", 3])])
    del g.output[:]
    g.output.extend([tensor("action_dist_inputs", F32, ["batch", 3]), tensor("vf_preds", F32, ["batch"]),
                     tensor("mask_echo", F64, ["batch", 3])])
    return edited(m, "symbolic_batch")


def symbolic_mask():
    """observations (1, 4) concrete, action_mask ("batch", 3) symbolic; as `symbolic_batch`."""
    m = symbolic_batch()
    m.graph.input[0].CopyFrom(tensor("observations", F32, [1, 4]))
    return edited(m, "symbolic_mask")


def unnamed_outputs():
    """obs (1, 4) -> first = obs (float32), second = 3 * obs (float32): neither
    "action_dist_inputs" nor "vf_preds"."""
    nodes = [helper.make_node("Identity", ["obs"], ["first"]),
             helper.make_node("Mul", ["obs", "three"], ["second"])]
    return model(nodes, [tensor("obs", F32, [1, 4])],
                 [tensor("first", F32, [1, 4]), tensor("second", F32, [1, 4])],
                 [const("three", np.float32(3.0))], name="unnamed_outputs")


def misdeclared_output():
    """obs (1, 4) -> action_dist_inputs = 2 * obs, (1, 4) at run time but declared (1, 3), as
    careless exporters sometimes write (its width comes from a Compress, so loading cannot tell);
    vf_preds = sum(obs), declared correctly as (1)."""
    nodes = [helper.make_node("Mul", ["obs", "two"], ["doubled"]),
             helper.make_node("Reshape", ["doubled", "flat_shape"], ["flat"]),
             helper.make_node("Abs", ["flat"], ["magnitude"]),
             helper.make_node("Add", ["magnitude", "one_f"], ["positive"]),
             helper.make_node("Greater", ["positive", "zero"], ["keep"]),
             helper.make_node("Compress", ["flat", "keep"], ["kept"], axis=0),
             helper.make_node("Unsqueeze", ["kept", "axes0"], ["action_dist_inputs"]),
             helper.make_node("ReduceSum", ["obs", "axes1"], ["vf_preds"], keepdims=0)]
    inits = [const("two", np.float32(2.0)), const("one_f", np.float32(1.0)), const("zero", np.float32(0.0)),
             i64("flat_shape", [-1]), i64("axes0", [0]), i64("axes1", [1])]
    return model(nodes, [tensor("obs", F32, [1, 4])],
                 [tensor("action_dist_inputs", F32, [1, 3]), tensor("vf_preds", F32, [1])], inits,
                 name="misdeclared_output")


def double_obs():
    """observations (1, 4) declared float64: observations are always fed as float32, so every run
    fails inside ONNX Runtime. vf_preds = sum(obs) (float64)."""
    nodes = [helper.make_node("ReduceSum", ["observations", "axes"], ["vf_preds"], keepdims=0)]
    return model(nodes, [tensor("observations", F64, [1, 4])], [tensor("vf_preds", F64, [1])],
                 [i64("axes", [1])], name="double_obs")


def slow():
    """observations (1, 4) -> action_dist_inputs (1, 1): m <- tanh(m @ m / 256 + m0) six times on a
    256x256 matrix m0 filled with sum(obs) / 10 at run time (nothing to fold at load), a few ms
    per run. For tests that need a run long enough for two threads to meet inside it."""
    n, rounds = 256, 6
    nodes = [helper.make_node("ReduceSum", ["observations", "axes"], ["s"], keepdims=1),
             helper.make_node("Mul", ["s", "scale"], ["s_scaled"]),
             helper.make_node("Expand", ["s_scaled", "big_shape"], ["m0"])]
    for i in range(rounds):
        nodes += [helper.make_node("MatMul", [f"m{i}", f"m{i}"], [f"p{i}"]),
                  helper.make_node("Mul", [f"p{i}", "inv_n"], [f"q{i}"]),
                  helper.make_node("Add", [f"q{i}", "m0"], [f"r{i}"]),
                  helper.make_node("Tanh", [f"r{i}"], [f"m{i + 1}"])]
    nodes.append(helper.make_node("ReduceMean", [f"m{rounds}"], ["action_dist_inputs"], axes=[0, 1], keepdims=1))
    inits = [i64("axes", [1]), const("scale", np.float32(0.1)), const("inv_n", np.float32(1.0 / n)),
             i64("big_shape", [n, n])]
    return model(nodes, [tensor("observations", F32, [1, 4])],
                 [tensor("action_dist_inputs", F32, [1, 1])], inits, name="slow")


def mlp_small():
    """Benchmark policy: observations (1, 8), two tanh layers of 16, 4 actions, with mask."""
    return mlp_policy("mlp_small", obs_size=8, hidden=[16, 16], num_outputs=4, seed=1)


def mlp_256x256():
    """Benchmark policy: observations (1, 32), two tanh layers of 256, 8 actions, with mask."""
    return mlp_policy("mlp_256x256", obs_size=32, hidden=[256, 256], num_outputs=8, seed=2)


def corrupt():
    """Not a model: a file that exists but holds bytes no parser accepts."""
    return b"\x08\x08\x12\xffthis is not an ONNX model\n" * 4


MODELS = [
    ("policy", policy),
    ("policy_no_mask", policy_no_mask),
    ("policy_abbrev_obs", policy_abbrev_obs),
    ("name_rules", name_rules),
    ("mask_first", mask_first),
    ("symbolic_batch", symbolic_batch),
    ("symbolic_mask", symbolic_mask),
    ("unnamed_outputs", unnamed_outputs),
    ("misdeclared_output", misdeclared_output),
    ("double_obs", double_obs),
    ("slow", slow),
    ("mlp_small", mlp_small),
    ("mlp_256x256", mlp_256x256),
    ("corrupt", corrupt),
]


def write_models(argv, models, out_dir):
    """Writes the models named in argv[1:] (every one without names) of `models`, (name, build)
    pairs whose build returns a ModelProto or bytes, to <out_dir>/<name>.onnx."""
    wanted = set(argv[1:])
    known = {name for name, _ in models}
    unknown = wanted - known
    if unknown:
        sys.exit(f"unknown model(s): {', '.join(sorted(unknown))}; known: {', '.join(sorted(known))}")
    os.makedirs(out_dir, exist_ok=True)
    for name, build in models:
        if wanted and name not in wanted:
            continue
        result = build()
        data = result if isinstance(result, bytes) else result.SerializeToString()
        path = os.path.join(out_dir, name + ".onnx")
        with open(path, "wb") as f:
            f.write(data)
        print(f"wrote {os.path.relpath(path)} ({len(data)} bytes)")


# --- selector and hierarchy fixtures -------------------------------------------------------------
# Selectors whose logits are their observation, and skills that always pick one fixed action, so that
# a whole hierarchy's choices follow from the sensors a test feeds. Models are named after the agents
# of tests/fixtures/hierarchy/*.json, since an agent's model file is "<agent name>.onnx".

def selector_echo(name, n, with_mask=True, flat_output=False):
    """observations (1, n) f32 [+ action_mask (1, n) f64, read but without effect] ->
    action_dist_inputs = observations ((1, n), or (n) with flat_output), vf_preds = sum(obs)."""
    nodes = [helper.make_node("ReduceSum", ["observations", "axes1"], ["vf_preds"], keepdims=0)]
    inputs = [tensor("observations", F32, [1, n])]
    inits = [i64("axes1", [1])]
    logits = "observations"
    if with_mask:
        nodes += [helper.make_node("Cast", ["action_mask"], ["mask_f"], to=F32),
                  helper.make_node("Mul", ["mask_f", "zero"], ["mask_zero"]),
                  helper.make_node("Add", ["observations", "mask_zero"], ["echo"])]
        inputs.append(tensor("action_mask", F64, [1, n]))
        inits.append(const("zero", np.float32(0.0)))
        logits = "echo"
    if flat_output:
        nodes.append(helper.make_node("Reshape", [logits, "flat_shape"], ["action_dist_inputs"]))
        inits.append(i64("flat_shape", [n]))
        out_shape = [n]
    else:
        nodes.append(helper.make_node("Identity", [logits], ["action_dist_inputs"]))
        out_shape = [1, n]
    return model(nodes, inputs, [tensor("action_dist_inputs", F32, out_shape), tensor("vf_preds", F32, [1])],
                 inits, name=name)


def fixed_skill(name, k, n, obs_size=3):
    """observations (1, obs_size) f32, action_mask (1, n) f64 -> action_dist_inputs =
    10 * onehot(k) + mask (f32, (1, n)): Discrete(n) action k whenever k is allowed;
    vf_preds = sum(obs)."""
    bias = np.zeros((1, n), dtype=np.float32)
    bias[0, k] = 10.0
    nodes = [helper.make_node("Cast", ["action_mask"], ["mask_f"], to=F32),
             helper.make_node("Add", ["bias", "mask_f"], ["action_dist_inputs"]),
             helper.make_node("ReduceSum", ["observations", "axes1"], ["vf_preds"], keepdims=0)]
    return model(nodes, [tensor("observations", F32, [1, obs_size]), tensor("action_mask", F64, [1, n])],
                 [tensor("action_dist_inputs", F32, [1, n]), tensor("vf_preds", F32, [1])],
                 [const("bias", bias), i64("axes1", [1])], name=name)


HIERARCHY_MODELS = (
    [(name, (lambda name=name: selector_echo(name, 3))) for name in ("h2_root", "h3_root", "h3_mid")]
    + [("h_nomask_root", lambda: selector_echo("h_nomask_root", 3, with_mask=False)),
       ("h_flat_root", lambda: selector_echo("h_flat_root", 3, flat_output=True))]
    + [(f"h2_leaf{k}", (lambda k=k: fixed_skill(f"h2_leaf{k}", k, 3))) for k in range(3)]
    + [(f"h3_leaf{k}", (lambda k=k: fixed_skill(f"h3_leaf{k}", k, 5))) for k in range(5)]
)
MODELS += HIERARCHY_MODELS

# The three-level hierarchy again, with 256x256 tanh MLPs for every agent (agents h3w_*, orchestration
# tests/fixtures/hierarchy/three_level_256x256.json): the benchmarks' large-model case. Choices come
# from the weights, so a caller that needs a fixed path forces it with the *_allowed masks.
WIDE_HIERARCHY_MODELS = (
    [(name, (lambda name=name, seed=seed: mlp_policy(name, obs_size=3, hidden=[256, 256], num_outputs=3, seed=seed)))
     for name, seed in (("h3w_root", 31), ("h3w_mid", 32))]
    + [(f"h3w_leaf{k}", (lambda k=k: mlp_policy(f"h3w_leaf{k}", obs_size=3, hidden=[256, 256], num_outputs=5,
                                                 seed=40 + k)))
       for k in range(5)]
)
MODELS += WIDE_HIERARCHY_MODELS


# --- skill fixtures ------------------------------------------------------------------------------
# One policy per action-space kind for the skill processor's tests. action_dist_inputs is the
# observation reversed (obs @ R, R the reversal permutation), so a test sets every logit by choosing
# the observation. The action_mask input is declared (its declared size is the action space's mask
# size) but does not enter action_dist_inputs: the masking the tests see is the processor's own.

def reversal(size):
    return np.eye(size, dtype=np.float32)[::-1].copy()


def skill_policy(name, obs_size, mask_size=None, flat_output=False):
    """observations (1, obs_size) f32 [+ action_mask (1, mask_size) f64] ->
    action_dist_inputs = obs reversed ((1, obs_size), or (obs_size) with flat_output),
    vf_preds = sum(obs) (1), and with a mask mask_sum = sum(mask) (1) f64."""
    nodes = [helper.make_node("MatMul", ["observations", "R"], ["logits"]),
             helper.make_node("ReduceSum", ["observations", "axes"], ["vf_preds"], keepdims=0)]
    inits = [const("R", reversal(obs_size)), i64("axes", [1])]
    if flat_output:
        nodes.append(helper.make_node("Squeeze", ["logits", "batch_axis"], ["action_dist_inputs"]))
        inits.append(i64("batch_axis", [0]))
        adi = tensor("action_dist_inputs", F32, [obs_size])
    else:
        nodes.append(helper.make_node("Identity", ["logits"], ["action_dist_inputs"]))
        adi = tensor("action_dist_inputs", F32, [1, obs_size])
    inputs = [tensor("observations", F32, [1, obs_size])]
    outputs = [adi, tensor("vf_preds", F32, [1])]
    if mask_size is not None:
        nodes.append(helper.make_node("ReduceSum", ["action_mask", "axes"], ["mask_sum"], keepdims=0))
        inputs.append(tensor("action_mask", F64, [1, mask_size]))
        outputs.append(tensor("mask_sum", F64, [1]))
    return model(nodes, inputs, outputs, inits, name=name)


def skill_discrete():
    """Discrete(4): observations (1, 4), action_mask (1, 4), action_dist_inputs (1, 4)."""
    return skill_policy("skill_discrete", 4, mask_size=4)


def skill_discrete_flat():
    """As skill_discrete, but action_dist_inputs without the batch axis: (4)."""
    return skill_policy("skill_discrete_flat", 4, mask_size=4, flat_output=True)


def skill_discrete_no_mask():
    """As skill_discrete, without an action_mask input."""
    return skill_policy("skill_discrete_no_mask", 4)


def skill_box():
    """Box shape (2,): observations (1, 4) -> 2 means + 2 log-stds; action_mask (1, 2)."""
    return skill_policy("skill_box", 4, mask_size=2)


def skill_multi_discrete():
    """MultiDiscrete nvec (3, 2): observations (1, 5) -> 3 + 2 logits; action_mask (1, 5)."""
    return skill_policy("skill_multi_discrete", 5, mask_size=5)


def skill_multi_binary():
    """MultiBinary shape (3,): observations (1, 3) -> 3 logits; action_mask (1, 3)."""
    return skill_policy("skill_multi_binary", 3, mask_size=3)


def skill_tuple():
    """Tuple(Discrete(2), Box shape (1,)): observations (1, 4) -> 2 logits, mean, log-std;
    action_mask (1, 3)."""
    return skill_policy("skill_tuple", 4, mask_size=3)


def skill_dict():
    """Dict(mode: Discrete(3), level: Box shape (1,)): observations (1, 5) -> 3 logits, mean,
    log-std; action_mask (1, 4)."""
    return skill_policy("skill_dict", 5, mask_size=4)


SKILL_MODELS = [
    ("skill_discrete", skill_discrete),
    ("skill_discrete_flat", skill_discrete_flat),
    ("skill_discrete_no_mask", skill_discrete_no_mask),
    ("skill_box", skill_box),
    ("skill_multi_discrete", skill_multi_discrete),
    ("skill_multi_binary", skill_multi_binary),
    ("skill_tuple", skill_tuple),
    ("skill_dict", skill_dict),
]
MODELS += SKILL_MODELS


if __name__ == "__main__":
    write_models(sys.argv, MODELS, OUT_DIR)
