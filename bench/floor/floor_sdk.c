/*
 * floor_sdk: the benchmark's floor. Each operation written by hand against the
 * CPython C API (METH_FASTCALL), doing what c_sdk's counterpart observably
 * does for the benchmark's arguments and nothing else:
 *
 * - the status is compared with the C constant 0, not looked up;
 * - text parameters take bytes, or str encoded to ASCII (what the adapter
 *   does); the adapter's IS_PY2 switch is not read;
 * - no keyword arguments (the keyword row is measured against the
 *   positional call);
 * - the event entry point takes the interpreter lock with PyGILState_Ensure,
 *   as c_sdk's does: the core may raise events from threads of its own, and
 *   delivering those is part of what the entry point does. The callable is
 *   kept in a C static, not read from the module namespace;
 * - the records are a static type holding the mapping in a C field, with
 *   getset properties and sq_contains.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <limits.h>
#include <string.h>

#include "qvcsdk.h"

enum { SUCCESS = 0 };

static PyObject* wrong_args(const char* fn, Py_ssize_t want, Py_ssize_t got) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given", fn, want, got);
    return NULL;
}

/* (status, bytes) on success, (status, None) otherwise. */
static PyObject* pair(int status, const void* res, int res_len) {
    PyObject* st = PyLong_FromLong(status);
    if (st == NULL) return NULL;
    PyObject* payload;
    if (status == SUCCESS) {
        if (res_len < 0) {
            Py_DECREF(st);
            PyErr_SetString(PyExc_RuntimeError, "negative response length");
            return NULL;
        }
        payload = PyBytes_FromStringAndSize(res ? (const char*)res : "", res ? res_len : 0);
        if (payload == NULL) {
            Py_DECREF(st);
            return NULL;
        }
    } else {
        payload = Py_NewRef(Py_None);
    }
    PyObject* t = PyTuple_New(2);
    if (t == NULL) {
        Py_DECREF(st);
        Py_DECREF(payload);
        return NULL;
    }
    PyTuple_SET_ITEM(t, 0, st);
    PyTuple_SET_ITEM(t, 1, payload);
    return t;
}

/* A request: bytes only, its length must fit a C int. */
static int request(PyObject* o, void** p, int* len) {
    if (!PyBytes_Check(o)) {
        PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(o)->tp_name);
        return -1;
    }
    Py_ssize_t n = PyBytes_GET_SIZE(o);
    if (n > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "request too long");
        return -1;
    }
    *p = PyBytes_AS_STRING(o);
    *len = (int)n;
    return 0;
}

/* An adapted text argument: bytes as is, str as new ASCII bytes (*owned). */
static int text(PyObject* o, PyObject** owned, PyObject** out) {
    if (PyBytes_CheckExact(o)) {
        *owned = NULL;
        *out = o;
        return 0;
    }
    if (PyUnicode_Check(o)) {
        *owned = PyUnicode_AsASCIIString(o);
        if (*owned == NULL) return -1;
        *out = *owned;
        return 0;
    }
    *owned = NULL;
    if (!PyBytes_Check(o)) {
        PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(o)->tp_name);
        return -1;
    }
    *out = o;
    return 0;
}

static PyObject* history_ticks(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    (void)self;
    if (nargs != 1) return wrong_args("py_qvi_history_ticks_pb", 1, nargs);
    void* p;
    int len;
    if (request(args[0], &p, &len) < 0) return NULL;
    void* res = NULL;
    int res_len = 0;
    int st = qvi_history_ticks_pb(p, len, &res, &res_len);
    return pair(st, res, res_len);
}

static PyObject* place_order(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    (void)self;
    if (nargs != 1) return wrong_args("py_qvi_place_order", 1, nargs);
    PyObject *owned, *req;
    if (text(args[0], &owned, &req) < 0) return NULL;
    void* res = NULL;
    int res_len = 0;
    Py_ssize_t n = PyBytes_GET_SIZE(req);
    if (n > INT_MAX) {
        Py_XDECREF(owned);
        PyErr_SetString(PyExc_OverflowError, "request too long");
        return NULL;
    }
    int st = qvi_place_order_pb(PyBytes_AS_STRING(req), (int)n, &res, &res_len);
    Py_XDECREF(owned);
    return pair(st, res, res_len);
}

