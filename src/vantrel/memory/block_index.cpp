// vantrel.memory.block_index: the free blocks of the memory pools, kept in a
// size-keyed red-black tree (red_black_store.hpp) that answers best-fit
// queries under one threading.Lock.
//
// Locking rules of this file:
// - Every operation that reads or changes the tree holds `write_lock` for its
//   whole traversal. Argument conversion, size validation and the sampling
//   decision come before the lock is taken.
// - A block reference that the tree gives up is released only after the lock
//   has been released: releasing it may run the block's finaliser, and a
//   finaliser that hands a block back to the same tree would otherwise wait
//   forever on the tree's own non-re-entrant lock.
// - No garbage-collected object is allocated while the lock is held (result
//   dicts and lists are created before it is taken or after it is released):
//   such an allocation may start a collection whose finalisers call into this
//   tree.
#include <cstdint>
#include <optional>
#include <utility>

#include <vantrel/call.hpp>
#include <vantrel/index_int.hpp>
#include <vantrel/lock.hpp>
#include <vantrel/module.hpp>
#include <vantrel/native_class.hpp>
#include <vantrel/relative_import.hpp>

#include "atomic_counter_api.h"
#include "red_black_store.hpp"

namespace vantrel::block_index {
namespace {

// ===========================================================================
// Constants and tables

constexpr const char* module_doc =
    "Size-keyed red-black tree of free memory blocks with best-fit search.\n"
    "\n"
    "FastRedBlackTree keeps one native node per stored block; blocks of one size\n"
    "share a tree position in a chain. One threading.Lock serialises readers and\n"
    "writers alike. Insertions are sampled on AtomicCounter objects from the\n"
    "concurrency core when it is available (ATOMIC_AVAILABLE).\n";

constexpr const char* build_token = "f30-locked-reads-v2";

// Names and dictionary keys used on hot paths, interned once.
struct Names {
    PyObject* sanitize_size;
    PyObject* increment;
    PyObject* load;
    PyObject* size;
    PyObject* atomic_counter;
    PyObject* atomic_available;
    PyObject* total_blocks;
    PyObject* total_insertions;
    PyObject* total_deletions;
    PyObject* total_searches;
    PyObject* bucket_hits;
    PyObject* tree_hits;
    PyObject* operation_count;
    PyObject* circuit_breaker_trips;
    PyObject* node_count;
    PyObject* height;
    PyObject* sampled_operations;
    PyObject* is_valid;
};
Names names;

void intern_names() {
    names = {interned("_sanitize_size"),  interned("increment"),        interned("load"),
             interned("size"),            interned("AtomicCounter"),    interned("ATOMIC_AVAILABLE"),
             interned("total_blocks"),    interned("total_insertions"), interned("total_deletions"),
             interned("total_searches"),  interned("bucket_hits"),      interned("tree_hits"),
             interned("operation_count"), interned("circuit_breaker_trips"), interned("node_count"),
             interned("height"),          interned("sampled_operations"), interned("is_valid")};
}

PyObject* module_globals;  // borrowed: the module lives for the whole process
PyObject* zero;

// The concurrency core's native counter operations, when it offers them, and
// the class they apply to; null otherwise (counters are then called through
// their Python methods only).
const VantrelAtomicCounterApi* counter_api;
PyObject* counter_class;  // strong: kept with the module

// ===========================================================================
// FastRedBlackTree

// Node memory comes from the interpreter's raw-domain allocator, so
// tracemalloc accounts for it; a node owns one reference to its block.
struct NodePolicy {
    static void* allocate(std::size_t bytes) noexcept { return PyMem_Malloc(bytes); }
    static void deallocate(void* memory) noexcept { PyMem_Free(memory); }
    static void release(PyObject* block) noexcept { Ref released = Ref::steal_or_null(block); }
};
using Store = memory::RedBlackStore<PyObject*, NodePolicy>;
using Node = Store::Node;

// What the tree counts about its operations. The counts are native integers,
// turned into the stats dictionary by get_stats (in its key order); a
// dictionary of Python ints updated in place would cost every operation
// several dictionary lookups and integer allocations. "bucket_hits" and
// "tree_hits" are never counted and always read 0.
struct OperationCounts {
    int64_t total_blocks;
    int64_t total_insertions;
    int64_t total_deletions;
    int64_t total_searches;
    int64_t operation_count;
    bool has_circuit_breaker_trips;  // set by reset_circuit_breaker, dropped by clear
};

struct FastRedBlackTree {
    PyObject_HEAD
    Store store;
    uint64_t node_count;
    ThreadLock write_lock;
    uint64_t read_lock_acquisitions;
    uint32_t sample_rate;
    PyObject* operation_counter;  // AtomicCounter, or null when not sampling
    PyObject* sampled_counter;    // AtomicCounter, or null when not sampling
    bool use_atomic;
    OperationCounts counts;
    static inline PyTypeObject* type = nullptr;
};

FastRedBlackTree* as_tree(PyObject* obj) { return reinterpret_cast<FastRedBlackTree*>(obj); }
PyObject* as_object(FastRedBlackTree* tree) { return reinterpret_cast<PyObject*>(tree); }

// The class is immutable and its instances have no dictionary, so on an exact
// instance every method lookup finds this module's own implementation.
bool is_exact(FastRedBlackTree* tree) { return Py_IS_TYPE(as_object(tree), FastRedBlackTree::type); }

// A module global read at call time, as Python code reading the name would.
Ref module_global(PyObject* name) { return vantrel::module_global(module_globals, name); }

Ref new_atomic_counter() {
    return Ref::steal(PyObject_CallOneArg(module_global(names.atomic_counter).get(), zero));
}

// ---------------------------------------------------------------------------
// Construction, collection and destruction

Ref tree_new(PyTypeObject* type, uint32_t sample_rate) {
    Ref self = allocate(type);
    FastRedBlackTree* tree = instance<FastRedBlackTree>(self);
    new (&tree->store) Store();
    tree->write_lock.create();
    tree->sample_rate = sample_rate;
    const bool atomic_available = to_truth(module_global(names.atomic_available).get());
    if (atomic_available && to_truth(module_global(names.atomic_counter).get())) {
        tree->operation_counter = new_atomic_counter().release();
        tree->sampled_counter = new_atomic_counter().release();
        tree->use_atomic = true;
    }
    tree->counts = {};
    return self;
}

// The collector sees the lock and the counters, never the blocks:
// a cycle through a stored block stays uncollected while the block is stored.
int tree_traverse(PyObject* self, visitproc visit, void* arg) {
    FastRedBlackTree* tree = as_tree(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(tree->operation_counter);
    Py_VISIT(tree->sampled_counter);
    return tree->write_lock.traverse(visit, arg);
}

// Only the counters can lead back to the tree (through a replaced
// AtomicCounter class); the lock holds nothing of the caller's, and keeping
// it lets a tree reached by a finaliser still be used.
int tree_gc_clear(PyObject* self) {
    FastRedBlackTree* tree = as_tree(self);
    tree->use_atomic = false;
    Py_CLEAR(tree->operation_counter);
    Py_CLEAR(tree->sampled_counter);
    return 0;
}

void tree_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    FastRedBlackTree* tree = as_tree(self);
    {
        // Releasing the blocks runs their finalisers, whose errors the
        // interpreter reports as unraisable; keep any error being propagated.
        ErrorSaver saver;
        tree->store.~Store();
    }
    tree_gc_clear(self);
    tree->write_lock.clear();
    type->tp_free(self);
    Py_DECREF(type);
}

// ---------------------------------------------------------------------------
// Size validation

[[noreturn]] void reject_size(PyObject* size) { raise_format(PyExc_ValueError, "Invalid size: %S", size); }

// `_sanitize_size`: 0 and positive sizes pass unchanged, a negative size is a
// ValueError.
Ref sanitize_size(PyInt size) {
    if (int_is_negative(size.value.get())) reject_size(size.value.get());
    return std::move(size.value);
}

// Runs `self._sanitize_size(size)` and converts the result to the tree's key.
// A ValueError from the validation means "rejected": it propagates when
// `rejection_raises`, else the result is empty and the caller answers with its
// miss value.
std::optional<uint64_t> validated_size(FastRedBlackTree* self, const PyInt& size, bool rejection_raises) {
    if (is_exact(self)) {
        const IntMagnitude m = int_magnitude(size.value.get());
        if (m.negative()) {
            if (rejection_raises) reject_size(size.value.get());
            return std::nullopt;
        }
        if (m.fits) return m.magnitude;
        return uint64_from_int(size.value.get());  // raises the OverflowError for 2**64 and up
    }
    Ref result;
    try {
        result = call_method(as_object(self), names.sanitize_size, size.value.get());
    } catch (const PythonError&) {
        if (rejection_raises || !PyErr_ExceptionMatches(PyExc_ValueError)) throw;
        PyErr_Clear();
        return std::nullopt;
    }
    return uint64_from_int(expect_int(std::move(result)).get());
}

// ---------------------------------------------------------------------------
// Sampling

// Whether `counter` is an exact AtomicCounter of the concurrency core, whose
// methods the native operation table performs directly.
bool is_native_counter(PyObject* counter) {
    return counter_api != nullptr && Py_IS_TYPE(counter, reinterpret_cast<PyTypeObject*>(counter_class));
}

// `counter.increment()`: the native operation for an exact AtomicCounter of
// the concurrency core, the Python method otherwise.
Ref increment_counter(PyObject* counter) {
    if (is_native_counter(counter)) {
        return Ref::steal(PyLong_FromLongLong(counter_api->_c_increment(counter, 1)));
    }
    return call_method(counter, names.increment);
}

// `counter.load()`, likewise.
Ref load_counter(PyObject* counter) {
    if (is_native_counter(counter)) {
        return Ref::steal(PyLong_FromLongLong(counter_api->_c_load(counter)));
    }
    return call_method(counter, names.load);
}

// Counts the insertion on `operation_counter` and tells whether it is a
// sampled one (every `sample_rate`-th since construction or the last clear).
bool sample_insertion(FastRedBlackTree* self) {
    if (!self->use_atomic || self->operation_counter == nullptr) return false;
    PyObject* counter = self->operation_counter;
    if (is_native_counter(counter)) {
        const int64_t n = counter_api->_c_increment(counter, 1);
        return self->sample_rate != 0 && n % static_cast<int64_t>(self->sample_rate) == 0;
    }
    Ref count = call_method(counter, names.increment);
    if (self->sample_rate == 0) return false;
    Ref rate = Ref::steal(PyLong_FromUnsignedLong(self->sample_rate));
    Ref remainder = Ref::steal(PyNumber_Remainder(count.get(), rate.get()));
    return check(PyObject_RichCompareBool(remainder.get(), zero, Py_EQ)) != 0;
}

// ---------------------------------------------------------------------------
// Operations

bool tree_insert(FastRedBlackTree* self, PyInt size, PyObject* block) {
    const uint64_t key = *validated_size(self, size, true);
    const bool sampled = sample_insertion(self);
    Ref owned = Ref::borrow(block);  // becomes the node's reference once linked
    LockGuard guard(self->write_lock);
    const bool linked = self->store.link(key, owned.get());
    if (linked) {
        static_cast<void>(owned.release());
        ++self->node_count;
        ++self->counts.total_blocks;
        ++self->counts.total_insertions;
        ++self->counts.operation_count;
        if (sampled && self->sampled_counter != nullptr) increment_counter(self->sampled_counter);
    }
    guard.unlock();
    if (!linked) raise(PyExc_MemoryError, "Failed to allocate RB node");
    return true;
}

Ref tree_get_write_lock(FastRedBlackTree* self) { return Ref::borrow(self->write_lock.lock); }

// Returns a new reference to the block of the smallest stored size that is at
// least `size` (the block stays stored), or None.
Ref tree_find_best_fit(FastRedBlackTree* self, PyInt size, PyInt /*alignment*/) {
    const std::optional<uint64_t> key = validated_size(self, size, false);
    if (!key) return none();
    LockGuard guard(self->write_lock);
    ++self->read_lock_acquisitions;
    Node* node = self->store.find_best_fit_node(*key);
    ++self->counts.total_searches;
    Ref found = node != nullptr ? Ref::borrow(node->block) : none();
    guard.unlock();
    return found;
}

Ref tree_find_all_exact(FastRedBlackTree* self, PyInt size) {
    const std::optional<uint64_t> key = validated_size(self, size, false);
    Ref found = Ref::steal(PyList_New(0));
    if (!key) return found;
    LockGuard guard(self->write_lock);
    ++self->read_lock_acquisitions;
    for (const Node* node = self->store.find_node(*key); node != nullptr; node = node->next) {
        check(PyList_Append(found.get(), node->block));
    }
    ++self->counts.total_searches;
    guard.unlock();
    return found;
}

// The counts of one block removed by delete or remove_ge; the caller holds the
// tree's lock.
void count_removal(FastRedBlackTree* self) {
    --self->node_count;
    --self->counts.total_blocks;
    ++self->counts.total_deletions;
}

// `stored == block` with the stored block on the left, taken by its truth value.
bool block_matches(PyObject* stored, PyObject* block) {
    Ref result = Ref::steal(PyObject_RichCompare(stored, block, Py_EQ));
    return to_truth(result.get());
}

bool tree_delete(FastRedBlackTree* self, PyInt size, PyObject* block) {
    const std::optional<uint64_t> key = validated_size(self, size, false);
    if (!key) return false;
    Ref removed;  // released after the lock (see the locking rules above)
    LockGuard guard(self->write_lock);
    Node* head = self->store.find_node(*key);
    if (head == nullptr) {
        guard.unlock();
        return false;
    }
    // The comparisons run Python code; none of them can change the tree, whose
    // lock this thread holds, so the nodes stay put while they run.
    Node* before = nullptr;  // stays null when the head's own block matches
    if (!block_matches(head->block, block)) {
        before = head;
        while (before->next != nullptr && !block_matches(before->next->block, block)) before = before->next;
        if (before->next == nullptr) {
            guard.unlock();
            return false;
        }
    }
    removed = Ref::steal(before == nullptr ? self->store.remove_head(head) : self->store.unlink_after(before));
    count_removal(self);
    guard.unlock();
    return true;
}

Ref missing_pair() { return Ref::steal(PyTuple_Pack(2, Py_None, Py_None)); }

Ref tree_remove_ge(FastRedBlackTree* self, PyInt size) {
    const std::optional<uint64_t> key = validated_size(self, size, false);
    if (!key) return missing_pair();
    Ref block;  // the tree's reference, handed to the caller after the lock
    uint64_t actual_size;
    {
        LockGuard guard(self->write_lock);
        // The search keeps the interpreter lock: it is a few dozen pointer
        // steps, and releasing the interpreter lock here would make every
        // other thread that wants this tree sleep on the tree lock and be
        // woken through the kernel, costing far more than the search.
        Node* node = self->store.find_best_fit_node(*key);
        if (node == nullptr) {
            guard.unlock();
            return missing_pair();
        }
        actual_size = node->size;
        block = Ref::steal(self->store.remove_head(node));
        count_removal(self);
        guard.unlock();
    }
    Ref found_size = Ref::steal(PyLong_FromUnsignedLongLong(actual_size));
    return Ref::steal(PyTuple_Pack(2, found_size.get(), block.get()));
}

uint64_t tree_size(FastRedBlackTree* self) { return self->node_count; }

void tree_clear(FastRedBlackTree* self) {
    // The new counters are made before the lock, so a failure changes nothing.
    Ref fresh_operations, fresh_sampled;
    if (self->use_atomic) {
        fresh_operations = new_atomic_counter();
        fresh_sampled = new_atomic_counter();
    }
    // Declared before the guard, so released after the lock: the old tree
    // with its blocks, and the old counters.
    Store detached;
    Ref old_operations, old_sampled;
    LockGuard guard(self->write_lock);
    detached.swap(self->store);
    self->node_count = 0;
    self->counts = {};
    if (self->use_atomic) {
        old_operations = Ref::steal_or_null(std::exchange(self->operation_counter, fresh_operations.release()));
        old_sampled = Ref::steal_or_null(std::exchange(self->sampled_counter, fresh_sampled.release()));
    }
    guard.unlock();
}

Py_ssize_t tree_length(PyObject* self) noexcept {
    return boundary<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
        FastRedBlackTree* tree = as_tree(self);
        if (is_exact(tree)) return static_cast<Py_ssize_t>(tree->node_count);
        Ref size = call_method(self, names.size);
        Py_ssize_t length = PyNumber_AsSsize_t(size.get(), PyExc_OverflowError);
        if (length == -1 && PyErr_Occurred()) throw PythonError{};
        return length;
    });
}

