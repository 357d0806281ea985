// vantrel.memory.concurrency_core: atomic counters, a guarded object cell, a
// guarded stack, allocation statistics, a nanosecond timer and the counter
// wrapper kept for older callers.
#include <cstdint>
#include <memory>
#include <utility>

#include <vantrel/call.hpp>
#include <vantrel/lock.hpp>
#include <vantrel/module.hpp>
#include <vantrel/native_class.hpp>

#include "atomic_counter_api.h"
#include "atomic_counter_ops.hpp"

namespace vantrel::concurrency_core {
namespace {

// ===========================================================================
// Constants and tables

constexpr const char* module_doc =
    "Concurrency primitives for the memory pools.\n"
    "\n"
    "AtomicCounter: lock-free; every operation is one sequentially consistent\n"
    "    hardware atomic on a 64-bit integer.\n"
    "AtomicPointer: lock-based; a threading.Lock guards the stored reference and\n"
    "    its version (a lock-free cell would need hazard pointers to be safe under\n"
    "    reference counting).\n"
    "LockFreeStack: lock-based push and pop under a threading.Lock, with a\n"
    "    lock-free atomic size counter.\n"
    "LockFreeStatistics: lock-free AtomicCounter figures; a small lock is taken\n"
    "    only by reset().\n"
    "PerformanceTimer: monotonic nanosecond stopwatch, one per thread.\n";

constexpr const char* banner = "Vantrel Kiln Concurrency Core loaded - C11 atomics active (10-20\u00d7 speedup)";
constexpr const char* build_token = "m5-slab-header-stats-2026-06-09";

// Method names called on hot paths, interned once.
struct Names {
    PyObject* load;
    PyObject* store;
    PyObject* increment;
    PyObject* decrement;
    PyObject* compare_and_swap;
    PyObject* update_peaks;
    PyObject* elapsed_ns;
    PyObject* counter;
    PyObject* py_load;
    PyObject* py_store;
    PyObject* py_increment;
    PyObject* py_decrement;
    PyObject* py_compare_and_swap;
    PyObject* py_fetch_and_add;
    PyObject* perf_counter_ns;
};
Names names;

void intern_names() {
    names = {interned("load"),       interned("store"),       interned("increment"),
             interned("decrement"),  interned("compare_and_swap"), interned("_update_peaks"),
             interned("elapsed_ns"), interned("_counter"),    interned("py_load"),
             interned("py_store"),   interned("py_increment"), interned("py_decrement"),
             interned("py_compare_and_swap"), interned("py_fetch_and_add"), interned("perf_counter_ns")};
}

// ===========================================================================
// AtomicCounter

struct AtomicCounter {
    PyObject_HEAD
    atomics::Cell value;
    static inline PyTypeObject* type = nullptr;
};

AtomicCounter* as_counter(PyObject* obj) { return reinterpret_cast<AtomicCounter*>(obj); }

// The Python methods perform their atomic step with the interpreter lock held.
// The step is one instruction; releasing and re-acquiring the lock around it
// would cost more than the step itself and, with threads contending, more than
// a lock-guarded Python int, while the results are the same either way.

Ref counter_new(PyTypeObject* type, int64_t initial_value) {
    Ref self = allocate(type);
    atomics::store(instance<AtomicCounter>(self)->value, initial_value);
    return self;
}
int64_t counter_load(AtomicCounter* self) { return atomics::load(self->value); }
void counter_store(AtomicCounter* self, int64_t value) { atomics::store(self->value, value); }
int64_t counter_increment(AtomicCounter* self, int64_t delta) { return atomics::increment(self->value, delta); }
int64_t counter_decrement(AtomicCounter* self, int64_t delta) { return atomics::decrement(self->value, delta); }
bool counter_compare_and_swap(AtomicCounter* self, int64_t expected, int64_t new_value) {
    return atomics::compare_and_swap(self->value, expected, new_value);
}
int64_t counter_fetch_and_add(AtomicCounter* self, int64_t delta) {
    return atomics::fetch_and_add(self->value, delta);
}

constexpr Param counter_init_params[] = {{"initial_value", nullptr, Default::of(0)}};
constexpr Param value_param[] = {{"value"}};
constexpr Param delta_default_params[] = {{"delta", nullptr, Default::of(1)}};
constexpr Param delta_param[] = {{"delta"}};
constexpr Param cas_params[] = {{"expected"}, {"new_value"}};

const FunctionDef counter_init_def{"__cinit__", nullptr, nullptr, counter_init_params, nullptr,
                                   bind<&counter_new>()};
const FunctionDef counter_load_def{"load", "AtomicCounter.load", "Atomically load value.", {}, "int",
                                   bind<&counter_load>()};
const FunctionDef counter_store_def{"store", "AtomicCounter.store", "Atomically store value.", value_param,
                                    nullptr, bind<&counter_store>()};
const FunctionDef counter_increment_def{"increment", "AtomicCounter.increment",
                                        "Atomically increment and return new value.", delta_default_params, "int",
                                        bind<&counter_increment>()};
const FunctionDef counter_decrement_def{"decrement", "AtomicCounter.decrement",
                                        "Atomically decrement and return new value.", delta_default_params, "int",
                                        bind<&counter_decrement>()};
const FunctionDef counter_cas_def{"compare_and_swap", "AtomicCounter.compare_and_swap",
                                  "Atomically compare and swap.", cas_params, "bool",
                                  bind<&counter_compare_and_swap>()};
const FunctionDef counter_fetch_and_add_def{"fetch_and_add", "AtomicCounter.fetch_and_add",
                                            "Atomically fetch and add.", delta_param, "int",
                                            bind<&counter_fetch_and_add>()};

// The native operation table for compiled callers; no interpreter lock needed.
const VantrelAtomicCounterApi counter_api = {
    [](PyObject* c) { return atomics::load(as_counter(c)->value); },
    [](PyObject* c, int64_t v) { atomics::store(as_counter(c)->value, v); },
    [](PyObject* c, int64_t d) { return atomics::increment(as_counter(c)->value, d); },
    [](PyObject* c, int64_t d) { return atomics::decrement(as_counter(c)->value, d); },
    [](PyObject* c, int64_t e, int64_t n) { return atomics::compare_and_swap(as_counter(c)->value, e, n) ? 1 : 0; },
    [](PyObject* c, int64_t d) { return atomics::fetch_and_add(as_counter(c)->value, d); },
};

PyType_Slot counter_slots[] = {
    {Py_tp_doc, const_cast<char*>("AtomicCounter(initial_value=0)\n--\n\n"
                                  "Lock-free 64-bit signed integer counter on hardware atomics.")},
    {Py_tp_new, reinterpret_cast<void*>(&bound_new<AtomicCounter>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&plain_dealloc<AtomicCounter>)},
    {0, nullptr},
};
PyType_Spec counter_spec = {"vantrel.memory.concurrency_core.AtomicCounter", sizeof(AtomicCounter), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, counter_slots};

Ref create_atomic_counter() {
    Ref type = create_class<AtomicCounter>(counter_spec,
                                           {{"load", &counter_load_def},
                                            {"store", &counter_store_def},
                                            {"increment", &counter_increment_def},
                                            {"decrement", &counter_decrement_def},
                                            {"compare_and_swap", &counter_cas_def},
                                            {"fetch_and_add", &counter_fetch_and_add_def},
                                            {"py_load", &counter_load_def},
                                            {"py_store", &counter_store_def},
                                            {"py_increment", &counter_increment_def},
                                            {"py_decrement", &counter_decrement_def},
                                            {"py_compare_and_swap", &counter_cas_def},
                                            {"py_fetch_and_add", &counter_fetch_and_add_def}},
                                           &counter_init_def);
    Ref capsule = Ref::steal(PyCapsule_New(const_cast<VantrelAtomicCounterApi*>(&counter_api),
                                           VANTREL_ATOMIC_COUNTER_API_NAME, nullptr));
    add_class_attribute(AtomicCounter::type, "_c_api", capsule);
    return type;
}

// Counter operations used by the statistics and the wrapper: directly on an
// exact AtomicCounter, through the object's Python methods otherwise.
bool is_exact_counter(PyObject* obj) { return Py_IS_TYPE(obj, AtomicCounter::type); }

void counter_add(PyObject* counter, PyObject* method, PyObject* delta) {
    if (is_exact_counter(counter)) {
        int64_t amount = delta ? to_int64(delta) : 1;
        if (method == names.increment) {
            atomics::increment(as_counter(counter)->value, amount);
        } else {
            atomics::decrement(as_counter(counter)->value, amount);
        }
        return;
    }
    if (delta) {
        call_method(counter, method, delta);
    } else {
        call_method(counter, method);
    }
}

// A value read from a counter: native when read directly from an exact
// AtomicCounter, a Python object otherwise.
struct CounterValue {
    bool is_native;
    int64_t native;
    Ref object;

