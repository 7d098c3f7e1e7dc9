"""Runs the python blocks of docs/testing-offline.md and docs/session-data.md
(pytest --markdown-docs, as RUNNABLE_DOCS in the Makefile), so that an example
that no longer works fails CI.

A block is run as it is written, with these names already defined (the hook
pytest_markdown_docs_globals below), so that the documents can show code as
a reader would write it:

- pytest, c_sdk, qvcore_standin;
- my_sdk (docs/my_sdk/): the smallest SDK on top of c_sdk, with
  place_order(symbol, volume) returning whether the core accepted the order,
  and my_sdk.proto.OrderRequest, a protocol-buffer message built at run time
  (symbol, volume, cl_ord_id, created_at), as an SDK's generated class would be;
- run_strategy (docs/my_strategy.py, with its Strategy): buys on each "tick"
  event, stops at "done".

Fixtures a block asks for with `fixture:NAME` in its fence: standin_core and
replay_session (the plugin's), core (the stand-in by hand, as the guide writes
it), order_session (a session recorded yesterday, in which one OrderRequest was
placed with its own id and time), day_parquet (a recorded session exported to day.parquet in the current
folder, a fresh temporary one).

A block whose fence names `runner:CallTests` also calls each `test_*` function
it defines, with the fixtures it names, so that a test shown in the guide runs.
"""

import os
import subprocess
import sys
import textwrap

import pytest

import c_sdk
import qvcore_standin
import qvcore_standin.pytest_plugin

try:
    from pytest_markdown_docs._runners import DefaultRunner, register_runner
except ImportError:  # pytest-markdown-docs not installed: the blocks are not collected either
    DefaultRunner = register_runner = None


def pytest_configure(config):
    # As in tests/conftest.py: a build on PYTHONPATH has no entry point.
    if not config.pluginmanager.hasplugin("qvcore_standin"):
        config.pluginmanager.register(qvcore_standin.pytest_plugin, "qvcore_standin")


DOCS = os.path.dirname(os.path.abspath(__file__))
if DOCS not in sys.path:
    sys.path.insert(0, DOCS)

import my_sdk  # noqa: E402
from my_strategy import run_strategy  # noqa: E402


def pytest_markdown_docs_globals():
    return {"pytest": pytest, "c_sdk": c_sdk, "qvcore_standin": qvcore_standin, "my_sdk": my_sdk,
            "run_strategy": run_strategy}


@pytest.fixture
def core():
    core = qvcore_standin.Core()
    core.reset()
    yield core
    core.reset()


# A strategy's few calls, recorded with python -m qvcore_session record.
STRATEGY = textwrap.dedent("""
    import c_sdk
    for n in range(3):
        c_sdk.py_qvi_place_order(b"buy %d SHSE.600000" % (100 * (n + 1)))
    c_sdk.qvi_now()
""")


@pytest.fixture
def day_parquet(request, tmp_path, monkeypatch):
    # A debug build's venv has neither pyarrow nor duckdb, and pandas is not made for every interpreter.
    block = getattr(getattr(request.node, "test_definition", None), "source", "")
    for module in ("pyarrow", "duckdb", "pandas"):
        if module == "pyarrow" or f"import {module}" in block:
            pytest.importorskip(module, reason=f"no {module} for this interpreter")
    if not os.path.exists(qvcore_standin_shim()):
        pytest.skip("this build has no recording shim")
    monkeypatch.chdir(tmp_path)
    env = dict(os.environ, QVCORE_STANDIN="1")
    (tmp_path / "strategy.py").write_text(STRATEGY)
    for args in (["record", "-o", "day.qvs", "--", sys.executable, "strategy.py"],
                 ["export", "day.qvs", "-o", "day.parquet"]):
        subprocess.run([sys.executable, "-m", "qvcore_session", *args], check=True, env=env, capture_output=True)
    return tmp_path / "day.parquet"


# Yesterday's run: one order, with that run's client order id and time.
ORDER = textwrap.dedent("""
    import os, time
    import c_sdk
    from my_sdk.proto import OrderRequest
    order = OrderRequest(symbol="SHSE.600000", volume=100, cl_ord_id="run-%d" % os.getpid(), created_at=time.time_ns())
    c_sdk.py_qvi_place_order(order.SerializeToString())
""")


@pytest.fixture
def order_session(tmp_path):
    if not os.path.exists(qvcore_standin_shim()):
        pytest.skip("this build has no recording shim")
    (tmp_path / "yesterday.py").write_text(ORDER)
    env = dict(os.environ, QVCORE_STANDIN="1", PYTHONPATH=os.pathsep.join([DOCS, os.environ.get("PYTHONPATH", "")]))
    session = tmp_path / "yesterday.qvs"
    subprocess.run([sys.executable, "-m", "qvcore_session", "record", "-o", str(session), "--", sys.executable,
                    str(tmp_path / "yesterday.py")], check=True, env=env, capture_output=True)
    return session


def qvcore_standin_shim():
    import qvcore_session

    return qvcore_session.shim_path()


if register_runner is not None:

    @register_runner()
    class CallTests(DefaultRunner):
        """Runs the block, then each test_* function it defined, with the fixtures of the fence."""

        def runtest(self, test, args, **kwargs):
            before = set(args)
            super().runtest(test, args, **kwargs)
            for name in [n for n in args if n not in before and n.startswith("test_")]:
                function = args[name]
                function(*(args[p] for p in function.__code__.co_varnames[:function.__code__.co_argcount]))
