/*
 * benchctl: what the benchmark needs from C.
 *
 * - dump(label): a callgrind client request that writes the counters under a
 *   label and resets them; the harness puts a measured loop between two
 *   (no-op outside valgrind);
 * - fire(address, n, msg_type, payload): calls an event entry point n times,
 *   the way the core library would, from the calling thread (which holds the
 *   interpreter lock, as when events arrive inside a core call);
 *   noop_address() is an entry point that does nothing, for the empty loop;
 * - count_allocations(flag): counts the allocations of every allocator domain
 *   (raw, mem, object) from the moment it is switched on; returns the count;
 * - latencies(callable, args, n): calls callable(*args) n times and returns
 *   the wall-clock time of each call in ns (n native int64s in a bytes), the
 *   clock read right before and right after the call, nothing else between.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <stdint.h>
#include <time.h>
#include <valgrind/callgrind.h>

typedef void (*EventCallback)(const char* msg_type, void* data, int data_len);

static PyObject* dump(PyObject* self, PyObject* label) {
    (void)self;
    const char* s = PyUnicode_AsUTF8(label);
    if (s == NULL) return NULL;
    CALLGRIND_DUMP_STATS_AT(s);
    Py_RETURN_NONE;
}

static PyObject* on_valgrind(PyObject* self, PyObject* unused) {
    (void)self;
    (void)unused;
    return PyBool_FromLong(RUNNING_ON_VALGRIND);
}

static void noop(const char* msg_type, void* data, int data_len) {
    (void)msg_type;
    (void)data;
    (void)data_len;
    __asm__ volatile("" ::: "memory");
}

static PyObject* noop_address(PyObject* self, PyObject* unused) {
    (void)self;
    (void)unused;
    return PyLong_FromVoidPtr((void*)(uintptr_t)noop);
}

static PyObject* fire(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    (void)self;
    if (nargs != 4) {
        PyErr_SetString(PyExc_TypeError, "fire(address, n, msg_type, payload)");
        return NULL;
    }
    void* addr = PyLong_AsVoidPtr(args[0]);
    if (addr == NULL) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "null entry point");
        return NULL;
    }
    Py_ssize_t n = PyLong_AsSsize_t(args[1]);
    if (n == -1 && PyErr_Occurred()) return NULL;
    if (!PyBytes_Check(args[2]) || !PyBytes_Check(args[3])) {
        PyErr_SetString(PyExc_TypeError, "msg_type and payload must be bytes");
        return NULL;
    }
    EventCallback cb = (EventCallback)(uintptr_t)addr;
    const char* msg = PyBytes_AS_STRING(args[2]);
    char* data = PyBytes_AS_STRING(args[3]);
    int len = (int)PyBytes_GET_SIZE(args[3]);
    for (Py_ssize_t i = 0; i < n; ++i) cb(msg, data, len);
    if (PyErr_Occurred()) return NULL; /* an entry point must never leave one */
    Py_RETURN_NONE;
}

/* ---- allocation counter -------------------------------------------------------- */

static PyMemAllocatorEx saved[3];
static const PyMemAllocatorDomain domains[3] = {PYMEM_DOMAIN_RAW, PYMEM_DOMAIN_MEM, PYMEM_DOMAIN_OBJ};
static unsigned long long allocations;
static int counting;

static void* count_malloc(void* ctx, size_t size) {
    PyMemAllocatorEx* a = ctx;
    ++allocations;
    return a->malloc(a->ctx, size);
}
static void* count_calloc(void* ctx, size_t n, size_t size) {
    PyMemAllocatorEx* a = ctx;
    ++allocations;
    return a->calloc(a->ctx, n, size);
}
static void* count_realloc(void* ctx, void* p, size_t size) {
    PyMemAllocatorEx* a = ctx;
    if (p == NULL) ++allocations;
    return a->realloc(a->ctx, p, size);
}
static void count_free(void* ctx, void* p) {
    PyMemAllocatorEx* a = ctx;
    a->free(a->ctx, p);
}

static PyObject* count_allocations(PyObject* self, PyObject* flag) {
    (void)self;
    int on = PyObject_IsTrue(flag);
    if (on < 0) return NULL;
    if (on && !counting) {
        for (int i = 0; i < 3; ++i) {
            PyMem_GetAllocator(domains[i], &saved[i]);
            PyMemAllocatorEx hook = {&saved[i], count_malloc, count_calloc, count_realloc, count_free};
            PyMem_SetAllocator(domains[i], &hook);
        }
        allocations = 0;
        counting = 1;
    } else if (!on && counting) {
        for (int i = 0; i < 3; ++i) PyMem_SetAllocator(domains[i], &saved[i]);
        counting = 0;
    }
    return PyLong_FromUnsignedLongLong(allocations);
}

/* ---- per-call latency ------------------------------------------------------------ */

static inline int64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static PyObject* latencies(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    (void)self;
    if (nargs != 3 || !PyTuple_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "latencies(callable, args: tuple, n)");
        return NULL;
    }
    PyObject* fn = args[0];
    PyObject* const* call_args = &PyTuple_GET_ITEM(args[1], 0);
    size_t call_nargs = (size_t)PyTuple_GET_SIZE(args[1]);
    Py_ssize_t n = PyLong_AsSsize_t(args[2]);
    if (n == -1 && PyErr_Occurred()) return NULL;
    if (n < 0) {
        PyErr_SetString(PyExc_ValueError, "n must be >= 0");
        return NULL;
    }
    PyObject* out = PyBytes_FromStringAndSize(NULL, n * (Py_ssize_t)sizeof(int64_t));
    if (out == NULL) return NULL;
    int64_t* ns = (int64_t*)PyBytes_AS_STRING(out);
    for (Py_ssize_t i = 0; i < n; ++i) {
        int64_t t0 = now_ns();
        PyObject* r = PyObject_Vectorcall(fn, call_args, call_nargs, NULL);
        int64_t t1 = now_ns();
        if (r == NULL) {
            Py_DECREF(out);
            return NULL;
        }
        Py_DECREF(r);
        ns[i] = t1 - t0;
    }
    return out;
}

static PyMethodDef methods[] = {
    {"dump", dump, METH_O, "Dumps callgrind's counters under a label, and zeroes them."},
    {"on_valgrind", on_valgrind, METH_NOARGS, "Whether the process runs under valgrind."},
    {"noop_address", noop_address, METH_NOARGS, "Address of an event entry point that does nothing."},
    {"fire", (PyCFunction)(void (*)(void))fire, METH_FASTCALL, "fire(address, n, msg_type, payload)"},
    {"count_allocations", count_allocations, METH_O,
     "count_allocations(True) starts counting from 0; count_allocations(False) stops. Both return the "
     "count."},
    {"latencies", (PyCFunction)(void (*)(void))latencies, METH_FASTCALL,
     "latencies(callable, args, n): bytes of n int64 ns, the time of each call"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "benchctl", NULL, -1, methods, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_benchctl(void) { return PyModule_Create(&module); }
