// vantrel.gpu.device_planning: GPU memory planning as pure functions of the
// caller's measurements: allocation size estimates, the safe share of free
// memory, the direct / chunked / host decision, chunk shapes and counts,
// memory pressure and headroom, and the classification of operations and
// out-of-memory errors.
//
// The arithmetic lives in the plain C++ headers beside this file; here the
// arguments are converted (byte counts through operator.index, then to
// 64-bit), the few cases wider than 64 bits are settled on Python ints, and
// the results are built.
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include <vantrel/ascii_text.hpp>
#include <vantrel/index_int.hpp>
#include <vantrel/module.hpp>

#include "chunk_plan.hpp"
#include "count_text.hpp"
#include "operation_rules.hpp"
#include "planning_arithmetic.hpp"

namespace vantrel::device_planning {
namespace {

// ===========================================================================
// Constants and tables

constexpr const char* module_doc =
    "GPU memory planning: allocation estimates, safe limits, the three-tier\n"
    "allocation strategy (GPU_DIRECT, GPU_CHUNKED, CPU_FALLBACK), chunk shapes,\n"
    "memory pressure and headroom, and operation classification.\n"
    "\n"
    "Every function is pure: it keeps no state, touches no device and may be\n"
    "called from any number of threads.";

constexpr const char* banner = "Vantrel Device Planning Kiln module loaded - IP protected";
constexpr const char* build_token = "r35-gpu-byte-count-params-operator-index-2026-06-27";

constexpr const char* nan_to_integer = "cannot convert float NaN to integer";

// Objects made once at import and used on every call. The module object
// lives for the rest of the process (the module record holds it), so its
// namespace may be kept borrowed.
struct State {
    PyObject* namespace_dict;  // borrowed
    PyObject* gpu_direct;      // attribute names, interned
    PyObject* gpu_chunked;
    PyObject* cpu_fallback;
    PyObject* fits_message;  // fixed result texts
    PyObject* no_memory_message;
    PyObject* not_chunkable_message;
    // Results without chunking, one per outcome, made again only when the
    // strategy code in the module namespace changes (see constant_result).
    PyObject* no_memory_result;
    PyObject* fits_result;
    PyObject* not_chunkable_result;
    PyObject* lower;  // method names, interned
    PyObject* bit_length;
    PyObject* ten;
};
State state;

void make_state(PyObject* module) {
    auto text = [](const char* value) { return ascii_str(value).release(); };
    state.namespace_dict = PyModule_GetDict(module);
    state.gpu_direct = interned("GPU_DIRECT");
    state.gpu_chunked = interned("GPU_CHUNKED");
    state.cpu_fallback = interned("CPU_FALLBACK");
    state.fits_message = text("Allocation fits in GPU memory");
    state.no_memory_message = text("No GPU memory available");
    state.not_chunkable_message = text("Operation not chunkable, falling back to CPU");
    state.lower = interned("lower");
    state.bit_length = interned("bit_length");
    state.ten = Ref::steal(PyLong_FromLong(10)).release();
}

// ===========================================================================
// Conversions shared by the functions

// A byte count after operator.index, as an unsigned 64-bit integer.
std::uint64_t to_byte_count(const IndexInt& value) {
    const IntMagnitude m = int_magnitude(value.get());
    if (m.sign >= 0 && m.fits) return m.magnitude;
    return uint64_from_int(value.get());  // raises the OverflowError for this value
}

// A chunk bound after operator.index, as a signed 64-bit integer.
std::int64_t to_chunk_bound(const IndexInt& value) {
    const IntMagnitude m = int_magnitude(value.get());
    if (m.fits && m.magnitude <= static_cast<std::uint64_t>(INT64_MAX)) {
        return m.negative() ? -static_cast<std::int64_t>(m.magnitude) : static_cast<std::int64_t>(m.magnitude);
    }
    return int64_from_int(value.get());  // -2**63 itself, or the OverflowError for this value
}

Extent extent_of(const IndexInt& value) {
    const IntMagnitude m = int_magnitude(value.get());
    if (m.negative()) return {Extent::Kind::negative};
    if (m.sign == 0) return {Extent::Kind::zero};
    if (!m.fits) return {Extent::Kind::wide};
    return {Extent::Kind::fits, m.magnitude};
}

// len() of a shape that has passed its type test (a tuple or None).
Py_ssize_t shape_length(PyObject* shape) {
    if (shape == Py_None) raise(PyExc_TypeError, "object of type 'NoneType' has no len()");
    return PyTuple_GET_SIZE(shape);
}

Ref module_global(PyObject* name) { return vantrel::module_global(state.namespace_dict, name); }

// ===========================================================================
// Functions: allocation strategy

// The internal entry point of calculate_safe_limit, for callers that hold a
// converted byte count and ratio.
std::uint64_t _c_calculate_safe_limit(std::uint64_t available, double headroom_ratio) {
    const std::optional<std::uint64_t> safe = safe_limit(available, headroom_ratio);
    if (!safe) raise(PyExc_ValueError, nan_to_integer);
    return *safe;
}

std::uint64_t estimate_allocation_bytes(PyObject* shape, PyObject* element_size, double overhead_factor) {
    exact_or_none(shape, &PyTuple_Type, "shape");
    const Py_ssize_t ndim = shape_length(shape);
    const IndexInt element_size_value(element_size);
    const Extent bytes_per_element = extent_of(element_size_value);
    if (bytes_per_element.kind == Extent::Kind::negative) {
        raise(PyExc_ValueError, "element_size must be non-negative");
    }
    // Dimensions are read only as far as needed: a non-positive one or a
    // product past the cap settles the result.
    ElementCount elements;
    for (Py_ssize_t axis = 0; axis < ndim; ++axis) {
        const IndexInt dimension_value(PyTuple_GET_ITEM(shape, axis));
        const Extent dimension = extent_of(dimension_value);
        if (!dimension.positive()) return 0;
        if (!elements.multiply(dimension)) return bytes_per_element.kind == Extent::Kind::zero ? 0 : byte_cap;
    }
    const std::optional<std::uint64_t> bytes =
        with_overhead(element_bytes(elements.total(), bytes_per_element), overhead_factor);
    if (!bytes) raise(PyExc_ValueError, nan_to_integer);
    return *bytes;
}

std::uint64_t calculate_safe_limit(PyObject* available_bytes, double headroom_ratio) {
    const IndexInt available(available_bytes);
    return _c_calculate_safe_limit(to_byte_count(available), headroom_ratio);
}

// (strategy code, chunk size, chunk count, message).
Ref strategy_result(Ref code, std::uint64_t chunk_size, std::uint64_t chunk_count, Ref message) {
    Ref size = Ref::steal(PyLong_FromUnsignedLongLong(chunk_size));
    Ref count = Ref::steal(PyLong_FromUnsignedLongLong(chunk_count));
    Ref result = Ref::steal(PyTuple_New(4));
    PyTuple_SET_ITEM(result.get(), 0, code.release());
    PyTuple_SET_ITEM(result.get(), 1, size.release());
    PyTuple_SET_ITEM(result.get(), 2, count.release());
    PyTuple_SET_ITEM(result.get(), 3, message.release());
    return result;
}

// (code, 0, 1, message) for the current value of the strategy code named
// `code_name`. These tuples are immutable and equal from call to call while
// the code stays the same object, so one is kept per outcome in `cache` and
// handed out again.
Ref constant_result(PyObject*& cache, PyObject* code_name, PyObject* message) {
    Ref code = module_global(code_name);
    if (cache != nullptr && PyTuple_GET_ITEM(cache, 0) == code.get()) return Ref::borrow(cache);
    Ref fresh = strategy_result(std::move(code), 0, 1, Ref::borrow(message));
    // The tuple given up may hold the last reference to an old code object,
    // whose release can run Python code; by then `fresh` is our result.
    Ref replaced = Ref::steal_or_null(std::exchange(cache, Ref(fresh).release()));
    return fresh;
}

// "Chunking into <count> GPU passes", written straight into the new str.
Ref chunking_message(std::uint64_t chunk_count) {
    constexpr std::string_view head = "Chunking into ";
    constexpr std::string_view tail = " GPU passes";
    const auto digits = static_cast<std::size_t>(decimal_digit_count(chunk_count));
    Ref message = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(head.size() + digits + tail.size()), 127));
    char* text = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(message.get()));
    std::memcpy(text, head.data(), head.size());
    std::to_chars(text + head.size(), text + head.size() + digits, chunk_count);
    std::memcpy(text + head.size() + digits, tail.data(), tail.size());
    return message;
}