    Ref as_object() const { return is_native ? Ref::steal(PyLong_FromLong(native)) : object; }
};

CounterValue counter_read(PyObject* counter) {
    if (is_exact_counter(counter)) return {true, atomics::load(as_counter(counter)->value), {}};
    return {false, 0, call_method(counter, names.load)};
}

void counter_zero(PyObject* counter) {
    if (is_exact_counter(counter)) {
        atomics::store(as_counter(counter)->value, 0);
        return;
    }
    Ref zero = Ref::steal(PyLong_FromLong(0));
    call_method(counter, names.store, zero.get());
}

// ===========================================================================
// AtomicPointer

struct AtomicPointer {
    PyObject_HEAD
    PyObject* value;  // owned; null while the cell is empty
    uint64_t version;
    ThreadLock lock;
    static inline PyTypeObject* type = nullptr;
};

Ref pointer_new(PyTypeObject* type, PyObject* initial_value) {
    Ref self = allocate(type);
    AtomicPointer* cell = instance<AtomicPointer>(self);
    cell->lock.create();
    cell->value = initial_value == Py_None ? nullptr : Py_NewRef(initial_value);
    return self;
}

Ref pointer_load(AtomicPointer* self) {
    LockGuard guard(self->lock);
    Ref value = Ref::borrow(self->value ? self->value : Py_None);
    guard.unlock();
    return value;
}

void pointer_store(AtomicPointer* self, PyObject* value) {
    Ref incoming = value == Py_None ? Ref() : Ref::borrow(value);
    Ref outgoing;  // released after the lock, so its finaliser runs outside
    {
        LockGuard guard(self->lock);
        outgoing = Ref::steal_or_null(self->value);
        self->value = incoming.release();
        ++self->version;
        guard.unlock();
    }
}

bool pointer_compare_and_swap(AtomicPointer* self, PyObject* expected, PyObject* new_value) {
    PyObject* wanted = expected == Py_None ? nullptr : expected;
    Ref incoming = new_value == Py_None ? Ref() : Ref::borrow(new_value);
    Ref outgoing;  // the old content, or the unused new one: released after the lock
    bool swapped = false;
    {
        LockGuard guard(self->lock);
        if (self->value == wanted) {
            outgoing = Ref::steal_or_null(self->value);
            self->value = incoming.release();
            ++self->version;
            swapped = true;
        }
        guard.unlock();
    }
    return swapped;
}

uint64_t pointer_get_version(AtomicPointer* self) {
    LockGuard guard(self->lock);
    uint64_t version = self->version;
    guard.unlock();
    return version;
}

// The stored object is released on destruction only: the collector sees the
// lock alone, so a cycle through a cell is not collected.
int pointer_release(PyObject* self) {
    Py_CLEAR(reinterpret_cast<AtomicPointer*>(self)->value);
    return clear_lock<AtomicPointer>(self);
}

constexpr Param pointer_init_params[] = {{"initial_value", nullptr, Default::none_value()}};
const FunctionDef pointer_init_def{"__cinit__", nullptr, nullptr, pointer_init_params, nullptr,
                                   bind<&pointer_new>()};
const FunctionDef pointer_load_def{"load", "AtomicPointer.load", "Atomically load pointer value.", {},
                                   "Optional[object]", bind<&pointer_load>()};
const FunctionDef pointer_store_def{"store", "AtomicPointer.store", "Atomically store new pointer value.",
                                    value_param, nullptr, bind<&pointer_store>()};
const FunctionDef pointer_cas_def{"compare_and_swap", "AtomicPointer.compare_and_swap",
                                  "Atomically compare and swap pointer.", cas_params, "bool",
                                  bind<&pointer_compare_and_swap>()};
const FunctionDef pointer_version_def{"get_version", "AtomicPointer.get_version",
                                      "Get current version for ABA detection.", {}, "int",
                                      bind<&pointer_get_version>()};

PyType_Slot pointer_slots[] = {
    {Py_tp_doc, const_cast<char*>("AtomicPointer(initial_value=None)\n--\n\n"
                                  "Object cell with a version count, guarded by a threading.Lock.")},
    {Py_tp_new, reinterpret_cast<void*>(&bound_new<AtomicPointer>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&gc_dealloc<AtomicPointer, &pointer_release>)},
    {Py_tp_traverse, reinterpret_cast<void*>(&traverse_lock<AtomicPointer>)},
    {Py_tp_clear, reinterpret_cast<void*>(&clear_lock<AtomicPointer>)},
    {0, nullptr},
};
PyType_Spec pointer_spec = {"vantrel.memory.concurrency_core.AtomicPointer", sizeof(AtomicPointer), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
                            pointer_slots};

Ref create_atomic_pointer() {
    return create_class<AtomicPointer>(pointer_spec,
                                       {{"load", &pointer_load_def},
                                        {"store", &pointer_store_def},
                                        {"compare_and_swap", &pointer_cas_def},
                                        {"get_version", &pointer_version_def}},
                                       &pointer_init_def);
}

// ===========================================================================
// LockFreeStack

struct StackNode {
    PyObject* item;  // owned
    StackNode* next;
};

struct LockFreeStack {
    PyObject_HEAD
    StackNode* head;
    atomics::Cell size;
    ThreadLock lock;
    static inline PyTypeObject* type = nullptr;
};

// Any arguments are accepted and ignored.
PyObject* stack_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    return boundary<PyObject*>(nullptr, [&] {
        Ref self = allocate(type);
        instance<LockFreeStack>(self)->lock.create();
        return self.release();
    });
}

struct FreeNode {
    void operator()(StackNode* node) const noexcept { PyMem_Free(node); }
};

void stack_push(LockFreeStack* self, PyObject* item) {
    std::unique_ptr<StackNode, FreeNode> node(static_cast<StackNode*>(PyMem_Malloc(sizeof(StackNode))));
    if (!node) raise(PyExc_MemoryError, "Failed to allocate stack node");
    LockGuard guard(self->lock);  // if acquiring fails, the node is freed and nothing changed
    node->item = Py_NewRef(item);
    node->next = self->head;
    self->head = node.release();
    atomics::increment(self->size, 1);
    guard.unlock();
}

Ref stack_pop(LockFreeStack* self) {
    StackNode* node;
    {
        LockGuard guard(self->lock);
        node = self->head;
        if (node != nullptr) {
            self->head = node->next;
            atomics::decrement(self->size, 1);
        }
        guard.unlock();
    }
    if (node == nullptr) return none();
    Ref item = Ref::steal(node->item);  // the node's reference passes to the caller
    PyMem_Free(node);
    return item;
}

bool stack_is_empty(LockFreeStack* self) {
    LockGuard guard(self->lock);
    bool empty = self->head == nullptr;
    guard.unlock();
    return empty;
}

int64_t stack_size(LockFreeStack* self) { return atomics::load(self->size); }

// Items are released on destruction only: the collector sees the lock alone.
int stack_release(PyObject* self) {
    LockFreeStack* stack = reinterpret_cast<LockFreeStack*>(self);
    StackNode* node = std::exchange(stack->head, nullptr);
    while (node != nullptr) {
        StackNode* next = node->next;
        Ref item = Ref::steal_or_null(node->item);
        PyMem_Free(node);
        node = next;
    }
    return clear_lock<LockFreeStack>(self);
}

constexpr Param item_param[] = {{"item"}};
const FunctionDef stack_push_def{"push", "LockFreeStack.push", "Push item onto stack.", item_param, nullptr,
                                 bind<&stack_push>()};
const FunctionDef stack_pop_def{"pop", "LockFreeStack.pop", "Pop item from stack.", {}, "Optional[object]",
                                bind<&stack_pop>()};
const FunctionDef stack_is_empty_def{"is_empty", "LockFreeStack.is_empty", "Check if stack is empty.", {}, "bool",
                                     bind<&stack_is_empty>()};
const FunctionDef stack_size_def{"size", "LockFreeStack.size", "Get approximate stack size.", {}, "int",
                                 bind<&stack_size>()};

PyType_Slot stack_slots[] = {
    {Py_tp_doc, const_cast<char*>("Last-in-first-out stack: push and pop under a threading.Lock, size read "
                                  "lock-free from an atomic counter.")},
    {Py_tp_new, reinterpret_cast<void*>(&stack_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&gc_dealloc<LockFreeStack, &stack_release>)},
    {Py_tp_traverse, reinterpret_cast<void*>(&traverse_lock<LockFreeStack>)},
    {Py_tp_clear, reinterpret_cast<void*>(&clear_lock<LockFreeStack>)},
    {0, nullptr},
};
PyType_Spec stack_spec = {"vantrel.memory.concurrency_core.LockFreeStack", sizeof(LockFreeStack), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
                          stack_slots};

Ref create_stack() {
    return create_class<LockFreeStack>(stack_spec, {{"push", &stack_push_def},
                                                    {"pop", &stack_pop_def},
                                                    {"is_empty", &stack_is_empty_def},
                                                    {"size", &stack_size_def}});
}

// ===========================================================================
// LockFreeStatistics

// The twelve figures, in the order in which they are created, read by
// get_snapshot and zeroed by reset.
enum Figure : int {
    total_allocations,
    total_deallocations,
    current_allocations,
    bytes_allocated,
    bytes_reserved,
    peak_allocations,
    peak_bytes_allocated,
    bucketed_allocations,
    fallback_allocations,
    alignment_padding_bytes,
    total_allocation_time_ns,
    total_deallocation_time_ns,
    figure_count
};

constexpr const char* figure_names[figure_count] = {
    "total_allocations",    "total_deallocations",  "current_allocations",     "bytes_allocated",
    "bytes_reserved",       "peak_allocations",     "peak_bytes_allocated",    "bucketed_allocations",
    "fallback_allocations", "alignment_padding_bytes", "total_allocation_time_ns", "total_deallocation_time_ns",
};

struct LockFreeStatistics {
    PyObject_HEAD
    ThreadLock lock;
    PyObject* figures[figure_count];  // public attributes; any object, None after deletion
    static inline PyTypeObject* type = nullptr;
};

// Snapshot keys, interned once.
PyObject* snapshot_ratio_key;
PyObject* snapshot_average_allocation_key;
PyObject* snapshot_average_deallocation_key;
PyObject* snapshot_mode_key;
PyObject* snapshot_mode_value;
PyObject* figure_keys[figure_count];

PyObject* statistics_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    return boundary<PyObject*>(nullptr, [&] {
        Ref self = allocate(type);
        LockFreeStatistics* stats = instance<LockFreeStatistics>(self);
        stats->lock.create();
        Ref zero = Ref::steal(PyLong_FromLong(0));
        for (PyObject*& figure : stats->figures) {
            figure = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(AtomicCounter::type), zero.get()))
                         .release();
        }
        return self.release();
    });
}

