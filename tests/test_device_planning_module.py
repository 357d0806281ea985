"""The device planning module as a whole: its namespace, import-time banner,
build marker, function objects, argument binding, reference ownership and use
from several threads."""

import ast
import gc
import inspect
import json
import logging
import operator
import os
import pathlib
import subprocess
import sys
import threading

import pytest

from vantrel.gpu import device_planning as native

MODULE = "vantrel.gpu.device_planning"
BANNER = "Vantrel Device Planning Kiln module loaded - IP protected"
BUILD_TOKEN = "r35-gpu-byte-count-params-operator-index-2026-06-27"
STUB = pathlib.Path(native.__file__).with_name("device_planning.pyi")
PACKAGE_ROOT = pathlib.Path(native.__file__).parents[2]

NAMESPACE = [
    "operator", "GPU_DIRECT", "GPU_CHUNKED", "CPU_FALLBACK",
    "estimate_allocation_bytes", "calculate_safe_limit", "decide_allocation_strategy",
    "compute_chunk_shapes", "calculate_optimal_chunks", "is_oom_error",
    "is_chunkable_operation", "score_gpu_suitability", "calculate_memory_pressure",
    "recommend_headroom", "logging", "logger", "__build_token__",
]

# name: ([(parameter, annotation, default)], return annotation)
REQUIRED = inspect.Parameter.empty
SIGNATURES = {
    "estimate_allocation_bytes": (
        [("shape", "tuple", REQUIRED), ("element_size", "int", REQUIRED),
         ("overhead_factor", "float", 1.0)], "int"),
    "calculate_safe_limit": (
        [("available_bytes", "int", REQUIRED), ("headroom_ratio", "float", REQUIRED)], "int"),
    "decide_allocation_strategy": (
        [("requested_bytes", "int", REQUIRED), ("available_bytes", "int", REQUIRED),
         ("headroom_ratio", "float", REQUIRED), ("is_chunkable", "bool", REQUIRED)], "tuple"),
    "compute_chunk_shapes": (
        [("shape", "tuple", REQUIRED), ("element_size", "int", REQUIRED),
         ("max_chunk_bytes", "int", REQUIRED)], "list"),
    "calculate_optimal_chunks": (
        [("total_bytes", "int", REQUIRED), ("available_bytes", "int", REQUIRED),
         ("headroom_ratio", "float", REQUIRED), ("min_chunks", "int", 1),
         ("max_chunks", "int", 1000)], "int"),
    "is_oom_error": (
        [("error_message", "str", REQUIRED), ("error_type", "str", REQUIRED)], "bool"),
    "is_chunkable_operation": ([("operation", "Optional[str]", REQUIRED)], "bool"),
    "score_gpu_suitability": (
        [("data_size_bytes", "int", REQUIRED), ("operation_type", "Optional[str]", REQUIRED),
         ("available_gpu_memory", "int", REQUIRED), ("headroom_ratio", "float", REQUIRED)],
        "float"),
    "calculate_memory_pressure": (
        [("used_bytes", "int", REQUIRED), ("total_bytes", "int", REQUIRED)], "float"),
    "recommend_headroom": (
        [("current_pressure", "float", REQUIRED), ("base_headroom", "float", 0.5)], "float"),
}


def run_python(code):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(PACKAGE_ROOT)] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout


# -- namespace ---------------------------------------------------------------

def test_namespace_in_import_order():
    names = [name for name in vars(native)
             if not (name.startswith("__") and name.endswith("__")) or name == "__build_token__"]
    assert names == NAMESPACE


def test_attribute_values():
    assert native.operator is operator
    assert native.logging is logging
    assert native.logger is logging.getLogger(MODULE)
    assert (native.GPU_DIRECT, native.GPU_CHUNKED, native.CPU_FALLBACK) == (0, 1, 2)
    assert all(type(code) is int for code in
               (native.GPU_DIRECT, native.GPU_CHUNKED, native.CPU_FALLBACK))
    assert native.__build_token__ == BUILD_TOKEN


@pytest.mark.parametrize("name", ["_CHUNKABLE_OPS", "_NON_CHUNKABLE_OPS", "_format_chunk_count",
                                  "_decimal_digit_count", "_pow10", "_c_calculate_safe_limit"])
def test_private_helpers_are_not_reachable(name):
    assert not hasattr(native, name)


def test_import_logs_the_banner_once():
    # Importing again, even after the module was dropped from sys.modules,
    # hands back the initialised module without running its body again.
    out = json.loads(run_python(
        "import importlib, json, logging, sys\n"
        "records = []\n"
        "class Keep(logging.Handler):\n"
        "    def emit(self, record):\n"
        "        records.append([record.name, record.levelname, record.getMessage()])\n"
        "logging.getLogger().addHandler(Keep())\n"
        "logging.getLogger().setLevel(logging.DEBUG)\n"
        f"first = importlib.import_module('{MODULE}')\n"
        f"del sys.modules['{MODULE}']\n"
        f"again = importlib.import_module('{MODULE}')\n"
        "print(json.dumps({'records': records, 'same': first is again,\n"
        "                  'token': again.__build_token__}))\n"))
    assert [r for r in out["records"] if r[0].startswith("vantrel")] == [[MODULE, "INFO", BANNER]]
    assert out["same"] is True
    assert out["token"] == BUILD_TOKEN


