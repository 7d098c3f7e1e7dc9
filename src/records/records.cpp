// The record classes: ordinary classes with one slot, `data`, holding a
// caller's mapping. Item and attribute access reach the mapping; the name
// "data" alone is stored in the slot. Each class is built the way a class
// statement builds it, from its shape; its members are the module's function
// objects, and each member finds its class and field through its definition.
#include <Python.h>
#include <structmember.h>

#include <cstdio>
#include <iterator>
#include <string>
#include <type_traits>

#include "module/binding.hpp"
#include "module/function.hpp"
#include "module/globals.hpp"
#include "module/ref.hpp"
#include "module/registry.hpp"
#include "records/shapes.hpp"

namespace c_sdk {
namespace {

using records::Method;
using records::Shape;
using records::shapes;

struct Member;

struct Record {
    const Shape* shape;
    const Member* members; // its definitions, in class-body order
    PyObject* name;        // interned; also the module-level name that `__setattr__` reads
    PyTypeObject* type;    // the class as created (strong reference)
    Py_ssize_t offset;     // of the `data` slot in its instances
};

// A member's definition together with what the shared code needs to know
// about it. The function object points at `def`, the first member.
struct Member {
    Definition def;
    const Record* record = nullptr;
    PyObject* key = nullptr; // the field of a property accessor, else null
    char qualname[64]{};
};
static_assert(std::is_standard_layout_v<Member>);

constexpr bool qualnames_fit = [] {
    for (const Shape& s : shapes) {
        std::size_t room = sizeof(Member::qualname) - std::char_traits<char>::length(s.name) - 1;
        if (room <= sizeof "__contains__") return false;
        for (const char* field : s.fields)
            if (room <= std::char_traits<char>::length(field)) return false;
    }
    return true;
}();
static_assert(qualnames_fit);

constexpr std::size_t member_count = [] {
    std::size_t n = 0;
    for (const Shape& s : shapes) n += s.methods.size() + s.fields.size() * (s.setters ? 2 : 1);
    return n;
}();

Record records_[std::size(shapes)];
Member members[member_count];
bool prepared = false;

struct Interned {
    PyObject* get;
    PyObject* setattr;
    PyObject* str;
    PyObject* repr;
} interned;

const Member& member_of(PyObject* fn) { return *reinterpret_cast<const Member*>(as_function(fn)->def); }

// The mapping held by `self` (new reference), or null with an exception set.
// Instances of the class are read directly: an empty slot is an error here
// rather than a trip through `__getattr__`, which would need the slot again.
PyObject* mapping_of(const Record& r, PyObject* self) {
    if (r.type != nullptr && PyObject_TypeCheck(self, r.type)) {
        PyObject* data = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + r.offset);
        if (data != nullptr) return Py_NewRef(data);
        PyErr_Format(PyExc_AttributeError, "'%.100s' object has an empty 'data' slot",
                     Py_TYPE(self)->tp_name);
        return nullptr;
    }
    return PyObject_GetAttr(self, names.data);
}

// data.get(key)
PyObject* get(PyObject* data, PyObject* key) {
    if (PyDict_CheckExact(data)) {
        PyObject* value = PyDict_GetItemWithError(data, key);
        if (value != nullptr) return Py_NewRef(value);
        return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
    }
    return PyObject_CallMethodOneArg(data, interned.get, key);
}

// `item == "data"` by the host's `!=`: 1, 0, or -1 with an exception set.
int is_data(PyObject* item) {
    if (item == names.data) return 1;
    if (PyUnicode_CheckExact(item))
        return PyUnicode_GET_LENGTH(item) == 4 && PyUnicode_CompareWithASCIIString(item, "data") == 0;
    Ref ne(PyObject_RichCompare(item, names.data, Py_NE));
    if (!ne) return -1;
    int differs = PyObject_IsTrue(ne.get());
    return differs < 0 ? -1 : !differs;
}

// super(<the class under its module-level name now>, self).__setattr__("data", value)
int store_data(PyObject* fn, const Record& r, PyObject* self, PyObject* value) {
    PyObject* found = lookup_global(as_function(fn)->globals, r.name);
    if (found == nullptr) return -1;
    Ref hold = Ref::borrow(found); // the module dict may drop it while super() runs
    // With `object` next in the instance's order, super() resolves to
    // object.__setattr__.
    PyTypeObject* type = Py_TYPE(self);
    if (found == reinterpret_cast<PyObject*>(type) && type->tp_base == &PyBaseObject_Type &&
        PyTuple_GET_SIZE(type->tp_mro) == 2)
        return PyObject_GenericSetAttr(self, names.data, value);
    Ref super(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type), found, self, nullptr));
    if (!super) return -1;
    Ref done(PyObject_CallMethodObjArgs(super.get(), interned.setattr, names.data, value, nullptr));
    return done ? 0 : -1;
}

