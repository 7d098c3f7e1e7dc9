"""What each parameter kind, result and shape of the module means, in words:
the tables of docs/reference.md (gen_reference.py) and the docstrings of the
type stubs (gen_stubs.py), which an IDE shows, so both say the same."""

KIND_TEXT = {
    "bytes": ("`bytes` or `bytearray` (or a subclass)", "`const char*` into the object's own buffer, "
              "NUL-terminated, not copied; the core reads it up to the first NUL"),
    "request": ("`bytes` or `bytearray` (or a subclass)", "`void*` into the object's own buffer plus "
                "`int` length `len(req)`, not copied"),
    "int": ("`int` (or a subclass, so `True` is 1), or any object with `__int__` (a `float` is truncated "
            "toward zero)", "`int`, 32-bit signed: -2147483648 to 2147483647"),
    "float": ("`float`, or any object with `__float__` or `__index__` (an `int` included)", "`double`"),
    "flag": ("any object", "`bool`, the object's truth value"),
    "any": ("any object (the event callable)", "none: kept in the module attribute `f`"),
}

RESULT_TEXT = {
    "pair": "`(status, bytes)` when `status == CSDK_OPERATE_SUCCESS`, else `(status, None)`",
    "int": "the C `int` (or `long long`) as `int`; a status is returned as it is, never compared",
    "float": "the C `double` as `float`",
    "none": "`None` (the core function returns nothing)",
    "bytes": "a copy of the core's NUL-terminated text",
    "bytes-or-none": "the text the core wrote, as `bytes`, when the status equals `CSDK_OPERATE_SUCCESS`; "
                     "else `None`",
}

SHAPE_TEXT = {
    "request-response": "`f(req)` lends the request to `qvi_X(req, req_len, &res, &res_len)`, looks up "
                        "`CSDK_OPERATE_SUCCESS` after the call and compares the status with it by `==`. On "
                        "success the `res_len` bytes at `res` are copied into the result; on failure `res` and "
                        "`res_len` are not read. The response buffer belongs to the core and is never freed "
                        "or kept.",
    "command": "`f(req)` lends the request to `qvi_X(req, req_len)` and returns its status as it is.",
    "setter": "Each parameter is converted, in the order of the C arguments, and passed to the core "
              "function; its result, if any, is returned unchanged.",
    "getter": "No parameters, or integer parameters only; returns the core's text as `bytes`, or its "
              "number.",
    "text-out": "The core writes a text through a `char**` out-parameter; it is read only when the status "
                "equals `CSDK_OPERATE_SUCCESS`.",
}