Ref decide_allocation_strategy(PyObject* requested_bytes, PyObject* available_bytes, double headroom_ratio,
                               bool is_chunkable) {
    const IndexInt requested_value(requested_bytes);
    const IndexInt available_value(available_bytes);
    const std::uint64_t requested = to_byte_count(requested_value);
    const std::uint64_t available = to_byte_count(available_value);
    const std::uint64_t safe = _c_calculate_safe_limit(available, headroom_ratio);
    const AllocationPlan plan = plan_allocation(requested, safe, is_chunkable);
    switch (plan.outcome) {
        case AllocationOutcome::no_memory:
            return constant_result(state.no_memory_result, state.cpu_fallback, state.no_memory_message);
        case AllocationOutcome::fits:
            return constant_result(state.fits_result, state.gpu_direct, state.fits_message);
        case AllocationOutcome::chunked:
            return strategy_result(module_global(state.gpu_chunked), plan.chunk_size, plan.chunk_count,
                                   chunking_message(plan.chunk_count));
        case AllocationOutcome::not_chunkable:
            break;
    }
    return constant_result(state.not_chunkable_result, state.cpu_fallback, state.not_chunkable_message);
}

std::int64_t calculate_optimal_chunks(PyObject* total_bytes, PyObject* available_bytes, double headroom_ratio,
                                      PyObject* min_chunks, PyObject* max_chunks) {
    const IndexInt total_value(total_bytes);
    const IndexInt available_value(available_bytes);
    const IndexInt min_value(min_chunks);
    const IndexInt max_value(max_chunks);
    const std::uint64_t total = to_byte_count(total_value);
    const std::uint64_t available = to_byte_count(available_value);
    const std::int64_t low = to_chunk_bound(min_value);
    const std::int64_t high = to_chunk_bound(max_value);
    return bounded_chunk_count(total, _c_calculate_safe_limit(available, headroom_ratio), low, high);
}