def test_strategy_codes_are_read_at_each_call(monkeypatch):
    monkeypatch.setattr(native, "GPU_CHUNKED", "chunked")
    monkeypatch.setattr(native, "CPU_FALLBACK", None)
    assert native.decide_allocation_strategy(1000, 1000, 0.2, True)[0] == "chunked"
    assert native.decide_allocation_strategy(1000, 1000, 0.2, False)[0] is None
    assert native.decide_allocation_strategy(1, 1000, 0.2, False)[0] == 0
    monkeypatch.delattr(native, "GPU_DIRECT")
    with pytest.raises(NameError, match="^name 'GPU_DIRECT' is not defined$"):
        native.decide_allocation_strategy(1, 1000, 0.2, False)
    assert native.decide_allocation_strategy(0, 0, 0.2, False)[0] is None


# -- function objects ------------------------------------------------------------

@pytest.mark.parametrize("name", list(SIGNATURES))
def test_function_introspection(name):
    function = getattr(native, name)
    params, returns = SIGNATURES[name]
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__module__ == MODULE
    assert isinstance(function.__doc__, str) and function.__doc__.strip()
    signature = inspect.signature(function)
    assert [(p.name, p.kind, p.default) for p in signature.parameters.values()] == [
        (param, inspect.Parameter.POSITIONAL_OR_KEYWORD, default) for param, _, default in params]
    defaults = tuple(default for _, _, default in params if default is not REQUIRED)
    assert function.__defaults__ == (defaults or None)
    assert function.__annotations__ == {
        **{param: annotation for param, annotation, _ in params}, "return": returns}


def test_stub_matches_the_module():
    tree = ast.parse(STUB.read_text())
    stubbed = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    assert list(stubbed) == list(SIGNATURES)
    for name, node in stubbed.items():
        params = SIGNATURES[name][0]
        assert [arg.arg for arg in node.args.args] == [param for param, _, _ in params]
        defaults = [ast.literal_eval(value) for value in node.args.defaults]
        assert defaults == [default for _, _, default in params if default is not REQUIRED]
    constants = {target.id for node in tree.body if isinstance(node, ast.AnnAssign)
                 for target in [node.target]}
    assert {"GPU_DIRECT", "GPU_CHUNKED", "CPU_FALLBACK", "__build_token__"} <= constants


@pytest.mark.parametrize("call, message", [
    (lambda: native.calculate_safe_limit(1000),
     "calculate_safe_limit() takes exactly 2 positional arguments (1 given)"),
    (lambda: native.calculate_safe_limit(1000, 0.2, 3),
     "calculate_safe_limit() takes exactly 2 positional arguments (3 given)"),
    (lambda: native.estimate_allocation_bytes(()),
     "estimate_allocation_bytes() takes at least 2 positional arguments (1 given)"),
    (lambda: native.estimate_allocation_bytes((), 1, 1.0, 4),
     "estimate_allocation_bytes() takes at most 3 positional arguments (4 given)"),
    (lambda: native.recommend_headroom(),
     "recommend_headroom() takes at least 1 positional argument (0 given)"),
    (lambda: native.is_chunkable_operation("zeros", operation="zeros"),
     "is_chunkable_operation() got multiple values for keyword argument 'operation'"),
    (lambda: native.calculate_safe_limit(1000, 0.2, headroom=0.2),
     "calculate_safe_limit() got an unexpected keyword argument 'headroom'"),
])
def test_argument_binding_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


def test_arguments_by_keyword():
    assert native.calculate_safe_limit(headroom_ratio=0.2, available_bytes=1000) == 800
    assert native.estimate_allocation_bytes(element_size=8, shape=(2, 2), overhead_factor=2.0) == 64
    assert native.calculate_optimal_chunks(10**9, 1000, 0.2, max_chunks=7) == 7
    assert native.compute_chunk_shapes(max_chunk_bytes=16, element_size=8, shape=(3,)) == [(2,), (1,)]
    assert native.score_gpu_suitability(
        headroom_ratio=0.2, available_gpu_memory=1000, operation_type="matmul",
        data_size_bytes=800) == 0.7
    assert native.is_oom_error(error_type="OutOfMemoryError", error_message="") is True
    assert native.recommend_headroom(base_headroom=0.6, current_pressure=0.5) == 0.6


# -- reference ownership ------------------------------------------------------------

class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def fresh_int(value):
    """An int object of its own (not one of the interpreter's shared small ints)."""
    return int(str(value))


def fresh_str(text):
    return "".join(list(text))


