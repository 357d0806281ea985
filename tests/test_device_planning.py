"""Behaviour of the device planning functions, checked on the native module and
on its pure-Python twin alike: results of the worked examples, every error with
its exact type and message, and the order in which arguments are checked."""

import math

import pytest

import device_planning_model as model

try:
    from vantrel.gpu import device_planning as native
except ImportError:  # reported by the fixture, so the model half still runs
    native = None

CAP = 2**63 - 1
U64_MAX = 2**64 - 1
NAN = float("nan")
INF = float("inf")
NOT_AN_INT = "'float' object cannot be interpreted as an integer"
STR_NOT_AN_INT = "'str' object cannot be interpreted as an integer"
NEGATIVE_U64 = "can't convert negative value to uint64_t"
TOO_BIG = model.UINT64_TOO_BIG
TOO_BIG_SIGNED = model.INT64_TOO_BIG
NAN_TO_INT = "cannot convert float NaN to integer"
NOT_REAL = "must be real number, not str"
TOO_MANY = "too large to chunk on GPU -- use CPU fallback for this shape"


@pytest.fixture(params=["native", "model"])
def impl(request):
    if request.param == "model":
        return model
    if native is None:
        pytest.fail("vantrel.gpu.device_planning is not built")
    return native


def arg_type(name, expected, given):
    return f"Argument '{name}' has incorrect type (expected {expected}, got {given})"


