// The wrapper shapes, written once as templates. A wrapper is a core function
// plus a parameter list plus, per C argument, where its value comes from
// (`Text<0>`: a byte-string parameter read as const char*, `Request<0>`: the
// pointer and length of a request, `Response`: the response out-parameters,
// ...). The template binds, converts in C argument order, calls the core
// function once and converts its result; the compiler checks that the
// sources produce exactly the core function's parameter types.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "module/binding.hpp"
#include "module/convert.hpp"
#include "module/function.hpp"
#include "module/globals.hpp"

namespace c_sdk {

namespace source {

// Every source has two steps. `check` runs in C argument order and may run
// Python code (len(), __int__, __float__, __bool__); the first failure stops
// the call before the core is reached. `take` then reads buffer pointers,
// when no more Python code can run and move them.

template <int I>
struct Text { // byte-string parameter as `const char*`
    static constexpr int param = I;
    static constexpr const char* kind = "bytes";
    const char* p = nullptr;
    bool check(PyObject* const* a) { return is_byte_string(a[I]); }
    bool take(PyObject* const* a) {
        p = byte_string_data(a[I]);
        return true;
    }
    auto args() const { return std::tuple<const char*>{p}; }
};

template <int I>
struct Request { // byte-string parameter as `void*` plus its `len()` as `int`
    static constexpr int param = I;
    static constexpr const char* kind = "request";
    Py_ssize_t len = 0;
    void* p = nullptr;
    bool check(PyObject* const* a) { return request_length(a[I], len); }
    bool take(PyObject* const* a) { return request_data(a[I], len, p); }
    auto args() const { return std::tuple<void*, int>{p, static_cast<int>(len)}; }
};

template <int I>
struct Int { // integer parameter
    static constexpr int param = I;
    static constexpr const char* kind = "int";
    int v = 0;
    bool check(PyObject* const* a) { return to_int(a[I], v); }
    bool take(PyObject* const*) { return true; }
    auto args() const { return std::tuple<int>{v}; }
};

template <int I>
struct IntAsBool { // integer parameter handed over as `value != 0`
    static constexpr int param = I;
    static constexpr const char* kind = "int";
    int v = 0;
    bool check(PyObject* const* a) { return to_int(a[I], v); }
    bool take(PyObject* const*) { return true; }
    auto args() const { return std::tuple<bool>{v != 0}; }
};

template <int I>
struct Double { // float parameter
    static constexpr int param = I;
    static constexpr const char* kind = "float";
    double v = 0;
    bool check(PyObject* const* a) { return to_double(a[I], v); }
    bool take(PyObject* const*) { return true; }
    auto args() const { return std::tuple<double>{v}; }
};

template <int I>
struct Flag { // flag parameter
    static constexpr int param = I;
    static constexpr const char* kind = "flag";
    bool v = false;
    bool check(PyObject* const* a) { return to_flag(a[I], v); }
    bool take(PyObject* const*) { return true; }
    auto args() const { return std::tuple<bool>{v}; }
};

struct Null { // a `const char*` the module always passes as null
    static constexpr int param = -1;
    static constexpr const char* kind = nullptr;
    bool check(PyObject* const*) { return true; }
    bool take(PyObject* const*) { return true; }
    auto args() const { return std::tuple<const char*>{nullptr}; }
};

struct Response { // `void** res, int* res_len`, read only on success
    static constexpr int param = -1;
    static constexpr const char* kind = nullptr;
    void* res = nullptr;
    int len = 0; // so that a core that writes neither gives b'', never a stray length
    bool check(PyObject* const*) { return true; }
    bool take(PyObject* const*) { return true; }
    auto args() { return std::tuple<void**, int*>{&res, &len}; }
};

struct TextOut { // `char** addr`, read only on success
    static constexpr int param = -1;
    static constexpr const char* kind = nullptr;
    char* addr = nullptr;
    bool check(PyObject* const*) { return true; }
    bool take(PyObject* const*) { return true; }
    auto args() { return std::tuple<char**>{&addr}; }
};

// The source a C parameter of type T at position I gets by default.
template <class T, int I>
struct For;
template <int I>
struct For<const char*, I> {
    using type = Text<I>;
};
template <int I>
struct For<int, I> {
    using type = Int<I>;
};
template <int I>
struct For<double, I> {
    using type = Double<I>;
};
template <int I>
struct For<bool, I> {
    using type = Flag<I>;
};

} // namespace source

template <class F>
struct Signature;
template <class R, class... A>
struct Signature<R (*)(A...)> {
    using Result = R;
    using Args = std::tuple<A...>;
};

template <class S, class... All>
inline constexpr bool has_source = (std::is_same_v<S, All> || ...);

template <class S, class... All>
S& source_of(std::tuple<All...>& t) {
    return std::get<S>(t);
}

// The result of a request-response call: `(status, bytes)` when the status
// equals CSDK_OPERATE_SUCCESS, else `(status, None)`.
PyObject* pair_result(PyObject* self, int status, const void* res, int len, const void* core_fn);
// The result of a call with a text out-parameter: the text, or None on failure.
PyObject* text_out_result(PyObject* self, int status, const char* addr, const void* core_fn);

template <class R>
PyObject* plain_result(R r, const void* core_fn) {
    if constexpr (std::is_same_v<R, int>) {
        return PyLong_FromLong(r);
    } else if constexpr (std::is_same_v<R, long long>) {
        return PyLong_FromLongLong(r);
    } else if constexpr (std::is_same_v<R, double>) {
        return PyFloat_FromDouble(r);
    } else {
        static_assert(std::is_same_v<R, const char*>, "unsupported core result type");
        return text_result(r, core_fn);
    }
}

template <auto F, class... S>
constexpr const char* result_kind() {
    using R = typename Signature<decltype(F)>::Result;
    if constexpr (has_source<source::Response, S...>) return "pair";
    else if constexpr (has_source<source::TextOut, S...>) return "bytes-or-none";
    else if constexpr (std::is_void_v<R>) return "none";
    else if constexpr (std::is_same_v<R, const char*>) return "bytes";
    else if constexpr (std::is_same_v<R, double>) return "float";
    else return "int";
}

template <auto F, class... S>
constexpr const char* shape_name() {
    using R = typename Signature<decltype(F)>::Result;
    constexpr bool request = ((S::kind != nullptr && S::kind[0] == 'r') || ...);
    constexpr bool only_ints = ((S::kind == nullptr || S::kind[0] == 'i') && ...);
    if constexpr (has_source<source::Response, S...>) return "request-response";
    else if constexpr (has_source<source::TextOut, S...>) return "text-out";
    else if constexpr (request) return "command";
    else if constexpr (!std::is_void_v<R> && only_ints &&
                       (std::is_same_v<R, const char*> || sizeof...(S) == 0))
        return "getter";
    else return "setter";
}

template <auto F>
const void* core_address() {
    return reinterpret_cast<const void*>(F);
}

template <auto F, class P, class... S>
struct Meta {
    static constexpr auto kinds = [] {
        std::array<const char*, P::count ? P::count : 1> k{};
        ((S::param >= 0 ? void(k[S::param] = S::kind) : void()), ...);
        return k;
    }();
    static constexpr CallMeta value{
        P::names,        kinds.data(), int(P::count), shape_name<F, S...>(), result_kind<F, S...>(),
        &core_address<F>};
};

// `Direct`: the direct callables also check for an exception left pending by
// the core call.
template <auto F, class P, bool Direct, class... S>
PyObject* invoke(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    using Sig = Signature<decltype(F)>;
    static_assert(P::count <= 16, "parameter list too long");
    PyObject* slots[P::count ? P::count : 1];
    PyObject* const* a = bind(self, args, nargsf, kwnames, P::params, slots);
    if (a == nullptr) return nullptr;

    std::tuple<S...> src;
    bool ok = std::apply([a](S&... s) { return (s.check(a) && ...) && (s.take(a) && ...); }, src);
    if (!ok) return nullptr;
    auto cargs = std::apply([](S&... s) { return std::tuple_cat(s.args()...); }, src);
    static_assert(std::is_same_v<decltype(cargs), typename Sig::Args>,
                  "the sources do not produce the core function's parameter types");
    const void* fn = reinterpret_cast<const void*>(F);

    using R = typename Sig::Result;
    if constexpr (std::is_void_v<R>) {
        std::apply(F, cargs);
        if (Direct && PyErr_Occurred()) return nullptr;
        Py_RETURN_NONE;
    } else {
        R r = std::apply(F, cargs);
        if (Direct && PyErr_Occurred()) return nullptr;
        if constexpr (has_source<source::Response, S...>) {
            const auto& out = source_of<source::Response>(src);
            return pair_result(self, r, out.res, out.len, fn);
        } else if constexpr (has_source<source::TextOut, S...>) {
            return text_out_result(self, r, source_of<source::TextOut>(src).addr, fn);
        } else {
            return plain_result<R>(r, fn);
        }
    }
}

template <auto F, class P, bool Direct, class Seq>
struct Deduced;
template <auto F, class P, bool Direct, std::size_t... I>
struct Deduced<F, P, Direct, std::index_sequence<I...>> {
    using Args = typename Signature<decltype(F)>::Args;
    static_assert(P::count == sizeof...(I), "one parameter per C argument");
    template <class... S>
    static constexpr Call make() {
        return {&invoke<F, P, Direct, S...>, &Meta<F, P, S...>::value};
    }
    static constexpr Call value =
        make<typename source::For<std::tuple_element_t<I, Args>, int(I)>::type...>();
};
template <auto F, class P, bool Direct>
inline constexpr Call deduced =
    Deduced<F, P, Direct,
            std::make_index_sequence<std::tuple_size_v<typename Signature<decltype(F)>::Args>>>::value;

// The shapes, as the family tables name them.

// f(req) -> (status, bytes) | (status, None)
template <auto F, class P, bool Direct, class... S>
inline constexpr Call call_of{&invoke<F, P, Direct, S...>, &Meta<F, P, S...>::value};

template <auto F>
inline constexpr Call request_response = call_of<F, Py<"req">, false, source::Request<0>, source::Response>;

// f(req) -> status
template <auto F>
inline constexpr Call command = call_of<F, Py<"req">, false, source::Request<0>>;

// Setter and getter calls: one parameter per C argument, in the same order,
// its kind given by the C type (const char*, int, double, bool).
template <auto F, Name... Ns>
inline constexpr Call scalar = deduced<F, Py<Ns...>, false>;

// Anything else: the parameter list and the source of each C argument.
template <auto F, class P, class... S>
inline constexpr Call custom = call_of<F, P, false, S...>;

// The direct callables: like `scalar`, plus the pending-exception check.
template <auto F, Name... Ns>
inline constexpr Call direct = deduced<F, Py<Ns...>, true>;

} // namespace c_sdk
