#include "module/function.hpp"

#include "module/binding.hpp"
#include "module/convert.hpp"
#include "module/ref.hpp"

#include <structmember.h>

#include <cmath>
#include <cstddef>
#include <utility>

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

// As a Python function's: a dict made on first read (from 3.14 on, by calling
// `__annotate__(1)` when one is set); it may be replaced by another dict, or
// reset with None or del.
PyObject* get_annotations(PyObject* o, void*) {
    Function* f = self_of(o);
    if (f->annotations == nullptr) {
#if PY_VERSION_HEX >= 0x030E0000
        if (f->annotate != nullptr && PyCallable_Check(f->annotate)) {
            Ref one(PyLong_FromLong(1));
            if (!one) return nullptr;
            Ref made(PyObject_CallOneArg(f->annotate, one.get()));
            if (!made) return nullptr;
            if (!PyDict_Check(made.get())) {
                // In the words a Python function uses on the same interpreter.
#if PY_VERSION_HEX >= 0x030F0000
                PyErr_Format(PyExc_TypeError, "__annotate__() must return a dict, not %.100s",
                             Py_TYPE(made.get())->tp_name);
#else
                PyErr_Format(PyExc_TypeError, "__annotate__ returned non-dict of type '%.100s'",
                             Py_TYPE(made.get())->tp_name);
#endif
                return nullptr;
            }
            f->annotations = made.release();
            return Py_NewRef(f->annotations);
        }
#endif
        f->annotations = PyDict_New();
    }
    return Py_XNewRef(f->annotations);
}
int set_annotations(PyObject* o, PyObject* v, void*) {
    if (v == Py_None) v = nullptr;
    if (v != nullptr && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(self_of(o)->annotations, Py_XNewRef(v));
#if PY_VERSION_HEX >= 0x030E0000
    Py_CLEAR(self_of(o)->annotate);
#endif
    return 0;
}

#if PY_VERSION_HEX >= 0x030E0000
// From 3.14 on functools.wraps copies `__annotate__` rather than the dict.
PyObject* get_annotate(PyObject* o, void*) {
    PyObject* a = self_of(o)->annotate;
    return Py_NewRef(a != nullptr ? a : Py_None);
}
int set_annotate(PyObject* o, PyObject* v, void*) {
    Function* f = self_of(o);
    if (v == nullptr) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ cannot be deleted");
        return -1;
    }
    if (v == Py_None) {
        Py_CLEAR(f->annotate);
        return 0;
    }
    if (!PyCallable_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ must be callable or None");
        return -1;
    }
    Py_XSETREF(f->annotate, Py_NewRef(v));
    Py_CLEAR(f->annotations);
    return 0;
}
#endif

// No callable of the module has keyword-only parameters.
PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

// A default as inspect can read it back from a signature text: the literals a
// parameter list of this module can hold. Null (no exception) for anything else.
PyObject* default_text(PyObject* v) {
    bool literal = v == Py_None || PyBool_Check(v) || PyLong_CheckExact(v) || PyUnicode_CheckExact(v) ||
                   PyBytes_CheckExact(v) || (PyFloat_CheckExact(v) && std::isfinite(PyFloat_AS_DOUBLE(v)));
    return literal ? PyObject_Repr(v) : nullptr;
}

// The parameters as inspect reads them, "(status, cfunname='')", built when a
// tool asks: nothing is stored and no call path is touched. Defaults are read
// from `__defaults__` now, as the call reads them. None when a default is not
// a literal, so that tools report no signature rather than a wrong one.
PyObject* get_text_signature(PyObject* o, void*) {
    Function* f = self_of(o);
    const Definition& d = *f->def;
    const char* const* names = nullptr;
    Py_ssize_t count = 0;
    Py_ssize_t required = 0;
    if (d.params != nullptr) {
        names = d.params->names;
        count = d.params->count;
        required = d.params->required;
    } else if (d.meta != nullptr) {
        names = d.meta->params;
        count = required = d.meta->count;
    } else {
        return PyUnicode_FromString("(*args, **kwargs)");
    }
    Py_ssize_t ndefaults = PyTuple_Check(f->defaults) ? PyTuple_GET_SIZE(f->defaults) : 0;
    Ref parts(PyList_New(0));
    if (!parts) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref part(PyUnicode_FromString(names[i]));
        if (!part) return nullptr;
        // An optional parameter takes its default from the end of the tuple.
        Py_ssize_t from_end = count - i;
        if (i >= required && ndefaults >= from_end) {
            PyObject* value = PyTuple_GET_ITEM(f->defaults, ndefaults - from_end);
            Ref text(default_text(value));
            if (!text) {
                if (PyErr_Occurred()) return nullptr;
                Py_RETURN_NONE;
            }
            part = Ref(PyUnicode_FromFormat("%U=%U", part.get(), text.get()));
            if (!part) return nullptr;
        }
        if (PyList_Append(parts.get(), part.get()) < 0) return nullptr;
    }
    Ref sep(PyUnicode_FromString(", "));
    if (!sep) return nullptr;
    Ref joined(PyUnicode_Join(sep.get(), parts.get()));
    if (!joined) return nullptr;
    return PyUnicode_FromFormat("(%U)", joined.get());
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
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
#if PY_VERSION_HEX >= 0x030E0000
    {"__annotate__", get_annotate, set_annotate, nullptr, nullptr},