double calculate_memory_pressure(PyObject* used_bytes, PyObject* total_bytes) {
    const IndexInt used_value(used_bytes);
    const IndexInt total_value(total_bytes);
    const std::uint64_t used = to_byte_count(used_value);
    const std::uint64_t total = to_byte_count(total_value);
    return memory_pressure(used, total);
}

double recommend_headroom(double current_pressure, double base_headroom) {
    return headroom_for(current_pressure, base_headroom);
}

// ===========================================================================
// Functions: chunk shapes

// 10**k as a Python int.
Ref _pow10(long long k) {
    Ref exponent = Ref::steal(PyLong_FromLongLong(k));
    return Ref::steal(PyNumber_Power(state.ten, exponent.get(), Py_None));
}

bool int_less(PyObject* left, PyObject* right) { return check(PyObject_RichCompareBool(left, right, Py_LT)) != 0; }

// Decimal digits of a positive int, from its bit length corrected against
// powers of ten: no decimal text is made.
long long _decimal_digit_count(PyObject* n) {
    const IntMagnitude m = int_magnitude(n);
    if (m.fits) return decimal_digit_count(m.magnitude);
    Ref bits_object = Ref::steal(PyObject_CallMethodNoArgs(n, state.bit_length));
    const unsigned long long bits = PyLong_AsUnsignedLongLong(bits_object.get());
    if (bits == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
    long long digits = digit_estimate(bits);
    while (int_less(n, _pow10(digits).get())) --digits;
    ++digits;
    while (!int_less(n, _pow10(digits).get())) ++digits;
    return digits;
}

// The text of an int in messages: in full up to 30 digits, else three
// significant digits and an exponent. A count however large costs its digit
// count and one division, never its full decimal text.
Ref _format_chunk_count(PyObject* n) {
    const IntMagnitude m = int_magnitude(n);
    if (m.fits) return ascii_str(count_text(m.negative(), m.magnitude).view());
    Ref value = m.negative() ? Ref::steal(PyNumber_Negative(n)) : Ref::borrow(n);
    const long long digits = _decimal_digit_count(value.get());
    if (digits > full_text_digits) {
        Ref lead = Ref::steal(PyNumber_FloorDivide(value.get(), _pow10(digits - 3).get()));
        const unsigned long leading_digits = PyLong_AsUnsignedLong(lead.get());
        if (leading_digits == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw PythonError{};
        return ascii_str(
            short_form_count_text(m.negative(), static_cast<unsigned>(leading_digits), digits).view());
    }
    Ref digits_text = Ref::steal(PyObject_Str(value.get()));  // at most 30 digits
    if (!m.negative()) return digits_text;
    return Ref::steal(PyUnicode_Concat(ascii_str("-").get(), digits_text.get()));
}

[[noreturn]] void raise_too_many_chunks(PyObject* chunk_count) {
    Ref text = _format_chunk_count(chunk_count);
    raise_format(PyExc_ValueError,
                 "Allocation requires %U chunks (> 1000000); too large to chunk on GPU -- use CPU fallback for "
                 "this shape",
                 text.get());
}

// A chunk shape: (rows, *dims[1:]), the later dimensions shared, not copied.
Ref chunk_shape(PyObject* dims, PyObject* rows) {
    const Py_ssize_t ndim = PyTuple_GET_SIZE(dims);
    Ref chunk = Ref::steal(PyTuple_New(ndim));
    PyTuple_SET_ITEM(chunk.get(), 0, Py_NewRef(rows));
    for (Py_ssize_t k = 1; k < ndim; ++k) PyTuple_SET_ITEM(chunk.get(), k, Py_NewRef(PyTuple_GET_ITEM(dims, k)));
    return chunk;
}

// `count` chunk shapes, all of `full_rows` rows but the last, which has
// `last_rows`. The full chunks are equal immutable tuples, so the list holds
// one tuple for all of them (as [chunk] * n would): a plan of a million
// chunks costs a million list slots, not a million tuples.
Ref chunk_list(PyObject* dims, Py_ssize_t count, PyObject* full_rows, PyObject* last_rows) {
    Ref last = chunk_shape(dims, last_rows);
    Ref full = count > 1 && full_rows != last_rows ? chunk_shape(dims, full_rows) : last;
    Ref chunks = Ref::steal(PyList_New(count));
    for (Py_ssize_t i = 0; i + 1 < count; ++i) PyList_SET_ITEM(chunks.get(), i, Py_NewRef(full.get()));
    PyList_SET_ITEM(chunks.get(), count - 1, last.release());
    return chunks;
}

Ref single_item_list(PyObject* item) {
    Ref list = Ref::steal(PyList_New(1));
    PyList_SET_ITEM(list.get(), 0, Py_NewRef(item));
    return list;
}

// Chunks along a first dimension of 2**64 rows or more: the same rule on
// Python ints. Such a plan stays within the chunk limit only with more than
// 2**44 rows per chunk, so its chunk count and last chunk fit 64 bits.
Ref wide_chunk_list(PyObject* dims, std::uint64_t rows_per_chunk_value) {
    PyObject* rows = PyTuple_GET_ITEM(dims, 0);
    Ref rows_per_chunk = Ref::steal(PyLong_FromUnsignedLongLong(rows_per_chunk_value));
    Ref negated = Ref::steal(PyNumber_Negative(rows));
    Ref floor_quotient = Ref::steal(PyNumber_FloorDivide(negated.get(), rows_per_chunk.get()));
    Ref chunk_count = Ref::steal(PyNumber_Negative(floor_quotient.get()));
    const IntMagnitude count = int_magnitude(chunk_count.get());
    if (!count.fits || count.magnitude > max_chunk_count) raise_too_many_chunks(chunk_count.get());
    Ref full_chunks = Ref::steal(PyLong_FromUnsignedLongLong(count.magnitude - 1));
    Ref rows_in_full_chunks = Ref::steal(PyNumber_Multiply(full_chunks.get(), rows_per_chunk.get()));
    Ref last_rows = Ref::steal(PyNumber_Subtract(rows, rows_in_full_chunks.get()));
    return chunk_list(dims, static_cast<Py_ssize_t>(count.magnitude), rows_per_chunk.get(), last_rows.get());
}

Ref compute_chunk_shapes(PyObject* shape, PyObject* element_size, PyObject* max_chunk_bytes) {
    exact_or_none(shape, &PyTuple_Type, "shape");
    const IndexInt element_size_value(element_size);
    const Extent bytes_per_element = extent_of(element_size_value);
    if (!bytes_per_element.positive()) raise(PyExc_ValueError, "element_size must be positive");
    const IndexInt limit_value(max_chunk_bytes);
    if (!extent_of(limit_value).positive()) raise(PyExc_ValueError, "max_chunk_bytes must be positive");
    const std::uint64_t max_bytes = to_byte_count(limit_value);

    const Py_ssize_t ndim = shape_length(shape);
    if (ndim == 0) return single_item_list(shape);

    // The dimensions as plain ints, checked axis by axis in order.
    Ref dims = Ref::steal(PyTuple_New(ndim));
    Extent first{Extent::Kind::zero};
    RowBytes row_bytes(bytes_per_element);
    bool empty = false;
    for (Py_ssize_t axis = 0; axis < ndim; ++axis) {
        const IndexInt dimension_value(PyTuple_GET_ITEM(shape, axis));
        const Extent dimension = extent_of(dimension_value);
        if (dimension.kind == Extent::Kind::negative) {
            Ref text = _format_chunk_count(dimension_value.get());
            raise_format(PyExc_ValueError, "negative dimensions are not allowed (axis %zd = %U)", axis, text.get());
        }
        PyTuple_SET_ITEM(dims.get(), axis, dimension_value.new_ref().release());
        if (dimension.kind == Extent::Kind::zero) empty = true;
        if (axis == 0) first = dimension;
        else if (!empty) row_bytes.multiply(dimension);
    }
    if (empty) return single_item_list(dims.get());  // an empty array is one chunk of its own shape

    const std::uint64_t rows_per = rows_per_chunk(row_bytes.value(), max_bytes);
    if (first.kind == Extent::Kind::wide) return wide_chunk_list(dims.get(), rows_per);
    const ChunkPlan plan = plan_chunks(first.value, rows_per);
    if (plan.too_many_chunks()) {
        Ref count = Ref::steal(PyLong_FromUnsignedLongLong(plan.chunk_count));
        raise_too_many_chunks(count.get());
    }
    PyObject* all_rows = PyTuple_GET_ITEM(dims.get(), 0);
    if (plan.chunk_count == 1) return chunk_list(dims.get(), 1, all_rows, all_rows);
    Ref full_rows = Ref::steal(PyLong_FromUnsignedLongLong(plan.rows_per_chunk));
    Ref last_rows = plan.last_rows == plan.rows_per_chunk
                        ? full_rows
                        : Ref::steal(PyLong_FromUnsignedLongLong(plan.last_rows));
    return chunk_list(dims.get(), static_cast<Py_ssize_t>(plan.chunk_count), full_rows.get(), last_rows.get());
}

// ===========================================================================
// Functions: operation classification

// Strings made through the old wide-character API are filled in on first use
// before 3.12; later versions have no such strings.
void make_ready([[maybe_unused]] PyObject* text) {
#if !VANTREL_PY312_PLUS
    check(PyUnicode_READY(text));
#endif
}

// A str's code units as the keyword rules read them: ASCII text as it is
// (the search folds its case), any other text lower-cased by str.lower(),
// whose full Unicode rules can turn one character into several.
class LoweredText {
public:
    explicit LoweredText(PyObject* text) {
        make_ready(text);
        if (PyUnicode_IS_ASCII(text)) {
            units_ = {PyUnicode_DATA(text), static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)), 1};
            return;
        }
        lowered_ = Ref::steal(PyObject_CallMethodNoArgs(text, state.lower));
        PyObject* lowered = lowered_.get();
        units_ = {PyUnicode_DATA(lowered), static_cast<std::size_t>(PyUnicode_GET_LENGTH(lowered)),
                  static_cast<int>(PyUnicode_KIND(lowered))};
    }
    const TextUnits& units() const { return units_; }

private:
    Ref lowered_;
    TextUnits units_{};
};