CALLS = {
    "estimate": lambda: ("estimate_allocation_bytes",
                         ((fresh_int(10**30), Index(3), fresh_int(700)), Index(8), 1.5)),
    "estimate-saturated": lambda: ("estimate_allocation_bytes",
                                   ((fresh_int(2**40), fresh_int(2**40), 4.0), fresh_int(9000))),
    "estimate-error": lambda: ("estimate_allocation_bytes",
                               ((fresh_int(3000), Index(1.5)), fresh_int(9000))),
    "safe-limit": lambda: ("calculate_safe_limit", (Index(fresh_int(10**6)), 0.25)),
    "safe-limit-error": lambda: ("calculate_safe_limit", (fresh_int(-(10**6)), 0.25)),
    "strategy-chunked": lambda: ("decide_allocation_strategy",
                                 (fresh_int(10**9), Index(fresh_int(10**6)), 0.2, fresh_str("yes"))),
    "strategy-error": lambda: ("decide_allocation_strategy",
                               (fresh_int(10**9), fresh_int(2**70), 0.2, True)),
    "chunks": lambda: ("calculate_optimal_chunks",
                       (fresh_int(10**9), fresh_int(10**6), 0.2, Index(2), fresh_int(5000))),
    "chunk-shapes": lambda: ("compute_chunk_shapes",
                             ((fresh_int(5000), Index(fresh_int(3000)), fresh_int(7)), Index(8),
                              fresh_int(10**6))),
    "chunk-shapes-wide": lambda: ("compute_chunk_shapes",
                                  ((fresh_int(2**64 + 3000), fresh_int(1)), fresh_int(1),
                                   fresh_int(2**64 - 1))),
    "chunk-shapes-negative": lambda: ("compute_chunk_shapes",
                                      ((fresh_int(5000), fresh_int(-(10**40))), 8, 100)),
    "chunk-shapes-too-many": lambda: ("compute_chunk_shapes",
                                      ((fresh_int(10**50), fresh_int(3)), 8, 10)),
    "chunk-shapes-empty": lambda: ("compute_chunk_shapes",
                                   ((fresh_int(0), fresh_int(10**30)), 8, 10)),
    "pressure": lambda: ("calculate_memory_pressure", (fresh_int(10**12), Index(fresh_int(10**13)))),
    "oom-ascii": lambda: ("is_oom_error", (fresh_str("CUDA error: out of memory"), fresh_str("X"))),
    "oom-unicode": lambda: ("is_oom_error", (fresh_str("GPU Ärger memory"), fresh_str("İ"))),
    "oom-error": lambda: ("is_oom_error", (fresh_str("out of memory"), None)),
    "chunkable": lambda: ("is_chunkable_operation", (fresh_str("random.randn"),)),
    "suitability": lambda: ("score_gpu_suitability",
                            (fresh_int(10**6), fresh_str("matmul"), fresh_int(10**7), 0.1)),
}


@pytest.mark.parametrize("case", list(CALLS))
def test_arguments_are_released_exactly_once(case):
    name, args = CALLS[case]()
    function = getattr(native, name)
    watched = list(args) + [item for arg in args if type(arg) is tuple for item in arg]
    watched += [arg.value for arg in watched if isinstance(arg, Index)]
    gc.collect()
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(50):
        try:
            result = function(*args)
        except (TypeError, ValueError, OverflowError):
            continue
        if isinstance(result, list):
            assert sys.getrefcount(result) == 2
        del result
    assert [sys.getrefcount(obj) for obj in watched] == before


def test_chunk_shapes_share_the_converted_dimensions():
    rows, width = fresh_int(10**7 - 7), fresh_int(10**15)
    width_before = sys.getrefcount(width)
    chunks = native.compute_chunk_shapes((rows, width), 1, 10**16)
    assert len(chunks) == 10**6
    assert chunks[0] == (10, width) and chunks[-1] == (3, width)
    assert chunks[0][1] is width and chunks[-1][1] is width
    # The full chunks are one immutable tuple, held by every slot but the last.
    assert chunks[0] is chunks[999998]
    full_chunk = chunks[0]
    assert sys.getrefcount(full_chunk) == (10**6 - 1) + 2  # slots, the name, the argument
    del full_chunk
    assert sys.getrefcount(width) == width_before + 2
    del chunks
    assert sys.getrefcount(width) == width_before


# -- threads ---------------------------------------------------------------------

def test_many_threads_get_the_same_answers():
    cases = [
        (native.compute_chunk_shapes, ((1000, 3), 8, 240), [(10, 3)] * 100),
        (native.decide_allocation_strategy, (10**9, 10**6, 0.2, True),
         (1, 800000, 1250, "Chunking into 1250 GPU passes")),
        (native.estimate_allocation_bytes, ((2**40, 2**40), 8), 2**63 - 1),
        (native.is_oom_error, ("Allocation FAILED on device", "RuntimeError"), True),
        (native.score_gpu_suitability, (400, "zeros", 1000, 0.2), 0.5625),
    ]
    rounds = 400
    mismatches, finished = [], []
    start = threading.Barrier(4)

    def work():
        start.wait()
        done = 0
        for _ in range(rounds):
            for function, args, expected in cases:
                if function(*args) != expected:
                    mismatches.append((function.__name__, args))
                done += 1
        finished.append(done)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert mismatches == []
    assert finished == [rounds * len(cases)] * 4