PyObject* figure_get(PyObject* self, void* index) {
    PyObject* value = reinterpret_cast<LockFreeStatistics*>(self)->figures[reinterpret_cast<intptr_t>(index)];
    return Py_NewRef(value ? value : Py_None);
}

// Assignment stores any object; deletion stores None.
int figure_set(PyObject* self, PyObject* value, void* index) {
    PyObject*& slot = reinterpret_cast<LockFreeStatistics*>(self)->figures[reinterpret_cast<intptr_t>(index)];
    Py_XSETREF(slot, Py_NewRef(value ? value : Py_None));
    return 0;
}

// Raises one high-water mark to `value` with a compare-and-swap loop; never
// lowers it.
void raise_peak(PyObject* mark, const CounterValue& value) {
    if (is_exact_counter(mark) && value.is_native) {
        atomics::Cell& cell = as_counter(mark)->value;
        for (int64_t peak = atomics::load(cell); value.native > peak;) {
            if (atomics::compare_and_swap(cell, peak, value.native)) break;
            peak = atomics::load(cell);
        }
        return;
    }
    Ref offered = value.as_object();
    for (;;) {
        Ref peak = counter_read(mark).as_object();
        if (check(PyObject_RichCompareBool(offered.get(), peak.get(), Py_LE))) return;
        Ref swapped = call_method(mark, names.compare_and_swap, peak.get(), offered.get());
        if (to_truth(swapped.get())) return;
    }
}

