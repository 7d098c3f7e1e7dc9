// The registry: every wrapper of the module, family by family, in the order
// in which initialisation binds them. A family file is a table of rows; a new
// core function is one new row.
#pragma once

#include <Python.h>

#include <span>

#include "module/function.hpp"

namespace c_sdk {

// Whether a wrapper is bound through `adapt_to_python3`, which turns `str`
// arguments into ASCII bytes before the wrapper sees them.
enum class Adapt : bool { no = false, yes = true };
inline constexpr Adapt w = Adapt::yes;
inline constexpr Adapt plain = Adapt::no;

struct Wrapper {
    Definition def;
    Adapt adapt;
    constexpr Wrapper(const char* name, Adapt a, Call c)
        : def{name, c.fn, nullptr, nullptr, c.meta}, adapt(a) {}
};

using Family = std::span<const Wrapper>;

// One per family file, in binding order.
namespace family {
extern const Family events, timers, settings, backtest, bus, quotes, history, orders, accounts, algo, credit,
    ipo_options, instruments, stocks, reference, pools;
}

// A module attribute that exposes a core function under its own C name.
struct DirectCallable {
    const char* attribute;
    Definition def;
    constexpr DirectCallable(const char* attr, Call c, const char* doc)
        : attribute(attr), def{"wrap", c.fn, doc, nullptr, c.meta} {}
};
extern const std::span<const DirectCallable> direct_callables;

// Binds the helpers (is_windows ... c_status_fail) into the module namespace.
int bind_helpers(PyObject* module);
// Creates and binds the four record classes.
int bind_records(PyObject* module);

} // namespace c_sdk