// None passes the str parameters' type test but has no text to lower.
void require_text(PyObject* text, const char* parameter) {
    if (text == Py_None) {
        raise_format(PyExc_TypeError, "is_oom_error() argument '%s' must be str, not None", parameter);
    }
}

bool is_oom_error(Str error_message, Str error_type) {
    require_text(error_message.object, "error_message");
    require_text(error_type.object, "error_type");
    const LoweredText message(error_message.object);
    const LoweredText type_name(error_type.object);
    return looks_out_of_memory(KeywordSearch(message.units(), true), KeywordSearch(type_name.units(), false));
}

// Listed names are ASCII, so other text (and None) is unlisted.
OperationKind operation_kind(PyObject* operation) {
    if (operation == Py_None) return OperationKind::unlisted;
    make_ready(operation);
    if (!PyUnicode_IS_ASCII(operation)) return OperationKind::unlisted;
    return classify_operation({static_cast<const char*>(PyUnicode_DATA(operation)),
                               static_cast<std::size_t>(PyUnicode_GET_LENGTH(operation))});
}

// The internal entry point of is_chunkable_operation: `operation` has passed
// the type test (a str or None).
bool _c_is_chunkable_operation(PyObject* operation) {
    return operation_kind(operation) == OperationKind::chunkable;
}