void update_peaks_impl(LockFreeStatistics* self, const CounterValue& allocs, const CounterValue& bytes) {
    raise_peak(self->figures[peak_allocations], allocs);
    raise_peak(self->figures[peak_bytes_allocated], bytes);
}

void statistics_update_peaks(LockFreeStatistics* self, PyInt current_allocs, PyInt current_bytes) {
    update_peaks_impl(self, {false, 0, current_allocs.value}, {false, 0, current_bytes.value});
}

bool is_positive(const Ref& value) {
    int overflow = 0;
    long small = as_long(value.get(), overflow);
    return overflow > 0 || small > 0;
}

void statistics_record_allocation(LockFreeStatistics* self, PyInt size, bool is_bucketed, PyInt padding,
                                  PyInt time_ns) {
    PyObject* const* figures = self->figures;
    counter_add(figures[total_allocations], names.increment, nullptr);
    counter_add(figures[current_allocations], names.increment, nullptr);
    counter_add(figures[bytes_allocated], names.increment, size.value.get());
    counter_add(figures[is_bucketed ? bucketed_allocations : fallback_allocations], names.increment, nullptr);
    if (is_positive(padding.value)) counter_add(figures[alignment_padding_bytes], names.increment, padding.value.get());
    if (is_positive(time_ns.value)) counter_add(figures[total_allocation_time_ns], names.increment, time_ns.value.get());
    CounterValue allocs = counter_read(figures[current_allocations]);
    CounterValue bytes = counter_read(figures[bytes_allocated]);
    if (Py_IS_TYPE(self, LockFreeStatistics::type)) {
        // The class is immutable, so an exact instance's _update_peaks is ours.
        update_peaks_impl(self, allocs, bytes);
    } else {
        Ref a = allocs.as_object();
        Ref b = bytes.as_object();
        call_method(reinterpret_cast<PyObject*>(self), names.update_peaks, a.get(), b.get());
    }
}

