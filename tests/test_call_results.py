"""What a call returns: success as the module's namespace defines it at the
time of the call, the direct callables' values, and the functions as
attributes of classes and objects of their own."""

import pytest

import c_sdk


def test_rebound_success_value_changes_what_counts_as_success(core):
    c_sdk.CSDK_OPERATE_SUCCESS = 4
    core.set_status("qvi_place_order_pb", 4)
    assert c_sdk.py_qvi_place_order(b"x") == (4, b"qvi_place_order_pb")
    core.set_status("qvi_place_order_pb", 0)
    assert c_sdk.py_qvi_place_order(b"x") == (0, None)

    class Weird:
        def __eq__(self, other):
            raise KeyError("compare")

    c_sdk.CSDK_OPERATE_SUCCESS = Weird()
    with pytest.raises(KeyError):
        c_sdk.py_qvi_place_order(b"x")
    del c_sdk.CSDK_OPERATE_SUCCESS
    with pytest.raises(NameError, match="^name 'CSDK_OPERATE_SUCCESS' is not defined$"):
        c_sdk.py_qvi_place_order(b"x")
    assert len(core.calls()) == 4  # the lookup happens after the call


def test_direct_callable_values(core):
    core.set_now(123456789012345)
    core.set_now_plus(1.25)
    assert c_sdk.qvi_now() == 123456789012345 and c_sdk.qvi_now_plus() == 1.25
    assert c_sdk.qvi_strerror(errorno=0) == c_sdk.qvi_strerror(0) == b"stand-in error 0"
    with pytest.raises(TypeError, match="^an integer is required$"):
        c_sdk.qvi_strerror("0")
    c_sdk.qvi_set_bus_secure(1, b"", b"", b"", [])
    c_sdk.qvi_set_bus_secure(1, b"", b"", b"", [0])
    assert [c.args[4] for c in core.calls()[-2:]] == [False, True]
    with pytest.raises(TypeError, match=r"^wrap\(\) takes exactly 2 positional arguments \(1 given\)$"):
        c_sdk.qvi_send_msg_to_bus(b"t")


def test_functions_bind_as_methods_and_keep_attributes():
    class Holder:
        ok = c_sdk.c_status_ok

    assert Holder().ok() is False  # self (a Holder) is passed as the status
    fn = c_sdk.py_qvi_run
    fn.__doc__ = "x"
    fn.custom = 1
    assert (fn.__doc__, fn.custom) == ("x", 1)
    fn.__doc__ = None
    del fn.custom
    with pytest.raises(TypeError):
        fn.__name__ = 3
    assert repr(fn).startswith("<function py_qvi_run at 0x")