int tree_bool(PyObject* self) noexcept {
    return boundary(-1, [&]() -> int {
        FastRedBlackTree* tree = as_tree(self);
        if (is_exact(tree)) return tree->node_count > 0;
        Ref size = call_method(self, names.size);
        return check(PyObject_RichCompareBool(size.get(), zero, Py_GT));
    });
}

// ---------------------------------------------------------------------------
// Statistics

Ref tree_get_stats(FastRedBlackTree* self) {
    OperationCounts counts;
    uint64_t node_count;
    int32_t height;
    Ref sampled = Ref::borrow(zero);  // nothing stores sampled operations without the counters
    {
        LockGuard guard(self->write_lock);
        ++self->read_lock_acquisitions;
        counts = self->counts;
        node_count = self->node_count;
        height = self->store.height();
        if (self->use_atomic && self->sampled_counter != nullptr) {
            sampled = load_counter(self->sampled_counter);
        }
        guard.unlock();
    }
    Ref result = Ref::steal(PyDict_New());
    auto put = [&](PyObject* key, const Ref& value) { check(PyDict_SetItem(result.get(), key, value.get())); };
    auto count = [](int64_t value) { return Ref::steal(PyLong_FromLongLong(value)); };
    put(names.total_blocks, count(counts.total_blocks));
    put(names.total_insertions, count(counts.total_insertions));
    put(names.total_deletions, count(counts.total_deletions));
    put(names.total_searches, count(counts.total_searches));
    put(names.bucket_hits, Ref::borrow(zero));
    put(names.tree_hits, Ref::borrow(zero));
    put(names.operation_count, count(counts.operation_count));
    if (counts.has_circuit_breaker_trips) put(names.circuit_breaker_trips, Ref::borrow(zero));
    put(names.node_count, Ref::steal(PyLong_FromUnsignedLongLong(node_count)));
    put(names.height, Ref::steal(PyLong_FromLong(height)));
    put(names.sampled_operations, sampled);
    put(names.is_valid, boolean(true));
    return result;
}