static int to_c_int(PyObject* o, int* out) {
    long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (v < INT_MIN || v > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return -1;
    }
    *out = (int)v;
    return 0;
}

static int to_c_double(PyObject* o, double* out) {
    if (PyFloat_CheckExact(o)) {
        *out = PyFloat_AS_DOUBLE(o);
        return 0;
    }
    *out = PyFloat_AsDouble(o);
    return (*out == -1.0 && PyErr_Occurred()) ? -1 : 0;
}

static PyObject* set_backtest_config(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    (void)self;
    if (nargs != 12) return wrong_args("py_qvi_set_backtest_config", 12, nargs);
    PyObject *own0 = NULL, *own1 = NULL, *start, *end;
    PyObject* result = NULL;
    double d[7];
    int i[3];
    if (text(args[0], &own0, &start) < 0 || text(args[1], &own1, &end) < 0) goto done;
    for (int k = 0; k < 7; ++k)
        if (to_c_double(args[2 + k], &d[k]) < 0) goto done;
    for (int k = 0; k < 3; ++k)
        if (to_c_int(args[9 + k], &i[k]) < 0) goto done;
    result = PyLong_FromLong(qvi_set_backtest_config(PyBytes_AS_STRING(start), PyBytes_AS_STRING(end), d[0],
                                                     d[1], d[2], d[3], d[4], d[5], d[6], i[0], i[1], i[2]));
done:
    Py_XDECREF(own0);
    Py_XDECREF(own1);
    return result;
}

static PyObject* subscribe(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    (void)self;
    if (nargs != 3) return wrong_args("py_qvi_subscribe", 3, nargs);
    PyObject *own0 = NULL, *own1 = NULL, *symbols, *frequency;
    PyObject* result = NULL;
    if (text(args[0], &own0, &symbols) < 0 || text(args[1], &own1, &frequency) < 0) goto done;
    int flag = args[2] == Py_True ? 1 : args[2] == Py_False ? 0 : PyObject_IsTrue(args[2]);
    if (flag < 0) goto done;
    result =
        PyLong_FromLong(qvi_subscribe(PyBytes_AS_STRING(symbols), PyBytes_AS_STRING(frequency), flag != 0));
done:
    Py_XDECREF(own0);
    Py_XDECREF(own1);
    return result;
}

static PyObject* now(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    (void)self;
    (void)args;
    if (nargs != 0) return wrong_args("qvi_now", 0, nargs);
    return PyLong_FromLongLong(qvi_now());
}

/* ---- events ---------------------------------------------------------------- */

static PyObject* callable; /* the registered Python callable */

static void entry(const char* msg_type, void* data, int data_len) {
    PyGILState_STATE gil = PyGILState_Ensure();
    PyObject* f = callable;
    if (f != NULL) {
        PyObject* args[2];
        args[0] = PyUnicode_DecodeUTF8(msg_type, (Py_ssize_t)strlen(msg_type), "strict");
        args[1] = args[0] ? PyBytes_FromStringAndSize((const char*)data, data_len) : NULL;
        PyObject* r = NULL;
        Py_INCREF(f); /* the callable may register another one while it runs */
        if (args[1] != NULL) r = PyObject_Vectorcall(f, args, 2, NULL);
        Py_XDECREF(args[0]);
        Py_XDECREF(args[1]);
        if (r == NULL) PyErr_WriteUnraisable(f);
        else Py_DECREF(r);
        Py_DECREF(f);
    }
    PyGILState_Release(gil);
}

static PyObject* set_data_callback(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    (void)self;
    if (nargs != 1) return wrong_args("py_qvi_set_data_callback", 1, nargs);
    Py_XSETREF(callable, Py_NewRef(args[0]));
    qvi_set_event_callback_pb(entry);
    Py_RETURN_NONE;
}

/* ---- records ------------------------------------------------------------------ */

typedef struct {
    PyObject_HEAD PyObject* data;
} Record;