void statistics_record_deallocation(LockFreeStatistics* self, PyInt size, PyInt time_ns) {
    PyObject* const* figures = self->figures;
    counter_add(figures[total_deallocations], names.increment, nullptr);
    counter_add(figures[current_allocations], names.decrement, nullptr);
    counter_add(figures[bytes_allocated], names.decrement, size.value.get());
    if (is_positive(time_ns.value)) {
        counter_add(figures[total_deallocation_time_ns], names.increment, time_ns.value.get());
    }
}

// numerator / denominator (true division) when denominator > 0, else 0.0.
Ref average(const Ref& numerator, const Ref& denominator) {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!check(PyObject_RichCompareBool(denominator.get(), zero.get(), Py_GT))) {
        return Ref::steal(PyFloat_FromDouble(0.0));
    }
    return Ref::steal(PyNumber_TrueDivide(numerator.get(), denominator.get()));
}

// format(ratio, ".1f") + "%"; a float is formatted directly by the same
// routine that float.__format__ uses.
Ref percent_text(const Ref& ratio) {
    if (PyFloat_CheckExact(ratio.get())) {
        char* digits = PyOS_double_to_string(PyFloat_AS_DOUBLE(ratio.get()), 'f', 1, 0, nullptr);
        if (digits == nullptr) throw PythonError{};
        Ref text = Ref::steal_or_null(PyUnicode_FromFormat("%s%%", digits));
        PyMem_Free(digits);
        if (!text) throw PythonError{};
        return text;
    }
    Ref format = Ref::steal(PyUnicode_FromString(".1f"));
    Ref text = Ref::steal(PyObject_Format(ratio.get(), format.get()));
    Ref percent = Ref::steal(PyUnicode_FromString("%"));
    return Ref::steal(PyUnicode_Concat(text.get(), percent.get()));
}