#endif
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Where `qualname` leads from the module namespace: the object found, the
// object holding its last part and that part's name; nothing found when some
// part is missing. 1 when the name is local (holds "<locals>"), 0 otherwise,
// -1 with an exception set.
struct Found {
    Ref object;
    Ref parent;
    Ref last;
};
int resolve(PyObject* globals, PyObject* qualname, Found& out) {
    Ref dot(PyUnicode_FromString("."));
    if (!dot) return -1;
    Ref parts(PyUnicode_Split(qualname, dot.get(), -1));
    if (!parts) return -1;
    Py_ssize_t n = PyList_GET_SIZE(parts.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyUnicode_CompareWithASCIIString(PyList_GET_ITEM(parts.get(), i), "<locals>") == 0) return 1;
    }
    PyObject* first = PyDict_GetItemWithError(globals, PyList_GET_ITEM(parts.get(), 0));
    if (first == nullptr) return PyErr_Occurred() ? -1 : 0;
    Ref at = Ref::borrow(first);
    for (Py_ssize_t i = 1; i < n; ++i) {
        // Interned, as attribute names in code are: the type attribute cache
        // would otherwise keep each new copy of the name.
        PyObject* part = Py_NewRef(PyList_GET_ITEM(parts.get(), i));
        PyUnicode_InternInPlace(&part);
        Ref held(part);
        Ref next(PyObject_GetAttr(at.get(), part));
        if (!next) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
            PyErr_Clear();
            return 0;
        }
        out.parent = std::move(at);
        out.last = Ref::borrow(part);
        at = std::move(next);
    }
    out.object = std::move(at);
    return 0;
}

// The module attribute bound to `self` (new reference), else null.
PyObject* bound_name(PyObject* globals, PyObject* self) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    while (PyDict_Next(globals, &pos, &key, &value)) {
        if (value == self && PyUnicode_Check(key)) return Py_NewRef(key);
    }
    return nullptr;
}

// operator.attrgetter("<field>.<accessor>") applied to the class: how an
// accessor of a property is found again, the property itself not being
// picklable.
PyObject* reduce_accessor(const Found& found, const char* accessor) {
    Ref op(PyImport_ImportModule("operator"));
    if (!op) return nullptr;
    Ref path(PyUnicode_FromFormat("%U.%s", found.last.get(), accessor));
    if (!path) return nullptr;
    Ref getter(PyObject_CallMethod(op.get(), "attrgetter", "O", path.get()));
    if (!getter) return nullptr;
    return Py_BuildValue("(O(O))", getter.get(), found.parent.get());
}

// A function pickle cannot find again: PicklingError, with the words pickle
// uses for a local Python function.
PyObject* not_picklable(PyObject* qualname) {
    Ref pickle(PyImport_ImportModule("pickle"));
    if (!pickle) return nullptr;
    Ref error(PyObject_GetAttrString(pickle.get(), "PicklingError"));
    if (!error) return nullptr;
    PyErr_Format(error.get(), "Can't pickle local object %R", qualname);
    return nullptr;
}

// Pickled by reference, as pickle saves a Python function: by the name under
// which its module holds it. That is its qualified name when that leads to it
// (a record method); else the module attribute bound to it (the adapter's
// wrappers and the direct callables, whose qualified names lead nowhere); a
// property accessor is reached through its property. The search runs only
// here, when pickled. A local function bound nowhere cannot be pickled; any
// other reduces to its qualified name, for pickle to report what it misses.
PyObject* reduce(PyObject* o, PyObject*) {
    Function* f = self_of(o);
    if (f->globals == nullptr || !PyDict_Check(f->globals)) return Py_NewRef(f->qualname);
    Found found;
    int local = resolve(f->globals, f->qualname, found);
    if (local < 0) return nullptr;
    if (found.object.get() == o) return Py_NewRef(f->qualname);
    if (found.object && found.parent && PyObject_TypeCheck(found.object.get(), &PyProperty_Type)) {
        for (const char* accessor : {"fget", "fset"}) {
            Ref fn(PyObject_GetAttrString(found.object.get(), accessor));
            if (!fn) return nullptr;
            if (fn.get() == o) return reduce_accessor(found, accessor);
        }
    }
    PyObject* name = bound_name(f->globals, o);
    if (name != nullptr) return name;
    return local ? not_picklable(f->qualname) : Py_NewRef(f->qualname);
}

// Functions are immutable as far as copying goes: a copy is the object itself,
// whether or not it could be pickled.
PyObject* copy_self(PyObject* o, PyObject*) { return Py_NewRef(o); }

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_NOARGS, nullptr},
    {"__copy__", copy_self, METH_NOARGS, nullptr},
    {"__deepcopy__", copy_self, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__globals__", T_OBJECT, offsetof(Function, globals), READONLY, nullptr},
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
    Py_VISIT(f->annotations);
#if PY_VERSION_HEX >= 0x030E0000
    Py_VISIT(f->annotate);
#endif
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
    Py_CLEAR(f->annotations);
#if PY_VERSION_HEX >= 0x030E0000
    Py_CLEAR(f->annotate);
#endif
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
    t.tp_methods = methods;
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
    f->annotations = nullptr;
#if PY_VERSION_HEX >= 0x030E0000
    f->annotate = nullptr;
#endif
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

} // namespace c_sdk
