#include "module/function.hpp"

#include "module/convert.hpp"

#include <structmember.h>

#include <cstddef>

namespace c_sdk {
namespace {

Function* self_of(PyObject* o) { return reinterpret_cast<Function*>(o); }

PyObject* get_name(PyObject* o, void*) { return Py_NewRef(self_of(o)->name); }
PyObject* get_qualname(PyObject* o, void*) { return Py_NewRef(self_of(o)->qualname); }
PyObject* get_doc(PyObject* o, void*) { return Py_NewRef(self_of(o)->doc); }
PyObject* get_defaults(PyObject* o, void*) { return Py_NewRef(self_of(o)->defaults); }

// Same rules as for Python functions: names are str, defaults a tuple or None,
// and none of them can be deleted.
int set_text_attr(PyObject* value, PyObject*& slot, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(slot, Py_NewRef(value));
    return 0;
}
int set_name(PyObject* o, PyObject* v, void*) { return set_text_attr(v, self_of(o)->name, "__name__"); }
int set_qualname(PyObject* o, PyObject* v, void*) {
    return set_text_attr(v, self_of(o)->qualname, "__qualname__");
}
int set_doc(PyObject* o, PyObject* v, void*) {
    Py_SETREF(self_of(o)->doc, Py_NewRef(v ? v : Py_None));
    return 0;
}
int set_defaults(PyObject* o, PyObject* v, void*) {
    if (v == nullptr) v = Py_None;
    if (v != Py_None && !PyTuple_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_SETREF(self_of(o)->defaults, Py_NewRef(v));
    return 0;
}

// {"core", "params", "shape", "result", "adapted"} for a callable over a core
// function (an adapter wrapper describes the function it wraps); else None.
PyObject* get_core(PyObject* o, void*) {
    Function* f = self_of(o);
    const CallMeta* m = f->def->meta;
    if (m == nullptr) {
        if (f->closure == nullptr || !PyObject_TypeCheck(f->closure, &FunctionType)) Py_RETURN_NONE;
        PyObject* inner = get_core(f->closure, nullptr);
        if (inner != nullptr && inner != Py_None && PyDict_SetItemString(inner, "adapted", Py_True) < 0)
            Py_CLEAR(inner);
        return inner;
    }
    PyObject* params = PyTuple_New(m->count);
    if (params == nullptr) return nullptr;
    for (int i = 0; i < m->count; ++i) {
        PyObject* p = Py_BuildValue("(ss)", m->params[i], m->kinds[i]);
        if (p == nullptr) {
            Py_DECREF(params);
            return nullptr;
        }
        PyTuple_SET_ITEM(params, i, p);
    }
    return Py_BuildValue("{s:s,s:N,s:s,s:s,s:O}", "core", core_name(m->core()), "params", params, "shape",
                         m->shape, "result", m->result, "adapted", Py_False);
}

PyGetSetDef getset[] = {
    {"__core__", get_core, nullptr, nullptr, nullptr},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

int traverse(PyObject* o, visitproc visit, void* arg) {
    Function* f = self_of(o);
    Py_VISIT(f->globals);
    Py_VISIT(f->closure);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->doc);
    Py_VISIT(f->module);
    Py_VISIT(f->defaults);
    Py_VISIT(f->dict);
    return 0;
}

int clear(PyObject* o) {
    Function* f = self_of(o);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->module);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->dict);
    return 0;
}

void dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    if (self_of(o)->weakrefs != nullptr) PyObject_ClearWeakRefs(o);
    clear(o);
    PyObject_GC_Del(o);
}

PyObject* repr(PyObject* o) { return PyUnicode_FromFormat("<function %U at %p>", self_of(o)->qualname, o); }

// Placed in a class, a function becomes a method of its instances, exactly as
// a Python function does.
PyObject* descr_get(PyObject* func, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(func);
    return PyMethod_New(func, obj);
}

} // namespace

PyTypeObject FunctionType = [] {
    PyTypeObject t{};
    Py_SET_REFCNT(&t, 1);
    t.tp_name = "c_sdk.function";
    t.tp_basicsize = sizeof(Function);
    t.tp_dealloc = dealloc;
    t.tp_vectorcall_offset = offsetof(Function, vectorcall);
    t.tp_repr = repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_getattro = PyObject_GenericGetAttr;
    t.tp_setattro = PyObject_GenericSetAttr;
    t.tp_flags =
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_traverse = traverse;
    t.tp_clear = clear;
    t.tp_weaklistoffset = offsetof(Function, weakrefs);
    t.tp_members = members;
    t.tp_getset = getset;
    t.tp_descr_get = descr_get;
    t.tp_dictoffset = offsetof(Function, dict);
    return t;
}();

int ready_function_type() { return PyType_Ready(&FunctionType); }

PyObject* make_function(const Definition& def, PyObject* globals, PyObject* closure, PyObject* defaults) {
    PyObject* name = PyUnicode_FromString(def.name);
    if (name == nullptr) return nullptr;
    PyObject* qualname = def.qualname ? PyUnicode_FromString(def.qualname) : Py_NewRef(name);
    PyObject* doc = def.doc ? PyUnicode_FromString(def.doc) : Py_NewRef(Py_None);
    PyObject* module = PyDict_GetItemString(globals, "__name__"); // borrowed
    Function* f = PyObject_GC_New(Function, &FunctionType);
    if (f == nullptr || qualname == nullptr || doc == nullptr) {
        Py_DECREF(name);
        Py_XDECREF(qualname);
        Py_XDECREF(doc);
        if (f != nullptr) PyObject_GC_Del(f);
        return nullptr;
    }
    f->vectorcall = def.call;
    f->def = &def;
    f->globals = Py_NewRef(globals);
    f->closure = Py_XNewRef(closure);
    f->name = name;
    f->qualname = qualname;
    f->doc = doc;
    f->module = Py_NewRef(module ? module : Py_None);
    f->defaults = Py_NewRef(defaults ? defaults : Py_None);
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

} // namespace c_sdk