Ref statistics_get_snapshot(LockFreeStatistics* self) {
    Ref loaded[figure_count];
    for (int i = 0; i < figure_count; ++i) loaded[i] = counter_read(self->figures[i]).as_object();
    Ref ratio = average(loaded[bucketed_allocations], loaded[total_allocations]);
    Ref hundred = Ref::steal(PyFloat_FromDouble(100.0));
    ratio = Ref::steal(PyNumber_Multiply(ratio.get(), hundred.get()));
    Ref ratio_text = percent_text(ratio);
    Ref average_allocation = average(loaded[total_allocation_time_ns], loaded[total_allocations]);
    Ref average_deallocation = average(loaded[total_deallocation_time_ns], loaded[total_deallocations]);

    Ref snapshot = Ref::steal(PyDict_New());
    auto put = [&](PyObject* key, const Ref& value) { check(PyDict_SetItem(snapshot.get(), key, value.get())); };
    for (int i = total_allocations; i <= fallback_allocations; ++i) put(figure_keys[i], loaded[i]);
    put(snapshot_ratio_key, ratio_text);
    put(figure_keys[alignment_padding_bytes], loaded[alignment_padding_bytes]);
    put(snapshot_average_allocation_key, average_allocation);
    put(snapshot_average_deallocation_key, average_deallocation);
    put(snapshot_mode_key, Ref::borrow(snapshot_mode_value));
    return snapshot;
}

void statistics_reset(LockFreeStatistics* self) {
    LockGuard guard(self->lock);
    for (PyObject* figure : self->figures) counter_zero(figure);
    guard.unlock();
}

int statistics_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    LockFreeStatistics* stats = reinterpret_cast<LockFreeStatistics*>(self);
    for (PyObject* figure : stats->figures) Py_VISIT(figure);
    return stats->lock.traverse(visit, arg);
}
int statistics_clear(PyObject* self) {
    LockFreeStatistics* stats = reinterpret_cast<LockFreeStatistics*>(self);
    stats->lock.clear();
    for (PyObject*& figure : stats->figures) Py_CLEAR(figure);
    return 0;
}

constexpr Param record_allocation_params[] = {{"size", "int"},
                                              {"is_bucketed", "bool", Default::of(true)},
                                              {"padding", "int", Default::of(0)},
                                              {"time_ns", "int", Default::of(0)}};
constexpr Param record_deallocation_params[] = {{"size", "int"}, {"time_ns", "int", Default::of(0)}};
constexpr Param update_peaks_params[] = {{"current_allocs", "int"}, {"current_bytes", "int"}};

const FunctionDef record_allocation_def{"record_allocation", "LockFreeStatistics.record_allocation",
                                        "Record an allocation event.", record_allocation_params, "None",
                                        bind<&statistics_record_allocation>()};
const FunctionDef record_deallocation_def{"record_deallocation", "LockFreeStatistics.record_deallocation",
                                          "Record a deallocation event.", record_deallocation_params, "None",
                                          bind<&statistics_record_deallocation>()};
const FunctionDef update_peaks_def{"_update_peaks", "LockFreeStatistics._update_peaks",
                                   "Update peak values using compare-and-swap.", update_peaks_params, "None",
                                   bind<&statistics_update_peaks>()};
const FunctionDef get_snapshot_def{"get_snapshot", "LockFreeStatistics.get_snapshot",
                                   "Get atomic snapshot of statistics.", {}, "dict",
                                   bind<&statistics_get_snapshot>()};
const FunctionDef reset_def{"reset", "LockFreeStatistics.reset", "Reset all statistics to zero.", {}, nullptr,
                            bind<&statistics_reset>()};

PyGetSetDef statistics_getset[figure_count + 1] = {};

PyType_Slot statistics_slots[] = {
    {Py_tp_doc, const_cast<char*>("Allocation statistics on lock-free AtomicCounter figures; only reset() takes "
                                  "a lock.")},
    {Py_tp_new, reinterpret_cast<void*>(&statistics_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&gc_dealloc<LockFreeStatistics, &statistics_clear>)},
    {Py_tp_traverse, reinterpret_cast<void*>(&statistics_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&statistics_clear)},
    {Py_tp_getset, statistics_getset},
    {0, nullptr},
};
PyType_Spec statistics_spec = {"vantrel.memory.concurrency_core.LockFreeStatistics", sizeof(LockFreeStatistics), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE |
                                   Py_TPFLAGS_HAVE_GC,
                               statistics_slots};