// Maps each stored size to its number of blocks, sizes in pre-order of the tree.
Ref tree_get_size_distribution(FastRedBlackTree* self) {
    Ref distribution = Ref::steal(PyDict_New());
    LockGuard guard(self->write_lock);
    self->store.visit_sizes_preorder([&](uint64_t size, uint64_t count) {
        Ref key = Ref::steal(PyLong_FromUnsignedLongLong(size));
        Ref value = Ref::steal(PyLong_FromUnsignedLongLong(count));
        check(PyDict_SetItem(distribution.get(), key.get(), value.get()));
    });
    guard.unlock();
    return distribution;
}

void tree_reset_circuit_breaker(FastRedBlackTree* self) {
    LockGuard guard(self->write_lock);
    self->counts.has_circuit_breaker_trips = true;
    self->counts.operation_count = 0;
    guard.unlock();
}

// The tree keeps no timing data.
Ref tree_get_statistics(FastRedBlackTree*) { return Ref::steal(PyDict_New()); }

PyObject* tree_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("FastRedBlackTree(blocks=%llu, native=True)",
                                static_cast<unsigned long long>(as_tree(self)->node_count));
}

PyObject* get_read_lock_acquisitions(PyObject* self, void*) noexcept {
    return PyLong_FromUnsignedLongLong(as_tree(self)->read_lock_acquisitions);
}