bool is_chunkable_operation(Str operation) { return _c_is_chunkable_operation(operation.object); }

double score_gpu_suitability(PyObject* data_size_bytes, PyObject* operation_type, PyObject* available_gpu_memory,
                             double headroom_ratio) {
    exact_or_none(operation_type, &PyUnicode_Type, "operation_type");
    const IndexInt data_value(data_size_bytes);
    const IndexInt available_value(available_gpu_memory);
    const std::uint64_t data = to_byte_count(data_value);
    const std::uint64_t available = to_byte_count(available_value);
    const std::uint64_t safe = _c_calculate_safe_limit(available, headroom_ratio);
    const OperationKind kind =
        _c_is_chunkable_operation(operation_type) ? OperationKind::chunkable : operation_kind(operation_type);
    return size_score(data, safe) * operation_factor(kind);
}

// ===========================================================================
// Function descriptions

constexpr Param estimate_params[] = {
    {"shape", "tuple"}, {"element_size", "int"}, {"overhead_factor", "float", Default::of(1.0)}};
constexpr Param safe_limit_params[] = {{"available_bytes", "int"}, {"headroom_ratio", "float"}};
constexpr Param strategy_params[] = {
    {"requested_bytes", "int"}, {"available_bytes", "int"}, {"headroom_ratio", "float"}, {"is_chunkable", "bool"}};