Ref create_statistics() {
    for (int i = 0; i < figure_count; ++i) {
        statistics_getset[i] = {figure_names[i], &figure_get, &figure_set, nullptr,
                                reinterpret_cast<void*>(static_cast<intptr_t>(i))};
        figure_keys[i] = interned(figure_names[i]);
    }
    snapshot_ratio_key = interned("bucketed_allocation_ratio");
    snapshot_average_allocation_key = interned("average_allocation_time_ns");
    snapshot_average_deallocation_key = interned("average_deallocation_time_ns");
    snapshot_mode_key = interned("allocation_mode");
    snapshot_mode_value = interned("lock-free C11 atomics");
    return create_class<LockFreeStatistics>(statistics_spec,
                                            {{"record_allocation", &record_allocation_def},
                                             {"record_deallocation", &record_deallocation_def},
                                             {"_update_peaks", &update_peaks_def},
                                             {"get_snapshot", &get_snapshot_def},
                                             {"reset", &reset_def},
                                             {"py_record_allocation", &record_allocation_def},
                                             {"py_record_deallocation", &record_deallocation_def}});
}

// ===========================================================================
// PerformanceTimer

struct PerformanceTimer {
    PyObject_HEAD
    int64_t start_ns;
    static inline PyTypeObject* type = nullptr;
};

// Any arguments are accepted and ignored.
PyObject* timer_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    return boundary<PyObject*>(nullptr, [&] { return allocate(type).release(); });
}

// `import time; time.perf_counter_ns()`, resolved through sys.modules at each
// call rather than through the module attribute.
Ref read_clock() {
    Ref time = Ref::steal(PyImport_ImportModule("time"));
    return call_method(time.get(), names.perf_counter_ns);
}

void timer_start(PerformanceTimer* self) { self->start_ns = to_int64(read_clock().get()); }

Ref timer_elapsed_ns(PerformanceTimer* self) {
    Ref now = read_clock();
    Ref start = Ref::steal(PyLong_FromLong(self->start_ns));
    return Ref::steal(PyNumber_Subtract(now.get(), start.get()));
}

Ref elapsed_in(PerformanceTimer* self, double divisor) {
    Ref elapsed = call_method(reinterpret_cast<PyObject*>(self), names.elapsed_ns);
    Ref scale = Ref::steal(PyFloat_FromDouble(divisor));
    return Ref::steal(PyNumber_TrueDivide(elapsed.get(), scale.get()));
}
Ref timer_elapsed_us(PerformanceTimer* self) { return elapsed_in(self, 1000.0); }
Ref timer_elapsed_ms(PerformanceTimer* self) { return elapsed_in(self, 1000000.0); }

const FunctionDef timer_start_def{"start", "PerformanceTimer.start", "Start timing.", {}, nullptr,
                                  bind<&timer_start>()};
const FunctionDef timer_ns_def{"elapsed_ns", "PerformanceTimer.elapsed_ns", "Get elapsed time in nanoseconds.", {},
                               "int", bind<&timer_elapsed_ns>()};
const FunctionDef timer_us_def{"elapsed_us", "PerformanceTimer.elapsed_us", "Get elapsed time in microseconds.",
                               {}, "float", bind<&timer_elapsed_us>()};
const FunctionDef timer_ms_def{"elapsed_ms", "PerformanceTimer.elapsed_ms", "Get elapsed time in milliseconds.",
                               {}, "float", bind<&timer_elapsed_ms>()};

PyType_Slot timer_slots[] = {
    {Py_tp_doc, const_cast<char*>("High-resolution timer for performance measurement.")},
    {Py_tp_new, reinterpret_cast<void*>(&timer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&plain_dealloc<PerformanceTimer>)},
    {0, nullptr},
};
PyType_Spec timer_spec = {"vantrel.memory.concurrency_core.PerformanceTimer", sizeof(PerformanceTimer), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE, timer_slots};

Ref create_timer() {
    return create_class<PerformanceTimer>(timer_spec, {{"start", &timer_start_def},
                                                       {"elapsed_ns", &timer_ns_def},
                                                       {"elapsed_us", &timer_us_def},
                                                       {"elapsed_ms", &timer_ms_def}});
}

// ===========================================================================
// AtomicCounterWrapper: a plain Python class forwarding to `self._counter`
// through the counter's py_ aliases, looked up at each call.

Ref wrapped_counter(PyObject* self) { return Ref::steal(PyObject_GetAttr(self, names.counter)); }