int set_read_lock_acquisitions(PyObject* self, PyObject* value, void*) noexcept {
    return boundary(-1, [&] {
        if (value == nullptr) raise(PyExc_NotImplementedError, "__del__");
        as_tree(self)->read_lock_acquisitions = to_uint64(value);
        return 0;
    });
}

// ---------------------------------------------------------------------------
// Descriptions and class

constexpr Param init_params[] = {{"sample_rate", nullptr, Default::of(100)}};
constexpr Param size_param[] = {{"size", "int"}};
constexpr Param size_block_params[] = {{"size", "int"}, {"block", "MemoryBlock"}};
constexpr Param best_fit_params[] = {{"size", "int"}, {"alignment", "int", Default::of(1)}};

const FunctionDef init_def{"__cinit__", nullptr, nullptr, init_params, nullptr, bind<&tree_new>()};
const FunctionDef sanitize_size_def{"_sanitize_size", "FastRedBlackTree._sanitize_size",
                                    "Validate a block size: 0 and positive sizes pass, a negative one is a "
                                    "ValueError.",
                                    size_param, "int", bind<&sanitize_size>()};
const FunctionDef insert_def{"insert", "FastRedBlackTree.insert", "Store a free block under its size.",
                             size_block_params, "bool", bind<&tree_insert>()};