constexpr Param chunk_shapes_params[] = {{"shape", "tuple"}, {"element_size", "int"}, {"max_chunk_bytes", "int"}};
constexpr Param optimal_chunks_params[] = {{"total_bytes", "int"},
                                           {"available_bytes", "int"},
                                           {"headroom_ratio", "float"},
                                           {"min_chunks", "int", Default::of(1)},
                                           {"max_chunks", "int", Default::of(1000)}};
constexpr Param oom_params[] = {{"error_message", "str"}, {"error_type", "str"}};
constexpr Param chunkable_params[] = {{"operation", "Optional[str]"}};
constexpr Param suitability_params[] = {{"data_size_bytes", "int"},
                                        {"operation_type", "Optional[str]"},
                                        {"available_gpu_memory", "int"},
                                        {"headroom_ratio", "float"}};
constexpr Param pressure_params[] = {{"used_bytes", "int"}, {"total_bytes", "int"}};
constexpr Param headroom_params[] = {{"current_pressure", "float"},
                                     {"base_headroom", "float", Default::of(0.5)}};

const FunctionDef estimate_allocation_bytes_def{
    "estimate_allocation_bytes", nullptr,
    "Bytes needed for an array of `shape` with `element_size`-byte elements,\n"
    "times `overhead_factor` when it is above 1.0; saturates at 2**63 - 1.",
    estimate_params, "int", bind<&estimate_allocation_bytes>()};