class Index:
    """Not an int, but usable as one through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingBool:
    def __bool__(self):
        raise ZeroDivisionError("truth test")


class StrSubclass(str):
    pass


class TupleSubclass(tuple):
    pass


def call(impl, name, args, kwargs=None):
    return getattr(impl, name)(*args, **(kwargs or {}))


def expect_error(impl, name, args, error, message, kwargs=None):
    with pytest.raises(error) as caught:
        call(impl, name, args, kwargs)
    assert type(caught.value) is error
    assert str(caught.value) == message


# -- estimate_allocation_bytes ------------------------------------------------

@pytest.mark.parametrize("args, expected", [
    (((1000, 1000), 8), 8000000),
    (((1000, 1000), 8, 1.5), 12000000),
    (((1000, 1000), 8, 0.5), 8000000),
    (((1000, 1000), 8, NAN), 8000000),
    (((10, 10), 8, True), 800),
    (((), 8), 8),
    (((), 0), 0),
    (((0, 5), 8), 0),
    (((-1, 5), 8), 0),
    (((2**62, 4), 8), CAP),
    (((2**62, 4), 0), 0),
    # A non-positive dimension or a saturated product returns at once.
    (((0, 4.0), 8), 0),
    (((2**62, 4, 4.0), 8), CAP),
    # Dimensions and element sizes beyond 64 bits still saturate.
    (((3, 2**70), 1), CAP),
    (((3, 2**70), 0), 0),
    (((3, -(2**70)), 1), 0),
    (((), 2**100), CAP),
    (((2**31, 2**32), 1), CAP),
    ((((2**31) - 1, (2**32) + 2), 1), 2**63 - 2),
    # The overhead factor: the product just below, at and above the cap.
    (((2**31, 2**31), 1, 1.5), 6917529027641081856),
    (((2**31, 2**31), 1, 2.0), CAP),
    (((2**31, 2**31), 1, 2.5), CAP),
    (((), 8, INF), CAP),
    (((4,), 0, NAN), 0),
    (((Index(10), True), Index(8)), 80),
])
def test_estimate_allocation_bytes(impl, args, expected):
    result = impl.estimate_allocation_bytes(*args)
    assert type(result) is int
    assert result == expected


@pytest.mark.parametrize("args, error, message", [
    (([4, 4], 8), TypeError, arg_type("shape", "tuple", "list")),
    ((TupleSubclass((4, 4)), 8), TypeError, arg_type("shape", "tuple", "TupleSubclass")),
    # The overhead factor is converted before the shape's type is checked.
    (([4, 4], 8, "x"), TypeError, NOT_REAL),
    ((None, 8), TypeError, "object of type 'NoneType' has no len()"),
    ((None, -1), TypeError, "object of type 'NoneType' has no len()"),
    (((4,), -1), ValueError, "element_size must be non-negative"),
    (((4.0,), -1), ValueError, "element_size must be non-negative"),
    (((4.0, 4), 8), TypeError, NOT_AN_INT),
    (((4, 4), 8.0), TypeError, NOT_AN_INT),
    (((4,), 0, INF), ValueError, NAN_TO_INT),
])
def test_estimate_allocation_bytes_errors(impl, args, error, message):
    expect_error(impl, "estimate_allocation_bytes", args, error, message)


# -- calculate_safe_limit -----------------------------------------------------

@pytest.mark.parametrize("args, expected", [
    ((1000, 0.2), 800),
    ((100, 1.5), 1),
    ((100, -1.0), 100),
    ((1000, INF), 10),
    ((1000, -INF), 1000),
    ((0, 0.5), 0),
    ((U64_MAX, 0.0), U64_MAX),
    ((U64_MAX, 0.5), 2**63),
    ((Index(1000), 0), 1000),
    ((True, 0.0), 1),
])
def test_calculate_safe_limit(impl, args, expected):
    result = impl.calculate_safe_limit(*args)
    assert type(result) is int
    assert result == expected


@pytest.mark.parametrize("args, error, message", [
    ((-1, 0.1), OverflowError, NEGATIVE_U64),
    ((2**64, 0.1), OverflowError, TOO_BIG),
    ((1000.0, 0.2), TypeError, NOT_AN_INT),
    ((1000, NAN), ValueError, NAN_TO_INT),
    ((1000, "x"), TypeError, NOT_REAL),
    # The ratio is converted before the byte count; the byte count is
    # checked before the ratio is tested for NaN.
    (("x", "x"), TypeError, NOT_REAL),
    ((-1, NAN), OverflowError, NEGATIVE_U64),
])
def test_calculate_safe_limit_errors(impl, args, error, message):
    expect_error(impl, "calculate_safe_limit", args, error, message)


# -- decide_allocation_strategy -----------------------------------------------

FITS = (0, 0, 1, "Allocation fits in GPU memory")
NO_MEMORY = (2, 0, 1, "No GPU memory available")
NOT_CHUNKABLE = (2, 0, 1, "Operation not chunkable, falling back to CPU")


@pytest.mark.parametrize("args, expected", [
    ((1000, 1000, 0.2, True), (1, 800, 2, "Chunking into 2 GPU passes")),
    ((1000, 1000, 0.2, False), NOT_CHUNKABLE),
    ((800, 1000, 0.2, False), FITS),
    ((0, 1000, 0.2, False), FITS),
    ((5, 0, 0.1, True), NO_MEMORY),
    ((0, 0, 0.1, True), NO_MEMORY),
    ((0, 1, 1.0, True), NO_MEMORY),
    ((801, 1000, 0.2, "yes"), (1, 800, 2, "Chunking into 2 GPU passes")),
    ((1600, 1000, 0.2, 1), (1, 800, 2, "Chunking into 2 GPU passes")),
    ((1601, 1000, 0.2, [0]), (1, 800, 3, "Chunking into 3 GPU passes")),
    ((801, 1000, 0.2, []), NOT_CHUNKABLE),
    # Ceiling division that must not overflow 64 bits.
    ((U64_MAX, 1, 0.0, True),
     (1, 1, U64_MAX, f"Chunking into {U64_MAX} GPU passes")),
    ((U64_MAX, 100, 0.0, True),
     (1, 100, 184467440737095517, "Chunking into 184467440737095517 GPU passes")),
    ((U64_MAX, U64_MAX, 0.0, True), FITS),
])
def test_decide_allocation_strategy(impl, args, expected):
    result = impl.decide_allocation_strategy(*args)
    assert type(result) is tuple
    assert result == expected
    assert [type(item) for item in result] == [int, int, int, str]


@pytest.mark.parametrize("args, error, message", [
    ((-1, 10, 0.1, True), OverflowError, NEGATIVE_U64),
    ((10, -1, 0.1, True), OverflowError, NEGATIVE_U64),
    ((2**64, -1, 0.1, True), OverflowError, TOO_BIG),
    ((-1, 2**64, 0.1, True), OverflowError, NEGATIVE_U64),
    # Both byte counts go through __index__ before either is range-checked.
    ((-1, "x", 0.1, True), TypeError, STR_NOT_AN_INT),
    (("x", 10.0, 0.1, True), TypeError, STR_NOT_AN_INT),
    # The ratio first, then the truth value, then the byte counts.
    (("x", 10, 0.1, RaisingBool()), ZeroDivisionError, "truth test"),
    ((10, 10, "x", RaisingBool()), TypeError, NOT_REAL),
    ((-1, 10, NAN, True), OverflowError, NEGATIVE_U64),
    ((10, 10, NAN, True), ValueError, NAN_TO_INT),
])
def test_decide_allocation_strategy_errors(impl, args, error, message):
    expect_error(impl, "decide_allocation_strategy", args, error, message)


# -- calculate_optimal_chunks -------------------------------------------------

@pytest.mark.parametrize("args, kwargs, expected", [
    ((0, 1000, 0.2), {}, 1),
    ((10**6, 0, 0.2), {}, 1000),
    ((10**9, 1000, 0.2), {}, 1000),
    ((100, 1000, 0.2), {"min_chunks": 5, "max_chunks": 3}, 5),
    ((8000, 1000, 0.2), {}, 10),
    ((8001, 1000, 0.2), {}, 11),
    ((0, 1000, 0.2, 0), {}, 0),
    ((100, 1000, 0.2, -5, -3), {}, -3),
    ((10, 0, 0.2, 1, -7), {}, -7),
    ((U64_MAX, 1, 0.0, 1, CAP), {}, CAP),
    ((U64_MAX, 1, 0.0, -(2**63), -(2**63)), {}, -(2**63)),
    ((5, 1, 0.0, CAP, CAP), {}, CAP),
    ((Index(5), Index(1), 0.0, Index(2), Index(9)), {}, 5),
])
def test_calculate_optimal_chunks(impl, args, kwargs, expected):
    result = impl.calculate_optimal_chunks(*args, **kwargs)
    assert type(result) is int
    assert result == expected


@pytest.mark.parametrize("args, error, message", [
    ((-1, 10, 0.2), OverflowError, NEGATIVE_U64),
    ((10, 2**64, 0.2), OverflowError, TOO_BIG),
    ((10, 10, 0.2, 2**63), OverflowError, TOO_BIG_SIGNED),
    ((10, 10, 0.2, 1, -(2**63) - 1), OverflowError, TOO_BIG_SIGNED),
    # Every argument goes through __index__ before any range check, and the
    # byte counts are range-checked before the chunk bounds.
    ((-1, 10, 0.2, 1, "x"), TypeError, STR_NOT_AN_INT),
    ((-1, 10, 0.2, 2**63), OverflowError, NEGATIVE_U64),
    ((1.0, 10, "x"), TypeError, NOT_REAL),
    ((10, 10, NAN, 2**63), OverflowError, TOO_BIG_SIGNED),
    ((10, 10, NAN), ValueError, NAN_TO_INT),
])
def test_calculate_optimal_chunks_errors(impl, args, error, message):
    expect_error(impl, "calculate_optimal_chunks", args, error, message)


# -- calculate_memory_pressure and recommend_headroom ---------------------------

@pytest.mark.parametrize("args, expected", [
    ((5, 0), 1.0),
    ((0, 0), 1.0),
    ((300, 200), 1.0),
    ((50, 200), 0.25),
    ((0, 200), 0.0),
    ((U64_MAX, U64_MAX), 1.0),
    ((1, U64_MAX), 1 / 2**64),
])
def test_calculate_memory_pressure(impl, args, expected):
    result = impl.calculate_memory_pressure(*args)
    assert type(result) is float
    assert result == expected


@pytest.mark.parametrize("args, error, message", [
    ((-1, 10), OverflowError, NEGATIVE_U64),
    ((10, -1), OverflowError, NEGATIVE_U64),
    ((2**64, 10), OverflowError, TOO_BIG),
    ((-1, 10.0), TypeError, NOT_AN_INT),
])
def test_calculate_memory_pressure_errors(impl, args, error, message):
    expect_error(impl, "calculate_memory_pressure", args, error, message)


@pytest.mark.parametrize("args, expected", [
    ((0.0,), 0.4),
    ((0.5,), 0.5),
    ((0.7,), 0.5 + (0.7 - 0.5) * 0.5),
    ((0.9,), 0.8),
    ((0.1, 0.9), 0.8),
    ((0.5, 0.1), 0.3),
    ((0.3,), 0.4),
    ((0.6,), 0.5),
    ((0.8,), 0.5 + (0.8 - 0.5) * 0.5),
    ((0.2, 0.35), 0.3),
    ((NAN,), 0.4),
    ((NAN, NAN), 0.3),
    ((0.9, NAN), 0.8),
    ((-INF, INF), 0.8),
    ((1, 0), 0.8),
])
def test_recommend_headroom(impl, args, expected):
    result = impl.recommend_headroom(*args)
    assert type(result) is float
    assert result == expected


@pytest.mark.parametrize("args", [(0.5, NAN), (0.7, NAN)])
def test_recommend_headroom_passes_nan_through_the_clamp(impl, args):
    assert math.isnan(impl.recommend_headroom(*args))


@pytest.mark.parametrize("args, message", [
    (("x",), NOT_REAL),
    ((0.5, "x"), NOT_REAL),
    ((None, "x"), "must be real number, not NoneType"),
])
def test_recommend_headroom_errors(impl, args, message):
    expect_error(impl, "recommend_headroom", args, TypeError, message)


# -- compute_chunk_shapes -------------------------------------------------------

@pytest.mark.parametrize("args, expected", [
    (((10, 4), 8, 100), [(3, 4), (3, 4), (3, 4), (1, 4)]),
    (((7, 2, 3), 4, 50), [(2, 2, 3), (2, 2, 3), (2, 2, 3), (1, 2, 3)]),
    (((5,), 8, 4), [(1,)] * 5),
    (((6,), 1, 6), [(6,)]),
    (((6,), 1, 1000), [(6,)]),
    (((6,), 2, 6), [(3,), (3,)]),
    (((0, 3), 8, 4), [(0, 3)]),
    (((3, True), 8, 100), [(3, 1)]),
    (((3, 0, 2), 8, 100), [(3, 0, 2)]),
    # An empty array is one chunk, however large its other dimensions.
    (((0, 10**40), 1, 1), [(0, 10**40)]),
    (((10**40, 0), 1, 1), [(10**40, 0)]),
    # A row beyond the limit, through the element size or a later dimension.
    (((3, 2), 2**70, 10), [(1, 2)] * 3),
    (((3, 2**70), 1, 10), [(1, 2**70)] * 3),
    # Row counts beyond 64 bits.
    (((2**64 + 5,), 1, U64_MAX), [(U64_MAX,), (6,)]),
    (((3 * U64_MAX + 1,), 1, U64_MAX), [(U64_MAX,)] * 3 + [(1,)]),
    (((Index(5), Index(2)), Index(4), Index(16)), [(2, 2), (2, 2), (1, 2)]),
])
def test_compute_chunk_shapes(impl, args, expected):
    result = impl.compute_chunk_shapes(*args)
    assert type(result) is list
    assert result == expected
    for chunk in result:
        assert type(chunk) is tuple
        assert all(type(dim) is int for dim in chunk)


def test_compute_chunk_shapes_returns_the_empty_shape_itself(impl):
    shape = ()
    result = impl.compute_chunk_shapes(shape, 8, 4)
    assert result == [()]
    assert result[0] is shape


def test_compute_chunk_shapes_accepts_the_million_chunk_limit(impl):
    result = impl.compute_chunk_shapes((1000000,), 1, 1)
    assert len(result) == 1000000
    assert result[0] == (1,) and result[-1] == (1,)


@pytest.mark.parametrize("args, error, message", [
    # The checks run in order: shape type, element size, chunk limit, len().
    (([4, 4], 8, 100), TypeError, arg_type("shape", "tuple", "list")),
    (([4], 0, 10), TypeError, arg_type("shape", "tuple", "list")),
    ((TupleSubclass((4,)), 8, 100), TypeError, arg_type("shape", "tuple", "TupleSubclass")),
    ((None, 0, 10), ValueError, "element_size must be positive"),
    ((None, -5, 0), ValueError, "element_size must be positive"),
    ((None, 8.0, 0), TypeError, NOT_AN_INT),
    ((None, 8, 0), ValueError, "max_chunk_bytes must be positive"),
    ((None, 8, -1), ValueError, "max_chunk_bytes must be positive"),
    ((None, 8, 100.0), TypeError, NOT_AN_INT),
    ((None, 8, 2**64), OverflowError, TOO_BIG),
    ((None, 8, 10), TypeError, "object of type 'NoneType' has no len()"),
    (((4, 4), 8.0, 100), TypeError, NOT_AN_INT),
    (((4.0, 4), 8, 100), TypeError, NOT_AN_INT),
    (((4, -3), 8, 100), ValueError, "negative dimensions are not allowed (axis 1 = -3)"),
    # The first offending axis wins; later entries are not looked at.
    (((-3, 4.0), 8, 100), ValueError, "negative dimensions are not allowed (axis 0 = -3)"),
    (((4.0, -3), 8, 100), TypeError, NOT_AN_INT),
    (((0, -1), 8, 100), ValueError, "negative dimensions are not allowed (axis 1 = -1)"),
    (((0, 4.0), 8, 100), TypeError, NOT_AN_INT),
    (((1, 2, -(10**40)), 8, 100), ValueError,
     "negative dimensions are not allowed (axis 2 = -1.00e+40)"),
    (((1000001,), 1, 1), ValueError, f"Allocation requires 1000001 chunks (> 1000000); {TOO_MANY}"),
    (((10**40,), 1, 1), ValueError, f"Allocation requires 1.00e+40 chunks (> 1000000); {TOO_MANY}"),
    (((2**64,), 1, 1), ValueError,
     f"Allocation requires 18446744073709551616 chunks (> 1000000); {TOO_MANY}"),
    (((2000001, 3), 4, 12), ValueError, f"Allocation requires 2000001 chunks (> 1000000); {TOO_MANY}"),
    (((1000001 * U64_MAX,), 1, U64_MAX), ValueError,
     f"Allocation requires 1000001 chunks (> 1000000); {TOO_MANY}"),
])
def test_compute_chunk_shapes_errors(impl, args, error, message):
    expect_error(impl, "compute_chunk_shapes", args, error, message)


# The formatter, seen through the messages that carry a formatted number.
@pytest.mark.parametrize("number, text", [
    (999999999999999999999999999999, "999999999999999999999999999999"),
    (10**30, "1.00e+30"),
    (10**31 - 1, "9.99e+30"),
    (123456789012345678901234567890123, "1.23e+32"),
    (10**35 + 987654321, "1.00e+35"),
    (1999 * 10**40, "1.99e+43"),
    (2**64, "18446744073709551616"),
    (2**100, "1.26e+30"),
    # Far beyond what the interpreter would turn into decimal text.
    (10**5000, "1.00e+5000"),
    (7 * 10**20000 + 1, "7.00e+20000"),
], ids=lambda value: value if isinstance(value, str) else "number")
@pytest.mark.parametrize("sign", [1, -1])
def test_large_numbers_are_written_in_short_form(impl, number, text, sign):
    value = sign * number
    if sign < 0:
        expected = f"negative dimensions are not allowed (axis 1 = -{text})"
        shape = (1, value)
    else:
        expected = f"Allocation requires {text} chunks (> 1000000); {TOO_MANY}"
        shape = (value,)
    expect_error(impl, "compute_chunk_shapes", (shape, 1, 1), ValueError, expected)


# -- operation classification -------------------------------------------------

@pytest.mark.parametrize("message, type_name, expected", [
    ("CUDA out of memory. Tried to allocate 2.00 GiB", "RuntimeError", True),
    ("OUT OF MEMORY", "", True),
    ("", "CudaOutOfMemoryError", True),
    ("", "OUTOFMEMORYERROR", True),
    ("", "torch.cuda.OutOfMemoryError", True),
    ("CUDA error: memory", "RuntimeError", True),
    ("Allocation failed", "RuntimeError", True),
    ("allocating the buffer FAILED", "", True),
    ("Insufficient memory on device", "", True),
    ("GPU memory exhausted", "", True),
    ("memory leak detected", "MemoryError", False),
    ("out of memory", "", True),
    ("out-of-memory", "Out Of Memory Error", False),
    ("", "", False),
    ("gpu", "memory", False),
    ("allocation", "failed", False),
    # Non-ASCII text is lowered by the full Unicode rules.
    ("ÜBER OUT OF MEMORY", "", True),
    ("CUDA Speicher voll", "Fehler: MEMORY ÄÖ", False),
    ("ALLOCATİON FAILED", "", True),
    ("İNSUFFICIENT MEMORY", "", False),
    ("GPU μ-MEMORY", "", True),
    ("\u212aUDA", "OUTOFMEMORYERRORß", True),
])
def test_is_oom_error(impl, message, type_name, expected):
    assert impl.is_oom_error(message, type_name) is expected


@pytest.mark.parametrize("args, message", [
    ((b"out of memory", ""), arg_type("error_message", "str", "bytes")),
    (("", StrSubclass("OutOfMemoryError")), arg_type("error_type", "str", "StrSubclass")),
    # Both types are checked before either text is read.
    ((None, 5), arg_type("error_type", "str", "int")),
    ((None, ""), "is_oom_error() argument 'error_message' must be str, not None"),
    ((None, None), "is_oom_error() argument 'error_message' must be str, not None"),
    (("out of memory", None), "is_oom_error() argument 'error_type' must be str, not None"),
])
def test_is_oom_error_errors(impl, args, message):
    expect_error(impl, "is_oom_error", args, TypeError, message)


@pytest.mark.parametrize("operation", sorted(model.CHUNKABLE_OPS))
def test_chunkable_operations(impl, operation):
    assert impl.is_chunkable_operation(operation) is True


@pytest.mark.parametrize("operation", sorted(model.NON_CHUNKABLE_OPS) + [
    None, "randn", "Zeros", "zeros ", "", "random.", "random.randn\0", "zerös"])
def test_operations_that_are_not_chunkable(impl, operation):
    assert impl.is_chunkable_operation(operation) is False


@pytest.mark.parametrize("value, type_name", [
    (b"zeros", "bytes"), (StrSubclass("zeros"), "StrSubclass"), (1, "int")])
def test_is_chunkable_operation_errors(impl, value, type_name):
    expect_error(impl, "is_chunkable_operation", (value,), TypeError,
                 arg_type("operation", "str", type_name))


@pytest.mark.parametrize("args, expected", [
    ((800, "matmul", 1000, 0.2), 0.7),
    ((400, "zeros", 1000, 0.2), 0.5625),
    ((1600, "unlisted", 1000, 0.2), 0.25),
    ((1600, None, 1000, 0.2), 0.25),
    ((0, "zeros", 1000, 0.2), 0.0),
    ((0, "matmul", 0, 0.2), 0.0),
    ((500, "zeros", 0, 0.2), 0.0),
    ((10**9, "fft", 0, 0.0), 0.0),
    ((640, "random.uniform", 1000, 0.2), 0.9),
    ((U64_MAX, "sort", U64_MAX, 0.0), 0.7),
    ((1, "dot", 1, 5.0), 0.0),
])
def test_score_gpu_suitability(impl, args, expected):
    result = impl.score_gpu_suitability(*args)
    assert type(result) is float
    assert result == expected


@pytest.mark.parametrize("args, error, message", [
    ((10, b"x", 10, 0.1), TypeError, arg_type("operation_type", "str", "bytes")),
    # The ratio is converted before the operation's type is checked.
    ((10, b"x", 10, "y"), TypeError, NOT_REAL),
    ((-1, None, "x", 0.1), TypeError, STR_NOT_AN_INT),
    ((-1, None, 10, 0.1), OverflowError, NEGATIVE_U64),
    ((10, None, 2**64, 0.1), OverflowError, TOO_BIG),
    ((-1, None, 10, NAN), OverflowError, NEGATIVE_U64),
    ((10, None, 10, NAN), ValueError, NAN_TO_INT),
])
def test_score_gpu_suitability_errors(impl, args, error, message):
    expect_error(impl, "score_gpu_suitability", args, error, message)