const FunctionDef get_write_lock_def{"get_write_lock", "FastRedBlackTree.get_write_lock",
                                     "Return the tree's one lock (not re-entrant).", {}, nullptr,
                                     bind<&tree_get_write_lock>()};
const FunctionDef find_best_fit_def{"find_best_fit", "FastRedBlackTree.find_best_fit",
                                    "Return a block of the smallest stored size not below size, leaving it "
                                    "stored; None when there is none.",
                                    best_fit_params, "Optional[MemoryBlock]", bind<&tree_find_best_fit>()};
const FunctionDef find_all_exact_def{"find_all_exact", "FastRedBlackTree.find_all_exact",
                                     "Return the blocks stored under exactly this size.", size_param,
                                     "List[MemoryBlock]", bind<&tree_find_all_exact>()};
const FunctionDef delete_def{"delete", "FastRedBlackTree.delete",
                             "Remove the first stored block of this size equal to block.", size_block_params, "bool",
                             bind<&tree_delete>()};
const FunctionDef remove_ge_def{"remove_ge", "FastRedBlackTree.remove_ge",
                                "Remove and return (size, block) of the smallest stored size not below size, or "
                                "(None, None).",
                                size_param, "Tuple[Optional[int], Optional[MemoryBlock]]", bind<&tree_remove_ge>()};