using Self = Py<"self">;
using SelfItem = Py<"self", "item">;
using SelfItemValue = Py<"self", "item", "value">;
using SelfData = Py<"self", "data">;
using SelfKey = Py<"self", "key">;
using SelfValue = Py<"self", "value">;

template <class P>
struct Call {
    PyObject* slots[P::count];
    PyObject* const* args;
    // bind() fills the slots it hands back; nothing else reads them.
    // cppcheck-suppress uninitMemberVar
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init)
    Call(PyObject* fn, PyObject* const* a, std::size_t nargsf, PyObject* kwnames)
        : args(bind(fn, a, nargsf, kwnames, P::params, slots)) {}
};

PyObject* init_call(PyObject* fn, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    Call<SelfData> c(fn, args, nargsf, kwnames);
    if (c.args == nullptr) return nullptr;
    if (PyObject_SetAttr(c.args[0], names.data, c.args[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

// __getitem__ and __getattr__
PyObject* get_call(PyObject* fn, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    Call<SelfItem> c(fn, args, nargsf, kwnames);
    if (c.args == nullptr) return nullptr;
    Ref data(mapping_of(*member_of(fn).record, c.args[0]));
    if (!data) return nullptr;
    return get(data.get(), c.args[1]);
}

PyObject* setitem_call(PyObject* fn, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    Call<SelfItemValue> c(fn, args, nargsf, kwnames);
    if (c.args == nullptr) return nullptr;
    Ref data(mapping_of(*member_of(fn).record, c.args[0]));
    if (!data || PyObject_SetItem(data.get(), c.args[1], c.args[2]) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* contains_call(PyObject* fn, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    Call<SelfKey> c(fn, args, nargsf, kwnames);
    if (c.args == nullptr) return nullptr;
    Ref data(mapping_of(*member_of(fn).record, c.args[0]));
    if (!data) return nullptr;
    int found = PySequence_Contains(data.get(), c.args[1]);
    return found < 0 ? nullptr : PyBool_FromLong(found);
}

PyObject* setattr_call(PyObject* fn, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    Call<SelfItemValue> c(fn, args, nargsf, kwnames);
    if (c.args == nullptr) return nullptr;
    const Record& r = *member_of(fn).record;
    int slot = is_data(c.args[1]);
    if (slot < 0) return nullptr;
    if (slot) {
        if (store_data(fn, r, c.args[0], c.args[2]) < 0) return nullptr;
        Py_RETURN_NONE;
    }
    Ref data(mapping_of(r, c.args[0]));
    if (!data || PyObject_SetItem(data.get(), c.args[1], c.args[2]) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* text_of(PyObject* fn, PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
                  PyObject* method) {
    Call<Self> c(fn, args, nargsf, kwnames);
    if (c.args == nullptr) return nullptr;
    Ref data(mapping_of(*member_of(fn).record, c.args[0]));
    if (!data) return nullptr;
    return PyObject_CallMethodNoArgs(data.get(), method);
}

PyObject* str_call(PyObject* fn, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    return text_of(fn, args, nargsf, kwnames, interned.str);
}

PyObject* repr_call(PyObject* fn, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    return text_of(fn, args, nargsf, kwnames, interned.repr);
}

PyObject* field_get(PyObject* fn, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    Call<Self> c(fn, args, nargsf, kwnames);
    if (c.args == nullptr) return nullptr;
    const Member& m = member_of(fn);
    Ref data(mapping_of(*m.record, c.args[0]));
    if (!data) return nullptr;
    return get(data.get(), m.key);
}

PyObject* field_set(PyObject* fn, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    Call<SelfValue> c(fn, args, nargsf, kwnames);
    if (c.args == nullptr) return nullptr;
    const Member& m = member_of(fn);
    Ref data(mapping_of(*m.record, c.args[0]));
    if (!data || PyObject_SetItem(data.get(), m.key, c.args[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

struct MethodEntry {
    const char* name;
    vectorcallfunc call;
    const Params* params; // what `call` binds
};

MethodEntry entry_of(Method m) {
    switch (m) {
    case Method::init: return {"__init__", init_call, &SelfData::params};
    case Method::getitem: return {"__getitem__", get_call, &SelfItem::params};
    case Method::setitem: return {"__setitem__", setitem_call, &SelfItemValue::params};
    case Method::contains: return {"__contains__", contains_call, &SelfKey::params};
    case Method::getattr: return {"__getattr__", get_call, &SelfItem::params};
    case Method::setattr: return {"__setattr__", setattr_call, &SelfItemValue::params};
    case Method::str: return {"__str__", str_call, &Self::params};
    case Method::repr: return {"__repr__", repr_call, &Self::params};
    }
    return {nullptr, nullptr, nullptr};
}

PyObject* not_iterable(PyObject* self) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not iterable", Py_TYPE(self)->tp_name);
    return nullptr;
}

int intern(PyObject*& slot, const char* text) {
    if (slot == nullptr) slot = PyUnicode_InternFromString(text);
    return slot == nullptr ? -1 : 0;
}

// Fills the members' definitions once per process; the function objects keep
// pointers to them.
int prepare() {
    if (prepared) return 0;
    if (intern(interned.get, "get") < 0 || intern(interned.setattr, "__setattr__") < 0 ||
        intern(interned.str, "__str__") < 0 || intern(interned.repr, "__repr__") < 0)
        return -1;
    Member* next = members;
    auto add = [&next](const Record& r, const char* name, vectorcallfunc call, const Params* params,
                       PyObject* key) {
        Member& m = *next++;
        std::snprintf(m.qualname, sizeof m.qualname, "%s.%s", r.shape->name, name);
        m.def = Definition{.name = name, .call = call, .qualname = m.qualname, .params = params};
        m.record = &r;
        m.key = key;
    };
    for (std::size_t i = 0; i < std::size(shapes); ++i) {
        Record& r = records_[i];
        r.shape = &shapes[i];
        r.members = next;
        if (intern(r.name, r.shape->name) < 0) return -1;
        for (Method method : r.shape->methods) {
            MethodEntry e = entry_of(method);
            add(r, e.name, e.call, e.params, nullptr);
        }
        for (const char* field : r.shape->fields) {
            PyObject* key = PyUnicode_InternFromString(field);
            if (key == nullptr) return -1;
            add(r, field, field_get, &Self::params, key);
            if (r.shape->setters) add(r, field, field_set, &SelfValue::params, key);
        }
    }
    prepared = true;
    return 0;
}

int put(PyObject* ns, const char* name, PyObject* value /* stolen */) {
    if (value == nullptr) return -1;
    int rc = PyDict_SetItemString(ns, name, value);
    Py_DECREF(value);
    return rc;
}

// type(name, (object,), namespace), as a class statement would call it.
PyObject* make_class(Record& r, PyObject* globals) {
    const Shape& s = *r.shape;
    Ref ns(PyDict_New());
    if (!ns) return nullptr;
    PyObject* module_name = PyDict_GetItemString(globals, "__name__");
    if (module_name == nullptr) {
        PyErr_SetString(PyExc_NameError, "name '__name__' is not defined");
        return nullptr;
    }
    if (PyDict_SetItemString(ns.get(), "__module__", module_name) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", r.name) < 0 ||
        put(ns.get(), "__slots__", Py_BuildValue("[O]", names.data)) < 0)
        return nullptr;
    const Member* m = r.members;
    for (std::size_t i = 0; i < s.methods.size(); ++i, ++m) {
        if (put(ns.get(), m->def.name, make_function(m->def, globals)) < 0) return nullptr;
    }
    for (std::size_t i = 0; i < s.fields.size(); ++i) {
        Ref getter(make_function((m++)->def, globals));
        if (!getter) return nullptr;
        Ref setter(s.setters ? make_function((m++)->def, globals) : Py_NewRef(Py_None));
        if (!setter) return nullptr;
        PyObject* property = PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyProperty_Type),
                                                          getter.get(), setter.get(), nullptr);
        if (put(ns.get(), s.fields[i], property) < 0) return nullptr;
    }
    Ref cls(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "O(O)O", r.name,
                                  &PyBaseObject_Type, ns.get()));
    if (!cls) return nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(cls.get());

    PyObject* slot = PyDict_GetItemWithError(type->tp_dict, names.data);
    if (slot == nullptr || !Py_IS_TYPE(slot, &PyMemberDescr_Type) ||
        reinterpret_cast<PyMemberDescrObject*>(slot)->d_member->type != T_OBJECT_EX) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_SystemError, "class '%U' has no 'data' slot", r.name);
        return nullptr;
    }
    r.offset = reinterpret_cast<PyMemberDescrObject*>(slot)->d_member->offset;
    // A record has no length and reads None for every index, so the host's
    // fallback iteration would never end: fail at once instead.
    type->tp_iter = not_iterable;
    PyType_Modified(type);
    Py_XSETREF(r.type, reinterpret_cast<PyTypeObject*>(Py_NewRef(cls.get())));
    return cls.release();
}

} // namespace

int bind_records(PyObject* module) {
    if (prepare() < 0) return -1;
    PyObject* globals = PyModule_GetDict(module);
    for (Record& r : records_) {
        Ref cls(make_class(r, globals));
        if (!cls || PyObject_SetAttr(module, r.name, cls.get()) < 0) return -1;
    }
    return 0;
}

} // namespace c_sdk
