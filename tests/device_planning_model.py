"""Pure-Python twin of ``vantrel.gpu.device_planning``.

Written for clarity, not speed: every function follows the module's rules step
by step on arbitrary-precision ints, including the order in which arguments
are converted and checks are made, so the tests can compare the native module
against it result for result and error for error.
"""

import operator

GPU_DIRECT = 0
GPU_CHUNKED = 1
CPU_FALLBACK = 2

INT64_MAX = 2**63 - 1
INT64_MIN = -(2**63)
UINT64_MAX = 2**64 - 1
BYTE_CAP = INT64_MAX
BYTE_CAP_AS_DOUBLE = 9.223372036854776e18
MAX_CHUNKS = 1000000

# The interpreter's own wording for an int that does not fit the C integer
# types the byte counts (unsigned long) and chunk bounds (long) are read into.
UINT64_TOO_BIG = "Python int too large to convert to C unsigned long"
INT64_TOO_BIG = "Python int too large to convert to C long"

CHUNKABLE_OPS = frozenset({
    "zeros", "ones", "empty", "full", "random.randn", "random.rand",
    "random.random", "random.standard_normal", "random.uniform", "arange",
    "linspace",
})
NON_CHUNKABLE_OPS = frozenset({
    "matmul", "dot", "fft", "ifft", "fft2", "ifft2", "svd", "eig", "eigvals",
    "solve", "inv", "sort", "argsort",
})


# -- argument conversions ---------------------------------------------------

def _argument_type_error(name, expected, value):
    return TypeError(
        f"Argument '{name}' has incorrect type "
        f"(expected {expected}, got {type(value).__name__})")


def check_exact(name, expected_type, value):
    """An exact built-in type or None; subclasses are refused."""
    if value is not None and type(value) is not expected_type:
        raise _argument_type_error(name, expected_type.__name__, value)
    return value


def as_double(value):
    """The interpreter's float protocol (PyFloat_AsDouble)."""
    if isinstance(value, float):
        # A float subclass is read directly; its own __float__ is not called.
        return float.__float__(value)
    kind = type(value)
    if hasattr(kind, "__float__"):
        result = kind.__float__(value)
        if not isinstance(result, float):
            raise TypeError(
                f"{kind.__name__[:50]}.__float__ returned non-float "
                f"(type {type(result).__name__[:50]})")
        return float(result)
    if hasattr(kind, "__index__"):
        return float(operator.index(value))
    raise TypeError(f"must be real number, not {kind.__name__[:50]}")


def as_uint64(value):
    if value < 0:
        raise OverflowError("can't convert negative value to uint64_t")
    if value > UINT64_MAX:
        raise OverflowError(UINT64_TOO_BIG)
    return value


def as_int64(value):
    if not INT64_MIN <= value <= INT64_MAX:
        raise OverflowError(INT64_TOO_BIG)
    return value


def _ceil_div(numerator, denominator):
    return (numerator + denominator - 1) // denominator


# -- allocation strategy ----------------------------------------------------

def estimate_allocation_bytes(shape, element_size, overhead_factor=1.0):
    overhead_factor = as_double(overhead_factor)
    check_exact("shape", tuple, shape)
    len(shape)
    es = operator.index(element_size)
    if es < 0:
        raise ValueError("element_size must be non-negative")
    total_elements = 1
    for entry in shape:
        d = operator.index(entry)
        if d <= 0:
            return 0
        if total_elements > BYTE_CAP // d:
            return 0 if es == 0 else BYTE_CAP
        total_elements *= d
    if es > 0 and total_elements > BYTE_CAP // es:
        return BYTE_CAP
    total_bytes = total_elements * es
    if overhead_factor > 1.0:
        if total_bytes > 0 and overhead_factor > BYTE_CAP_AS_DOUBLE / total_bytes:
            return BYTE_CAP
        result = int(overhead_factor * total_bytes)
        return BYTE_CAP if result > BYTE_CAP else result
    return total_bytes


def safe_limit(avail, headroom_ratio):
    """The internal entry point: a converted byte count and a double."""
    if headroom_ratio != headroom_ratio:
        raise ValueError("cannot convert float NaN to integer")
    if headroom_ratio < 0.0:
        headroom_ratio = 0.0
    elif headroom_ratio > 0.99:
        headroom_ratio = 0.99
    safe = int(avail * (1.0 - headroom_ratio))
    return avail if safe > avail else safe


def calculate_safe_limit(available_bytes, headroom_ratio):
    headroom_ratio = as_double(headroom_ratio)
    avail = as_uint64(operator.index(available_bytes))
    return safe_limit(avail, headroom_ratio)


def decide_allocation_strategy(requested_bytes, available_bytes, headroom_ratio,
                               is_chunkable, codes=None):
    """``codes`` stands for the module namespace the strategy codes are read from."""
    codes = globals() if codes is None else codes
    headroom_ratio = as_double(headroom_ratio)
    is_chunkable = bool(is_chunkable)
    req = operator.index(requested_bytes)
    avail = operator.index(available_bytes)
    req = as_uint64(req)
    avail = as_uint64(avail)
    safe = safe_limit(avail, headroom_ratio)
    if safe == 0:
        return (codes["CPU_FALLBACK"], 0, 1, "No GPU memory available")
    if req <= safe:
        return (codes["GPU_DIRECT"], 0, 1, "Allocation fits in GPU memory")
    if is_chunkable:
        chunk_count = _ceil_div(req, safe)
        return (codes["GPU_CHUNKED"], safe, chunk_count,
                "Chunking into " + str(chunk_count) + " GPU passes")
    return (codes["CPU_FALLBACK"], 0, 1,
            "Operation not chunkable, falling back to CPU")