const FunctionDef size_def{"size", "FastRedBlackTree.size", "Return the number of stored blocks.", {}, "int",
                           bind<&tree_size>()};
const FunctionDef clear_def{"clear", "FastRedBlackTree.clear", "Remove every block and reset the counts.", {},
                            "None", bind<&tree_clear>()};
const FunctionDef get_stats_def{"get_stats", "FastRedBlackTree.get_stats",
                                "Return the operation counts with node count, height and sampled operations.", {},
                                "Dict[str, Any]", bind<&tree_get_stats>()};
const FunctionDef get_size_distribution_def{"get_size_distribution", "FastRedBlackTree.get_size_distribution",
                                            "Return {size: number of blocks} in pre-order of the tree.", {},
                                            "Dict[int, int]", bind<&tree_get_size_distribution>()};
const FunctionDef reset_circuit_breaker_def{"reset_circuit_breaker", "FastRedBlackTree.reset_circuit_breaker",
                                            "Zero the circuit-breaker trips and the operation count.", {}, "None",
                                            bind<&tree_reset_circuit_breaker>()};
const FunctionDef get_statistics_def{"get_statistics", "FastRedBlackTree.get_statistics",
                                     "Return timing statistics (none are kept: an empty dict).", {},
                                     "Dict[int, List[float]]", bind<&tree_get_statistics>()};