const FunctionDef calculate_safe_limit_def{
    "calculate_safe_limit", nullptr,
    "Bytes of `available_bytes` usable while keeping `headroom_ratio` of it\n"
    "free (the ratio clamped to [0.0, 0.99]).",
    safe_limit_params, "int", bind<&calculate_safe_limit>()};
const FunctionDef decide_allocation_strategy_def{
    "decide_allocation_strategy", nullptr,
    "Choose GPU_DIRECT, GPU_CHUNKED or CPU_FALLBACK for a request; returns\n"
    "(strategy_code, chunk_size, chunk_count, message).",
    strategy_params, "tuple", bind<&decide_allocation_strategy>()};
const FunctionDef compute_chunk_shapes_def{
    "compute_chunk_shapes", nullptr,
    "Split `shape` along its first axis into chunk shapes of at most\n"
    "`max_chunk_bytes` bytes each (one row per chunk when a row is larger).",
    chunk_shapes_params, "list", bind<&compute_chunk_shapes>()};
const FunctionDef calculate_optimal_chunks_def{
    "calculate_optimal_chunks", nullptr,
    "Number of passes over `total_bytes` within the safe limit, bounded by\n"
    "`min_chunks` (tested first) and `max_chunks`.",
    optimal_chunks_params, "int", bind<&calculate_optimal_chunks>()};
const FunctionDef is_oom_error_def{
    "is_oom_error", nullptr, "Whether an error message and type name describe running out of memory.",
    oom_params, "bool", bind<&is_oom_error>()};
const FunctionDef is_chunkable_operation_def{
    "is_chunkable_operation", nullptr, "Whether an array operation can be produced chunk by chunk.",
    chunkable_params, "bool", bind<&is_chunkable_operation>()};
const FunctionDef score_gpu_suitability_def{
    "score_gpu_suitability", nullptr,
    "How well a workload suits the GPU, from 0.0 to 1.0: the share of the safe\n"
    "limit the data uses, weighted by the kind of operation.",
    suitability_params, "float", bind<&score_gpu_suitability>()};
const FunctionDef calculate_memory_pressure_def{
    "calculate_memory_pressure", nullptr, "used_bytes / total_bytes, capped at 1.0; 1.0 when there is no memory.",
    pressure_params, "float", bind<&calculate_memory_pressure>()};
const FunctionDef recommend_headroom_def{
    "recommend_headroom", nullptr, "Headroom ratio for the current memory pressure, within [0.3, 0.8].",
    headroom_params, "float", bind<&recommend_headroom>()};

// ===========================================================================
// Module definition

void module_body(PyObject* module) {
    make_state(module);
    import_module(module, "operator");
    set_attribute(module, "GPU_DIRECT", Ref::steal(PyLong_FromLong(0)));
    set_attribute(module, "GPU_CHUNKED", Ref::steal(PyLong_FromLong(1)));
    set_attribute(module, "CPU_FALLBACK", Ref::steal(PyLong_FromLong(2)));
    for (const FunctionDef* def : {&estimate_allocation_bytes_def, &calculate_safe_limit_def,
                                   &decide_allocation_strategy_def, &compute_chunk_shapes_def,
                                   &calculate_optimal_chunks_def, &is_oom_error_def}) {
        add_function(module, *def);
    }
    // The operation name tables are constant data (operation_rules.hpp).
    for (const FunctionDef* def : {&is_chunkable_operation_def, &score_gpu_suitability_def,
                                   &calculate_memory_pressure_def, &recommend_headroom_def}) {
        add_function(module, *def);
    }
    log_banner(module, banner);
    set_attribute(module, "__build_token__", Ref::steal(PyUnicode_FromString(build_token)));
}

const ModuleDef module_def{"vantrel.gpu.device_planning", module_doc, &module_body};

}  // namespace
}  // namespace vantrel::device_planning

VANTREL_MODULE(device_planning, vantrel::device_planning::module_def)