def calculate_optimal_chunks(total_bytes, available_bytes, headroom_ratio,
                             min_chunks=1, max_chunks=1000):
    headroom_ratio = as_double(headroom_ratio)
    total = operator.index(total_bytes)
    avail = operator.index(available_bytes)
    low = operator.index(min_chunks)
    high = operator.index(max_chunks)
    total = as_uint64(total)
    avail = as_uint64(avail)
    low = as_int64(low)
    high = as_int64(high)
    safe = safe_limit(avail, headroom_ratio)
    if safe == 0:
        return high
    chunks = _ceil_div(total, safe)
    if chunks < low:
        return low
    if chunks > high:
        return high
    return chunks


def calculate_memory_pressure(used_bytes, total_bytes):
    used = operator.index(used_bytes)
    total = operator.index(total_bytes)
    used = as_uint64(used)
    total = as_uint64(total)
    if total == 0:
        return 1.0
    pressure = float(used) / float(total)
    return 1.0 if pressure > 1.0 else pressure


def recommend_headroom(current_pressure, base_headroom=0.5):
    p = as_double(current_pressure)
    b = as_double(base_headroom)
    if p > 0.8:
        headroom = 0.8
    elif p > 0.6:
        headroom = b + (p - 0.5) * 0.5
    elif p > 0.3:
        headroom = b
    else:
        lowered = b - 0.1
        headroom = lowered if lowered > 0.3 else 0.3
    if headroom < 0.3:
        headroom = 0.3
    if headroom > 0.8:
        headroom = 0.8
    return headroom


# -- chunk shapes -------------------------------------------------------------

def pow10(k):
    return 10**k


def decimal_digit_count(n):
    d = (n.bit_length() * 30103) // 100000
    if d < 0:
        d = 0
    while n < pow10(d):
        d -= 1
    d += 1
    while n >= pow10(d):
        d += 1
    return d


def format_chunk_count(n):
    n = int(n)
    sign = "-" if n < 0 else ""
    value = -n if n < 0 else n
    if value == 0:
        return sign + "0"
    digits = decimal_digit_count(value)
    if digits > 30:
        lead = value // pow10(digits - 3)
        return f"{sign}{lead // 100}.{lead % 100:02d}e+{digits - 1}"
    return sign + str(value)


def compute_chunk_shapes(shape, element_size, max_chunk_bytes):
    check_exact("shape", tuple, shape)
    es = operator.index(element_size)
    if es <= 0:
        raise ValueError("element_size must be positive")
    mcb = operator.index(max_chunk_bytes)
    if mcb <= 0:
        raise ValueError("max_chunk_bytes must be positive")
    mcb = as_uint64(mcb)
    result = []
    ndim = len(shape)
    if ndim == 0:
        result.append(shape)
        return result
    dims = []
    for axis in range(ndim):
        d = operator.index(shape[axis])
        if d < 0:
            raise ValueError(
                "negative dimensions are not allowed (axis " + str(axis)
                + " = " + format_chunk_count(d) + ")")
        dims.append(d)
    dims = tuple(dims)
    if 0 in dims:
        result.append(dims)
        return result
    row_bytes = es
    for d in dims[1:]:
        row_bytes *= d
    if row_bytes > mcb:
        rows_per_chunk = 1
    else:
        rows_per_chunk = max(mcb // row_bytes, 1)
    n_chunks = -((-dims[0]) // rows_per_chunk)
    if n_chunks > MAX_CHUNKS:
        raise ValueError(
            "Allocation requires " + format_chunk_count(n_chunks)
            + " chunks (> 1000000); too large to chunk on GPU -- use CPU "
            "fallback for this shape")
    rest = dims[1:]
    remaining = dims[0]
    while remaining > 0:
        rows = rows_per_chunk if rows_per_chunk < remaining else remaining
        result.append((rows,) + rest)
        remaining -= rows
    return result


# -- operation classification -------------------------------------------------

def _lowered(name, text):
    if text is None:
        raise TypeError(
            f"is_oom_error() argument '{name}' must be str, not None")
    return text.lower()


def is_oom_error(error_message, error_type):
    check_exact("error_message", str, error_message)
    check_exact("error_type", str, error_type)
    msg = _lowered("error_message", error_message)
    typ = _lowered("error_type", error_type)
    return ("out of memory" in msg
            or "outofmemoryerror" in typ
            or ("cuda" in msg and "memory" in msg)
            or ("allocat" in msg and "failed" in msg)
            or ("memory" in msg and "insufficient" in msg)
            or ("gpu" in msg and "memory" in msg))


def is_chunkable_operation(operation):
    check_exact("operation", str, operation)
    return operation in CHUNKABLE_OPS


def score_gpu_suitability(data_size_bytes, operation_type, available_gpu_memory,
                          headroom_ratio):
    headroom_ratio = as_double(headroom_ratio)
    check_exact("operation_type", str, operation_type)
    data = operator.index(data_size_bytes)
    avail = operator.index(available_gpu_memory)
    data = as_uint64(data)
    avail = as_uint64(avail)
    safe = safe_limit(avail, headroom_ratio)
    if safe == 0:
        size_score = 0.0
    elif safe < data:
        size_score = float(safe) / float(data)
    else:
        size_score = float(data) / (float(safe) * 0.8)
        if size_score > 1.0:
            size_score = 1.0
    if operation_type in CHUNKABLE_OPS:
        factor = 0.9
    elif operation_type in NON_CHUNKABLE_OPS:
        factor = 0.7
    else:
        factor = 0.5
    return size_score * factor
