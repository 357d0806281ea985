"""Property tests: the native device planning functions against their
pure-Python twin, result for result and error for error, plus the invariants
the plans must keep whatever the inputs."""

import math

from hypothesis import HealthCheck, given, settings, strategies as st

import device_planning_model as model

from vantrel.gpu import device_planning as native

CAP = 2**63 - 1
U64_MAX = 2**64 - 1

settings.register_profile(
    "device_planning", deadline=None, max_examples=300,
    suppress_health_check=[HealthCheck.too_slow])
SETTINGS = settings.get_profile("device_planning")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


def comparable(value):
    """A value that compares equal only for identical results (NaN and -0.0 included)."""
    if isinstance(value, float):
        return ("float", value.hex())
    if isinstance(value, (tuple, list)):
        return (type(value).__name__, [comparable(item) for item in value])
    return (type(value).__name__, value)


def outcome(function, *args):
    try:
        return ("result", comparable(function(*args)))
    except Exception as error:  # the error is part of the behaviour compared
        return ("error", type(error), str(error))


def same_outcome(name, *args):
    expected = outcome(getattr(model, name), *args)
    assert outcome(getattr(native, name), *args) == expected
    return expected


edge_integers = st.sampled_from([
    0, 1, 2, 7, 2**31, 2**32, 2**53, 2**53 + 1, 2**62, CAP, 2**63, U64_MAX,
    2**64, 2**64 + 1, -1, -(2**63), -(2**63) - 1, 10**30, -(10**40)])
integers = st.one_of(edge_integers, st.integers(-(2**70), 2**70),
                     st.integers(0, 10**6), st.booleans())
byte_counts = st.one_of(
    integers, st.integers(0, U64_MAX), st.integers(-(2**70), 2**70).map(Index),
    st.sampled_from([1.0, "8", None, 2.5]))
ratios = st.one_of(
    st.floats(), st.floats(-0.5, 1.5), st.integers(-3, 3),
    st.sampled_from([0.0, -0.0, 0.99, 1.0, 0.3, 0.6, 0.8, 2**70, "0.5", None]))
dims = st.one_of(st.integers(-3, 2000), edge_integers, st.integers(-(2**70), 2**70),
                 st.booleans(), st.integers(1, 50).map(Index),
                 st.sampled_from([2.0, "3", None]))
shapes = st.one_of(st.tuples(), st.lists(dims, max_size=5).map(tuple),
                   st.sampled_from([None, [4, 4], (0.0,)]))

# Chunk plans: first dimensions that give a few chunks, or far too many.
first_dims = st.one_of(st.integers(-2, 3000), st.integers(2**64 - 3, 2**64 + 3000),
                       st.integers(10**7, 10**40), st.integers(10**3000, 10**3100))
later_dims = st.one_of(st.integers(-1, 40), st.integers(2**62, 2**66), st.booleans())
chunk_shapes = st.one_of(
    st.tuples(first_dims),
    st.builds(lambda first, rest: (first,) + tuple(rest),
              first_dims, st.lists(later_dims, max_size=3)),
    st.tuples(), st.just(None), st.just([3, 3]))
element_sizes = st.one_of(st.integers(-2, 64), st.integers(2**63, 2**70),
                          st.sampled_from([8.0, Index(4)]))
chunk_limits = st.one_of(st.integers(-2, 10**5), st.integers(U64_MAX - 5, 2**64 + 1),
                         st.integers(1, U64_MAX), st.sampled_from([100.0, Index(64)]))

keywords = ["out of memory", "OutOfMemoryError", "cuda", "memory", "allocat", "failed",
            "insufficient", "gpu", "GPU", "MEMORY", "Cuda", "ALLOCATION", "FAIL",
            "İ", "ß", "\u212a", "Σ", "é", " ", "\ud800", ":"]
texts = st.one_of(st.lists(st.sampled_from(keywords), max_size=6).map("".join), st.text())
operations = st.one_of(
    st.sampled_from(sorted(model.CHUNKABLE_OPS | model.NON_CHUNKABLE_OPS)),
    st.none(), st.text(max_size=12), st.sampled_from(["Zeros", "randn", b"zeros"]))


@SETTINGS
@given(shapes, st.one_of(integers, st.sampled_from([8.0, Index(4)])),
       st.one_of(ratios, st.floats(1.0, 3.0)))
def test_estimate_allocation_bytes_matches_model(shape, element_size, overhead):
    kind, *rest = same_outcome("estimate_allocation_bytes", shape, element_size, overhead)
    if kind == "result":
        assert 0 <= rest[0][1] <= CAP


