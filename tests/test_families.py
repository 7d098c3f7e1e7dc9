"""What the registry-wide tests cannot express: the irregular members."""

import pytest

import c_sdk
from interpreter_says import exactly, not_bytes
from qvcore_standin import ANY, OutPtr, Text


@pytest.mark.parametrize("mode,expected", [(2, True), (-1, True), (0, False), (0.5, False), (True, True)])
def test_mode_consistency_passes_int_not_truth(core, mode, expected):
    c_sdk.py_qvi_set_mode_consistency(mode)
    assert core.calls()[0].args == (expected,)


@pytest.mark.parametrize("mode", ["1", [1], None])
def test_mode_consistency_refuses_non_integers(core, mode):
    with pytest.raises(TypeError, match="^an integer is required$"):
        c_sdk.py_qvi_set_mode_consistency(mode)
    assert core.calls() == []


def test_backtest_config_conversions(core):
    args = dict(start_time="2024-01-01", end_time=b"2024-12-31", initial_cash=5, transaction_ratio=1.0,
                commission_ratio=0.0003, commission_unit=0, slippage_ratio=True, option_float_margin_ratio1=0.1,
                option_float_margin_ratio2=0.2, adjust=1, match_mode=0, check_cache=True)
    assert c_sdk.py_qvi_set_backtest_config(**args) == 0
    got = core.calls()[0].args
    assert [t.value for t in got[:2]] == [b"2024-01-01", b"2024-12-31"]
    assert got[2:9] == (5.0, 1.0, 0.0003, 0.0, 1.0, 0.1, 0.2) and type(got[2]) is float
    assert got[9:] == (1, 0, 1)
    with pytest.raises(TypeError, match="takes exactly 12 positional arguments \\(11 given\\)"):
        c_sdk.py_qvi_set_backtest_config(*list(args.values())[:11])
    with pytest.raises(TypeError, match=exactly(not_bytes(None))):
        c_sdk.py_qvi_set_backtest_config(**{**args, "start_time": None})
    with pytest.raises(TypeError, match="^an integer is required$"):
        c_sdk.py_qvi_set_backtest_intraday(b"1")
    assert len(core.calls()) == 1


def test_bus_secure_flag_and_integer(core):
    c_sdk.py_qvi_set_bus_secure(1, b"", b"", b"", None)
    c_sdk.py_qvi_set_bus_secure(1, b"", b"", b"", skip_verify=[0])
    assert [c.args[4] for c in core.calls()] == [False, True]
    with pytest.raises(TypeError, match="^an integer is required$"):
        c_sdk.py_qvi_set_bus_secure("1", b"", b"", b"", False)  # the adapter makes it bytes
    assert len(core.calls()) == 2


def test_messages_end_at_the_first_nul(core):
    assert c_sdk.py_qvi_send_msg_to_bus(b"t", b"a\x00b") == 0
    assert core.calls()[0].args[1] == Text(ANY, b"a")


def test_current_evaluates_the_flag_before_the_fields(core):
    order = []

    class Flag:
        def __bool__(self):
            order.append("flag")
            return True

    with pytest.raises(TypeError, match=exactly(not_bytes(None))):
        c_sdk.py_qvi_current("SHSE.600000", None, Flag())
    assert order == ["flag"] and core.calls() == []
    core.set_response("qvi_current_pb", b"")
    assert c_sdk.py_qvi_current(include_call_auction=0, fields="price", symbols="s") == (0, b"")
    assert core.calls()[0].args == (Text(ANY, b"s"), False, Text(ANY, b"price"), OutPtr(ANY), OutPtr(ANY))


def test_serv_addr_gives_text_or_none(core):
    assert c_sdk.py_qvi_get_serv_addr("md") == b"addr:md"
    core.set_text("qvi_get_serv_addr", b"10.0.0.1:9000")
    assert c_sdk.py_qvi_get_serv_addr(b"td") == b"10.0.0.1:9000"
    core.set_status("qvi_get_serv_addr", 5)
    assert c_sdk.py_qvi_get_serv_addr(b"td") is None


def test_irregular_pairings_reach_the_named_core_functions(core):
    for call, core_fn in [
        (lambda: c_sdk.py_qvi_cancel_order(b"x"), "qvi_cancel_orders_pb"),
        (lambda: c_sdk.py_qvi_get_accounts(), "qvi_get_account_info_pb"),
        (lambda: c_sdk.py_qvi_fnd_get_etf_constituents(b"x"), "qvi_fnd_get_etf_components"),
        (lambda: c_sdk.py_stk_get_ration(b"x"), "stk_get_ration"),
        (lambda: c_sdk.py_get_trading_dates_by_year(b"x"), "qvi_get_trading_dates_by_year"),
        (lambda: c_sdk.py_qvi_history_ticks_l2("abc"), "qvi_history_ticks_l2_pb"),
    ]:
        core.clear_calls()
        call()
        assert [c.fn for c in core.calls()] == [core_fn]
    for absent in ("py_qvi_get_trading_dates_by_year", "py_qvi_stk_get_ration", "py_qvi_fnd_get_etf_components"):
        assert not hasattr(c_sdk, absent)


def test_adapter_wrapped_binding_errors_name_the_inner_function(core):
    assert c_sdk.py_qvi_history_ticks_l2.__name__ == "wrapper"
    with pytest.raises(TypeError, match=r"^py_qvi_history_ticks_l2\(\) takes exactly 1 positional argument \(2 given\)$"):
        c_sdk.py_qvi_history_ticks_l2("a", "b")
    with pytest.raises(TypeError, match=r"^py_qvi_place_order\(\) got an unexpected keyword argument 'request'$"):
        c_sdk.py_qvi_place_order("x", request="x")
