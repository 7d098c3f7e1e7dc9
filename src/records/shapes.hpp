// The four record classes as data: each is a name, the methods of its class
// body in order and its named fields. Everything they do is one shared
// mechanism (records.cpp).
#pragma once

#include <span>

namespace c_sdk::records {

enum class Method : unsigned char { init, getitem, setitem, contains, getattr, setattr, str, repr };

struct Shape {
    const char* name;
    std::span<const Method> methods;     // class-body order
    std::span<const char* const> fields; // one property each, after the methods
    bool setters;                        // whether the properties can be written through
};

namespace detail {
using enum Method;

inline constexpr Method mapping_methods[] = {init, getitem, setitem, getattr, setattr, str, repr};
inline constexpr Method bar_methods[] = {init, getitem, setitem, contains, getattr, setattr, str, repr};
inline constexpr Method object_methods[] = {init, getitem, getattr, setitem, setattr, str, repr};

inline constexpr const char* quote_fields[] = {"bid_p", "bid_v", "ask_p", "ask_v"};
inline constexpr const char* tick_fields[] = {
    "quotes",      "symbol",
    "created_at",  "price",
    "open",        "high",
    "low",         "cum_volume",
    "cum_amount",  "cum_position",
    "last_amount", "last_volume",
    "trade_type",  "receive_local_time",
};
inline constexpr const char* bar_fields[] = {
    "symbol",
    "eob",
    "bob",
    "open",
    "close",
    "high",
    "low",
    "volume",
    "amount",
    "pre_close",
    "position",
    "frequency",
    "receive_local_time",
};
} // namespace detail

// In the order in which the module creates and binds them.
inline constexpr Shape shapes[] = {
    {"QuoteItemLikeDict2", detail::mapping_methods, detail::quote_fields, false},
    {"TickLikeDict2", detail::mapping_methods, detail::tick_fields, true},
    {"BarLikeDict2", detail::bar_methods, detail::bar_fields, true},
    {"ObjectLikeDict2", detail::object_methods, {}, false},
};

} // namespace c_sdk::records