PyGetSetDef tree_getset[] = {
    {"read_lock_acquisitions", &get_read_lock_acquisitions, &set_read_lock_acquisitions,
     "Times a reading operation has taken the tree's lock.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot tree_slots[] = {
    {Py_tp_doc, const_cast<char*>("FastRedBlackTree(sample_rate=100)\n--\n\n"
                                  "Red-black tree of free memory blocks keyed by size, with best-fit search "
                                  "under one lock.")},
    {Py_tp_new, reinterpret_cast<void*>(&bound_new<FastRedBlackTree>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&tree_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&tree_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&tree_gc_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(&tree_repr)},
    {Py_tp_getset, tree_getset},
    {Py_sq_length, reinterpret_cast<void*>(&tree_length)},
    {Py_nb_bool, reinterpret_cast<void*>(&tree_bool)},
    {0, nullptr},
};
PyType_Spec tree_spec = {"vantrel.memory.block_index.FastRedBlackTree", sizeof(FastRedBlackTree), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
                         tree_slots};

Ref create_tree_class() {
    Ref type = create_class<FastRedBlackTree>(tree_spec,
                                              {{"insert", &insert_def},
                                               {"get_write_lock", &get_write_lock_def},
                                               {"find_best_fit", &find_best_fit_def},
                                               {"find_all_exact", &find_all_exact_def},
                                               {"delete", &delete_def},
                                               {"remove_ge", &remove_ge_def},
                                               {"size", &size_def},
                                               {"clear", &clear_def},
                                               {"get_stats", &get_stats_def},
                                               {"get_size_distribution", &get_size_distribution_def},
                                               {"reset_circuit_breaker", &reset_circuit_breaker_def},
                                               {"get_statistics", &get_statistics_def}},
                                              &init_def);
    Ref module_name = Ref::steal(PyObject_GetAttrString(type.get(), "__module__"));
    Ref sanitize = make_function(sanitize_size_def, module_name.get());
    add_class_attribute(FastRedBlackTree::type, "_sanitize_size", Ref::steal(PyStaticMethod_New(sanitize.get())));
    return type;
}

// ===========================================================================
// Module definition

// `from ..memory.concurrency_core import AtomicCounter`; without the
// concurrency core (ImportError, and only that) trees run without sampling.
void import_atomic_counter(PyObject* module) {
    try {
        Ref atomic_counter = import_from(module, 2, "memory.concurrency_core", "AtomicCounter");
        set_attribute(module, "AtomicCounter", atomic_counter);
        set_attribute(module, "ATOMIC_AVAILABLE", boolean(true));
        counter_api = vantrel_import_atomic_counter_api();
        if (counter_api == nullptr) {
            PyErr_Clear();  // an older core without the table: use the methods
        } else {
            counter_class = atomic_counter.release();
        }
    } catch (const PythonError&) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw;
        PyErr_Clear();
        set_attribute(module, "AtomicCounter", none());
        set_attribute(module, "ATOMIC_AVAILABLE", boolean(false));
    }
}

void module_body(PyObject* module) {
    intern_names();
    module_globals = PyModule_GetDict(module);
    zero = Ref::steal(PyLong_FromLong(0)).release();
    import_module(module, "threading");
    import_module(module, "time");
    import_module(module, "math");
    import_names(module, "typing", {"Any", "Dict", "List", "Optional", "Tuple"});
    set_attribute(module, "MemoryBlock", import_from(module, 1, "memory_block", "MemoryBlock"));
    set_attribute(module, "__build_token__", Ref::steal(PyUnicode_FromString(build_token)));
    import_atomic_counter(module);
    set_attribute(module, "FastRedBlackTree", create_tree_class());
}

const ModuleDef module_def{"vantrel.memory.block_index", module_doc, &module_body};

}  // namespace
}  // namespace vantrel::block_index

VANTREL_MODULE(block_index, vantrel::block_index::module_def)
