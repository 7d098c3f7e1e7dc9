"""What an IDE shows of a callable, through Jedi and the installed stubs: its
core function, shape, result on success and failure, and parameter kinds,
while the module itself gains no docstrings at run time. Jedi's help()
prefers the run-time docstring when it can import the module, so the hover
is checked where it reads the stubs alone, and the signature popup and
inference where it imports the module too."""

import os
import subprocess
import sys
import textwrap

import pytest

import c_sdk

jedi = pytest.importorskip("jedi")

STUBS = os.path.join(os.path.dirname(c_sdk.__file__), "c_sdk-stubs", "__init__.pyi")

# callable, and what its docstring must say (core function, shape, result, a parameter's kind)
CASES = [
    ("py_qvi_place_order", ["qvi_place_order_pb", "shape request-response", "(status, None)", "req (request)",
                            "str arguments are encoded"]),
    ("py_qvi_set_backtest_config", ["shape setter", "initial_cash (float)", "as double"]),
    ("qvi_now", ["Calls the core function qvi_now", "shape getter", "No parameters."]),
    ("py_qvi_get_cash", ["qvi_get_cash_pb", "on failure res and res_len are not read"]),
]

pytestmark = pytest.mark.skipif(not os.path.exists(STUBS), reason="this build has no type stubs")


def source(name):
    return f"import c_sdk\nc_sdk.{name}()"


@pytest.mark.parametrize("name, says", CASES, ids=[c[0] for c in CASES])
def test_signature_popup_and_inference_show_the_docstring(name, says):
    script = jedi.Script(source(name), project=jedi.Project(os.getcwd(), added_sys_path=[os.path.dirname(STUBS)]))
    docs = [d.docstring(raw=True) for d in script.infer(2, 8)]
    docs += [s.docstring(raw=True) for s in script.get_signatures(2, len(f"c_sdk.{name}("))]
    assert len(docs) == 2 and all(all(text in " ".join(d.split()) for text in says) for d in docs), docs


@pytest.mark.parametrize("name, says", CASES, ids=[c[0] for c in CASES])
def test_help_shows_the_docstring_from_the_stubs(name, says):
    """help() (hover) in a fresh process whose Jedi reads the stubs without
    running the module: the SDK's qv is not importable there, as in an editor
    that has only the installed packages."""
    code = textwrap.dedent(f"""
        import jedi, sys
        script = jedi.Script({source(name)!r}, project=jedi.Project({os.getcwd()!r},
                             added_sys_path={[os.path.dirname(os.path.dirname(STUBS))]!r}))
        print("\\n---\\n".join(d.docstring(raw=True) for d in script.help(2, 8)))
    """)
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD")}
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    text = " ".join(proc.stdout.split())
    assert proc.returncode == 0 and all(s in text for s in says), proc.stdout + proc.stderr


def test_the_module_gains_no_docstrings_at_run_time():
    """The wrappers have none; the direct callables keep only their own one-line signature."""
    assert [n for n, _ in CASES if n.startswith("py_") and getattr(c_sdk, n).__doc__] == []
    assert all("core function" not in (getattr(c_sdk, n).__doc__ or "") for n, _ in CASES)
