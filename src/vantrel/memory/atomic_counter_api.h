// Native access to AtomicCounter for other compiled modules.
//
// A module that includes this header and calls `vantrel_import_atomic_counter_api()`
// (with the interpreter lock held, once) receives the table of the six native
// operations. The operations themselves need no interpreter lock and cannot
// fail; the caller must keep a reference to the counter object for the
// duration of the call and must pass only exact AtomicCounter instances or
// instances of subclasses (check with `PyObject_TypeCheck` against the class
// object `vantrel.memory.concurrency_core.AtomicCounter`).
#pragma once

#include <Python.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VANTREL_ATOMIC_COUNTER_API_NAME "vantrel.memory.concurrency_core.AtomicCounter._c_api"

typedef struct VantrelAtomicCounterApi {
    int64_t (*_c_load)(PyObject* counter);
    void (*_c_store)(PyObject* counter, int64_t value);
    int64_t (*_c_increment)(PyObject* counter, int64_t delta);            /* new value */
    int64_t (*_c_decrement)(PyObject* counter, int64_t delta);            /* new value */
    int (*_c_compare_and_swap)(PyObject* counter, int64_t expected, int64_t desired);
    int64_t (*_c_fetch_and_add)(PyObject* counter, int64_t delta);        /* old value */
} VantrelAtomicCounterApi;

/* Returns the table, or NULL with an ImportError set. */
static inline const VantrelAtomicCounterApi* vantrel_import_atomic_counter_api(void) {
    return (const VantrelAtomicCounterApi*)PyCapsule_Import(VANTREL_ATOMIC_COUNTER_API_NAME, 0);
}

#ifdef __cplusplus
}
#endif