@SETTINGS
@given(st.lists(st.integers(1, 2**80), min_size=1, max_size=6).map(tuple),
       st.integers(1, 2**70), st.floats(0.0, 4.0))
def test_estimate_allocation_bytes_saturates_instead_of_overflowing(shape, element_size, overhead):
    result = native.estimate_allocation_bytes(shape, element_size, overhead)
    exact = math.prod(shape) * element_size
    if exact > CAP:
        assert result == CAP
    elif overhead <= 1.0:
        assert result == exact
    else:
        # The overhead product is taken in doubles, so allow for rounding.
        assert exact * (1 - 2**-50) <= result <= CAP


@SETTINGS
@given(byte_counts, ratios)
def test_calculate_safe_limit_matches_model(available, headroom):
    kind, *rest = same_outcome("calculate_safe_limit", available, headroom)
    if kind == "result":
        assert 0 <= rest[0][1] <= model.operator.index(available)


@SETTINGS
@given(st.integers(0, U64_MAX), st.floats(allow_nan=False))
def test_safe_limit_never_exceeds_what_is_available(available, headroom):
    assert native.calculate_safe_limit(available, headroom) <= available


@SETTINGS
@given(byte_counts, byte_counts, ratios, st.one_of(st.booleans(), st.sampled_from([0, "", [1]])))
def test_decide_allocation_strategy_matches_model(requested, available, headroom, chunkable):
    kind, *rest = same_outcome("decide_allocation_strategy",
                               requested, available, headroom, chunkable)
    if kind == "result" and rest[0][1][0] == ("int", native.GPU_CHUNKED):
        _, (_, size), (_, count), _ = rest[0][1]
        requested = model.operator.index(requested)
        assert (count - 1) * size < requested <= count * size


@SETTINGS
@given(byte_counts, byte_counts, ratios, integers, integers)
def test_calculate_optimal_chunks_matches_model(total, available, headroom, low, high):
    same_outcome("calculate_optimal_chunks", total, available, headroom, low, high)


@SETTINGS
@given(byte_counts, byte_counts)
def test_calculate_memory_pressure_matches_model(used, total):
    kind, *rest = same_outcome("calculate_memory_pressure", used, total)
    if kind == "result":
        assert 0.0 <= float.fromhex(rest[0][1]) <= 1.0


@SETTINGS
@given(ratios, ratios)
def test_recommend_headroom_matches_model(pressure, base):
    kind, *rest = same_outcome("recommend_headroom", pressure, base)
    if kind == "result":
        value = float.fromhex(rest[0][1])
        assert math.isnan(value) or 0.3 <= value <= 0.8


@SETTINGS
@given(chunk_shapes, element_sizes, chunk_limits)
def test_compute_chunk_shapes_matches_model(shape, element_size, limit):
    same_outcome("compute_chunk_shapes", shape, element_size, limit)


@SETTINGS
@given(st.lists(st.integers(1, 60), min_size=1, max_size=4).map(tuple),
       st.integers(1, 16), st.integers(1, 4096))
def test_chunks_cover_the_array_within_the_limit(shape, element_size, limit):
    chunks = native.compute_chunk_shapes(shape, element_size, limit)
    assert sum(chunk[0] for chunk in chunks) == shape[0]
    assert all(chunk[1:] == shape[1:] for chunk in chunks)
    assert len({chunk[0] for chunk in chunks[:-1]}) <= 1
    assert chunks[-1][0] <= chunks[0][0]
    row_bytes = element_size * math.prod(shape[1:])
    if row_bytes > limit:
        assert all(chunk[0] == 1 for chunk in chunks)
    else:
        assert all(chunk[0] * row_bytes <= limit for chunk in chunks)
        # Chunks are as large as the limit allows.
        assert (chunks[0][0] + 1) * row_bytes > limit or len(chunks) == 1


@SETTINGS
@given(st.one_of(st.integers(-(10**45), -1), st.integers(-(2**200), -(2**64))))
def test_negative_dimensions_are_reported_like_the_model(dimension):
    same_outcome("compute_chunk_shapes", (1, 2, dimension), 1, 10)


@SETTINGS
@given(texts, texts)
def test_is_oom_error_matches_model(message, type_name):
    same_outcome("is_oom_error", message, type_name)


@SETTINGS
@given(operations)
def test_is_chunkable_operation_matches_model(operation):
    same_outcome("is_chunkable_operation", operation)


@SETTINGS
@given(byte_counts, operations, byte_counts, ratios)
def test_score_gpu_suitability_matches_model(data, operation, available, headroom):
    kind, *rest = same_outcome("score_gpu_suitability", data, operation, available, headroom)
    if kind == "result":
        assert 0.0 <= float.fromhex(rest[0][1]) <= 1.0