static PyObject* key_price;

static int record_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* data;
    if (kwargs != NULL && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_SetString(PyExc_TypeError, "no keyword arguments");
        return -1;
    }
    if (!PyArg_UnpackTuple(args, "Record", 1, 1, &data)) return -1;
    Py_XSETREF(((Record*)self)->data, Py_NewRef(data));
    return 0;
}

static void record_dealloc(PyObject* self) {
    Py_XDECREF(((Record*)self)->data);
    Py_TYPE(self)->tp_free(self);
}

/* data.get(key) */
static PyObject* record_get(PyObject* data, PyObject* key) {
    if (PyDict_CheckExact(data)) {
        PyObject* v = PyDict_GetItemWithError(data, key);
        if (v != NULL) return Py_NewRef(v);
        return PyErr_Occurred() ? NULL : Py_NewRef(Py_None);
    }
    return PyObject_CallMethod(data, "get", "O", key);
}

static PyObject* get_price(PyObject* self, void* closure) {
    (void)closure;
    return record_get(((Record*)self)->data, key_price);
}

static int set_price(PyObject* self, PyObject* value, void* closure) {
    (void)closure;
    if (value == NULL) return PyObject_DelItem(((Record*)self)->data, key_price);
    return PyObject_SetItem(((Record*)self)->data, key_price, value);
}

static int bar_contains(PyObject* self, PyObject* key) {
    return PySequence_Contains(((Record*)self)->data, key);
}

static PyMemberDef record_members[] = {
    {"data", T_OBJECT_EX, offsetof(Record, data), 0, NULL},
    {NULL, 0, 0, 0, NULL},
};

static PyGetSetDef tick_getset[] = {
    {"price", get_price, set_price, NULL, NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

static PyTypeObject TickType = {
    PyVarObject_HEAD_INIT(NULL, 0).tp_name = "floor_sdk.TickLikeDict2",
    .tp_basicsize = sizeof(Record),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_new = PyType_GenericNew,
    .tp_init = record_init,
    .tp_dealloc = record_dealloc,
    .tp_members = record_members,
    .tp_getset = tick_getset,
};

static PySequenceMethods bar_sequence = {.sq_contains = bar_contains};

static PyTypeObject BarType = {
    PyVarObject_HEAD_INIT(NULL, 0).tp_name = "floor_sdk.BarLikeDict2",
    .tp_basicsize = sizeof(Record),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_new = PyType_GenericNew,
    .tp_init = record_init,
    .tp_dealloc = record_dealloc,
    .tp_members = record_members,
    .tp_as_sequence = &bar_sequence,
};

/* ---- module --------------------------------------------------------------------- */

static PyMethodDef methods[] = {
    {"py_qvi_history_ticks_pb", (PyCFunction)(void (*)(void))history_ticks, METH_FASTCALL, NULL},
    {"py_qvi_place_order", (PyCFunction)(void (*)(void))place_order, METH_FASTCALL, NULL},
    {"py_qvi_set_backtest_config", (PyCFunction)(void (*)(void))set_backtest_config, METH_FASTCALL, NULL},
    {"py_qvi_subscribe", (PyCFunction)(void (*)(void))subscribe, METH_FASTCALL, NULL},
    {"py_qvi_set_data_callback", (PyCFunction)(void (*)(void))set_data_callback, METH_FASTCALL, NULL},
    {"qvi_now", (PyCFunction)(void (*)(void))now, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "floor_sdk", NULL, -1, methods, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_floor_sdk(void) {
    key_price = PyUnicode_InternFromString("price");
    if (key_price == NULL || PyType_Ready(&TickType) < 0 || PyType_Ready(&BarType) < 0) return NULL;
    PyObject* m = PyModule_Create(&module);
    if (m == NULL) return NULL;
    if (PyModule_AddObjectRef(m, "TickLikeDict2", (PyObject*)&TickType) < 0 ||
        PyModule_AddObjectRef(m, "BarLikeDict2", (PyObject*)&BarType) < 0) {
        Py_DECREF(m);
        return NULL;
    }
    return m;
}