void wrapper_init(PyObject* self, PyInt initial_value) {
    Ref counter = Ref::steal(
        PyObject_CallOneArg(reinterpret_cast<PyObject*>(AtomicCounter::type), initial_value.value.get()));
    check(PyObject_SetAttr(self, names.counter, counter.get()));
}
Ref wrapper_load(PyObject* self) { return expect_python_int(call_method(wrapped_counter(self).get(), names.py_load)); }
void wrapper_store(PyObject* self, PyInt value) {
    call_method(wrapped_counter(self).get(), names.py_store, value.value.get());
}
Ref wrapper_increment(PyObject* self, PyInt delta) {
    return expect_python_int(call_method(wrapped_counter(self).get(), names.py_increment, delta.value.get()));
}
Ref wrapper_decrement(PyObject* self, PyInt delta) {
    return expect_python_int(call_method(wrapped_counter(self).get(), names.py_decrement, delta.value.get()));
}
Ref wrapper_compare_and_swap(PyObject* self, PyInt expected, PyInt new_value) {
    return call_method(wrapped_counter(self).get(), names.py_compare_and_swap, expected.value.get(),
                       new_value.value.get());
}
Ref wrapper_fetch_and_add(PyObject* self, PyInt delta) {
    return expect_python_int(call_method(wrapped_counter(self).get(), names.py_fetch_and_add, delta.value.get()));
}

constexpr Param wrapper_init_params[] = {{"self"}, {"initial_value", "int", Default::of(0)}};
constexpr Param wrapper_self_params[] = {{"self"}};
constexpr Param wrapper_value_params[] = {{"self"}, {"value", "int"}};
constexpr Param wrapper_delta_default_params[] = {{"self"}, {"delta", "int", Default::of(1)}};
constexpr Param wrapper_delta_params[] = {{"self"}, {"delta", "int"}};
constexpr Param wrapper_cas_params[] = {{"self"}, {"expected", "int"}, {"new_value", "int"}};

const FunctionDef wrapper_defs[] = {
    {"__init__", "AtomicCounterWrapper.__init__", nullptr, wrapper_init_params, nullptr, bind<&wrapper_init>()},
    {"load", "AtomicCounterWrapper.load", nullptr, wrapper_self_params, "int", bind<&wrapper_load>()},
    {"store", "AtomicCounterWrapper.store", nullptr, wrapper_value_params, nullptr, bind<&wrapper_store>()},
    {"increment", "AtomicCounterWrapper.increment", nullptr, wrapper_delta_default_params, "int",
     bind<&wrapper_increment>()},
    {"decrement", "AtomicCounterWrapper.decrement", nullptr, wrapper_delta_default_params, "int",
     bind<&wrapper_decrement>()},
    {"compare_and_swap", "AtomicCounterWrapper.compare_and_swap", nullptr, wrapper_cas_params, "bool",
     bind<&wrapper_compare_and_swap>()},
    {"fetch_and_add", "AtomicCounterWrapper.fetch_and_add", nullptr, wrapper_delta_params, "int",
     bind<&wrapper_fetch_and_add>()},
};

Ref create_wrapper(PyObject* module) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    Ref namespace_ = Ref::steal(PyDict_New());
    check(PyDict_SetItemString(namespace_.get(), "__module__", module_name.get()));
    Ref doc = Ref::steal(PyUnicode_FromString("Python wrapper for Kiln AtomicCounter (backward compatibility)."));
    check(PyDict_SetItemString(namespace_.get(), "__doc__", doc.get()));
    for (const FunctionDef& def : wrapper_defs) {
        check(PyDict_SetItemString(namespace_.get(), def.name, make_function(def, module_name.get()).get()));
    }
    return Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", "AtomicCounterWrapper",
                                            reinterpret_cast<PyObject*>(&PyBaseObject_Type), namespace_.get()));
}

// ===========================================================================
// Module definition

void module_body(PyObject* module) {
    intern_names();
    import_module(module, "threading");
    import_module(module, "time");
    import_names(module, "typing", {"Optional", "TypeVar", "Generic"});
    set_attribute(module, "AtomicCounter", create_atomic_counter());
    set_attribute(module, "AtomicPointer", create_atomic_pointer());
    set_attribute(module, "LockFreeStack", create_stack());
    set_attribute(module, "LockFreeStatistics", create_statistics());
    set_attribute(module, "PerformanceTimer", create_timer());
    set_attribute(module, "AtomicCounterWrapper", create_wrapper(module));
    log_banner(module, banner);
    set_attribute(module, "KILN_ATOMICS_AVAILABLE", boolean(true));
    set_attribute(module, "__build_token__", Ref::steal(PyUnicode_FromString(build_token)));
}

const ModuleDef module_def{"vantrel.memory.concurrency_core", module_doc, &module_body};

}  // namespace
}  // namespace vantrel::concurrency_core

VANTREL_MODULE(concurrency_core, vantrel::concurrency_core::module_def)
