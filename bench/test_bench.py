"""Checks of the benchmark harness itself (not part of the project's test
suite): python3.10 bench/test_bench.py. The tests that need the built
modules skip until bench/run.py has built them."""

import ctypes
import os
import signal
import sys
import tempfile
import types
import unittest
from array import array

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchkit import annotate, callgrind, paths, peers, report, timing  # noqa: E402
from benchkit.recording import common, markdown, overhead  # noqa: E402

# Two functions in two objects: names defined once and then referred to by
# id, a call whose inclusive cost must not count as the caller's own, and
# relative positions.
DUMP = """# callgrind format
version: 1
positions: line
events: Ir
summary: {total}

ob=(1) /lib/libpython3.10.so.1.0
fl=(1) ceval.c
fn=(1) _PyEval_EvalFrameDefault
10 {eval_self}
cob=(2) /stage/c_sdk.so
cfi=(2) shapes.hpp
cfn=(2) c_sdk::invoke<&qvi_now, c_sdk::Py<>>(_object*, _object* const*, unsigned long, _object*)
calls={n} 20
12 {invoke_incl}
+1 3

ob=(2)
fl=(2)
fi=(3) convert.hpp
fn=(2)
20 {invoke_self}
fe=(2)
* 0
"""


def write_dump(directory, name, n, eval_self, invoke_self):
    path = os.path.join(directory, name)
    with open(path, "w") as f:
        f.write(DUMP.format(total=eval_self + 3 + invoke_self, eval_self=eval_self, n=n,
                            invoke_incl=invoke_self, invoke_self=invoke_self))
    return path


class ProfileArithmetic(unittest.TestCase):
    def test_self_costs_exclude_calls_and_follow_compressed_names(self):
        with tempfile.TemporaryDirectory() as d:
            costs = annotate.read_profile(write_dump(d, "a", 5, 100, 40))
        invoke = ("c_sdk.so", "c_sdk::invoke<&qvi_now, c_sdk::Py<>>(_object*, _object* const*, unsigned long, _object*)")
        self.assertEqual(costs[("libpython3.10.so.1.0", "_PyEval_EvalFrameDefault")], [103, 40])
        self.assertEqual(costs[invoke], [40, 0])
        # the self costs add up to the dump's total, as callgrind counts it
        self.assertEqual(sum(c[0] for c in costs.values()), 143)

    def test_the_copy_routines_and_the_shim_are_their_own_instructions_only(self):
        from benchkit.recording import copying
        dump = DUMP.replace("_PyEval_EvalFrameDefault", "__memcpy_avx_unaligned_erms")
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "cg")
            with open(path, "w") as f:
                f.write(dump.format(total=0, eval_self=7, n=1, invoke_incl=500, invoke_self=9))
            # 7 and 3 of memcpy's own, not the 500 of the call it makes; the
            # second function stands for the shim's code by its object
            self.assertEqual(copying.split_instructions(path, "c_sdk.so"), (10, 9))

    def test_breakdown_is_per_call_and_without_the_empty_loop(self):
        n = 10
        with tempfile.TemporaryDirectory() as d:
            files = {("op", "c_sdk"): (write_dump(d, "1", n, 1000, 400), write_dump(d, "2", 2 * n, 1900, 800),
                                       write_dump(d, "e1", n, 300, 0), write_dump(d, "e2", 2 * n, 500, 0))}
            text = annotate.annotate(files, n, "op", "c_sdk", top=10)
        # eval: ((1900 - 1000) - (500 - 300)) / 10 = 70 own, 40 through the call
        self.assertIn("110.0 instructions per call", text)
        self.assertRegex(text, r"70\.0\s+40\.0\s+_PyEval_EvalFrameDefault \[libpython")
        self.assertRegex(text, r"40\.0\s+0\.0\s+c_sdk::invoke<&qvi_now…> \[c_sdk.so\]")

    def test_labels_and_totals_come_from_each_dump(self):
        with tempfile.TemporaryDirectory() as d:
            path = write_dump(d, "cg.1.3", 1, 10, 0)
            with open(path) as f:
                text = f.read().replace("summary:", callgrind.CLIENT_REQUEST + "rr|floor|2\nsummary:")
            with open(path, "w") as f:
                f.write(text)
            write_dump(d, "cg.1", 1, 10, 0)  # the dump at exit has no label
            self.assertEqual(callgrind.parse_dumps(d), {"rr|floor|2": (13, path)})


class SameResult(unittest.TestCase):
    def test_types_must_match_all_the_way_down(self):
        self.assertTrue(peers.same((0, b"x"), (0, b"x")))
        self.assertFalse(peers.same((0, b"x"), (False, b"x")))
        self.assertFalse(peers.same({"v": 1.0}, {"v": 1}))
        self.assertFalse(peers.same([("tick", b"p")], [(b"tick", b"p")]))
        self.assertFalse(peers.same((0, None), (0, None, None)))


class BuildsTable(unittest.TestCase):
    """c_sdk/floor per build, each against the floor of its own run."""

    def setUp(self):
        import ops

        self.ops = [ops.OPS_BY_NAME["direct"], ops.OPS_BY_NAME["event"]]

    def rows(self, text):
        return [line.split(" | ") for line in text.splitlines()[2:]]

    def test_change_is_the_ratio_of_ratios_and_the_limit_is_inclusive(self):
        dev = {"direct": {"floor": 400.0, "c_sdk": 400.0}, "event": {"floor": 1000.0, "c_sdk": 1000.0}}
        # The floors differ between runs: 2% above dev's ratio passes even
        # though the absolute count is 5% above; 3.1% above misses.
        wheel = {"direct": {"floor": 412.0, "c_sdk": 412.0 * 1.02}, "event": {"floor": 1000.0, "c_sdk": 1031.0}}
        rows = self.rows(report.builds_table(self.ops, {"dev": dev, "wheel": wheel}))
        self.assertEqual([r[3] for r in rows], ["+2.0%", "+3.1%"])
        self.assertEqual([r[4].rstrip(" |") for r in rows], ["ok", "**miss**"])
        wheel["event"]["c_sdk"] = 1030.0
        rows = self.rows(report.builds_table(self.ops, {"dev": dev, "wheel": wheel}))
        self.assertEqual(rows[1][4].rstrip(" |"), "ok")

    def test_an_operation_missing_from_a_build_is_left_out(self):
        dev = {"direct": {"floor": 400.0, "c_sdk": 380.0}, "event": {"floor": 1000.0, "c_sdk": 1010.0}}
        wheel = {"direct": {"floor": 400.0, "c_sdk": 370.0}}
        rows = self.rows(report.builds_table(self.ops, {"dev": dev, "wheel": wheel}))
        self.assertEqual(len(rows), 1)
        self.assertIn("-2.6%", rows[0][3])

    def test_one_build_alone_has_no_comparison(self):
        text = report.builds_table(self.ops, {"wheel": {"direct": {"floor": 400.0, "c_sdk": 380.0}}})
        self.assertNotIn("verdict", text)
        self.assertIn("400, 0.950×", text)
        self.assertIn("two builds", report.report(self.ops, ["floor", "c_sdk"], {}, {}, {},
                                                {"wheel": {"direct": {"floor": 400.0, "c_sdk": 380.0}}}))
        self.assertNotIn("two builds", report.report(self.ops, ["floor", "c_sdk"], {}, {}, {}, {"dev": {}}))


def threaded_dump(directory, name, pid, thread, label, total):
    """A dump of one thread of one process, as --separate-threads=yes writes them."""
    with open(os.path.join(directory, name), "w") as f:
        f.write(f"# callgrind format\nversion: 1\npid: {pid}\npart: 1\nthread: {thread}\n"
                + (f"{callgrind.CLIENT_REQUEST}{label}\n" if label else "") + f"summary: {total}\n\n")


class ThreadsAndProcesses(unittest.TestCase):
    """The calling thread, the recorded process's other threads and its writer process are counted apart."""

    def test_each_is_read_from_its_own_dumps(self):
        n = 10
        with tempfile.TemporaryDirectory() as d:
            for i, (label, calling, other) in enumerate([("a|empty|1", 100, None), ("a|empty|2", 150, 7),
                                                         ("a|op|1", 1000, 40), ("a|op|2", 1900, 140)]):
                threaded_dump(d, f"cg.7.{i}-01", 7, 1, label, calling)
                if other is not None:  # the other thread starts late: its first dump is missing
                    threaded_dump(d, f"cg.7.{i}-02", 7, 2, label, other)
            threaded_dump(d, "cg.7-01", 7, 1, None, 99999)  # at exit
            threaded_dump(d, "cg.8-01", 8, 1, None, 5000)  # the writer process, at exit
            threaded_dump(d, "cg.8-02", 8, 2, None, 300)
            threads, copies, own = overhead._by_thread(d, 7)
            self.assertEqual(callgrind.parse_dumps(d)["a|op|2"][0], 1900)
            self.assertEqual(overhead._children_total(d, {"pid": 7, "writers": []}), 5300)
        # ((1900 - 1000) - (150 - 100)) / 10
        self.assertEqual(callgrind.per_call(threads[1], "a", "op", n), 85.0)
        self.assertEqual(callgrind.per_call(threads[2], "a", "op", n, missing=0), (100 - 7) / n)
        with self.assertRaises(KeyError):
            callgrind.per_call(threads[2], "a", "op", n)
        # the calling thread's, each dump read once for both
        self.assertEqual(sorted(copies), ["a|empty|1", "a|empty|2", "a|op|1", "a|op|2"])
        self.assertEqual(sorted(own), sorted(copies))


class WriterProcess(unittest.TestCase):
    def child(self, name):
        pid = os.fork()
        if pid == 0:
            try:
                ctypes.CDLL(None).prctl(15, name.encode(), 0, 0, 0)  # PR_SET_NAME
                signal.pause()
            finally:
                os._exit(0)
        self.addCleanup(lambda: (os.kill(pid, signal.SIGKILL), os.waitpid(pid, 0)))
        return pid

    def test_found_by_name_among_the_children_then_stopped_and_resumed(self):
        writer, other = self.child(common.WRITER_COMM), self.child("qvrec writer 2")
        self.assertEqual(common.wait_for_writers(os.getpid()), [writer])
        self.assertNotIn(other, common.writers(os.getpid()))
        common.stop(writer)
        self.assertIn(common._stat(writer)[0], ("T", "t"))
        common.resume(writer)
        self.assertNotIn(common._stat(writer)[0], ("T", "t"))


class RecorderReport(unittest.TestCase):
    @staticmethod
    def run_(off, writer):
        calls = {m: {op: {"calling": 1000.0, "copy": 100.0, "threads": None} for op in common.OPS} for m in common.MODES}
        calls[common.OFF]["request_response"]["calling"] = off
        calls[common.RECORDING]["event"]["calling"] = 1250.0
        calls[common.RECORDING]["event"]["copy"] = 140.0
        calls[common.RECORDING]["setter12"]["calling"] = 1400.0
        calls[common.RECORDING]["request_response"]["shim"] = 280.0  # counted in the recording run
        return {"overhead": {"modes": calls, "writer": writer, "revision": "abc", "date": "d"}}

    def test_before_beside_after_with_the_off_target_and_the_writer(self):
        before = self.run_(1060.0, None)
        after = self.run_(1050.0, {op: 40.0 for op in common.OPS})
        rows = {line.split(" | ")[0]: line.split(" | ") for line in markdown.calling_thread(before, after).splitlines()}
        self.assertEqual(rows["| a `request_response`"][3:5], ["1.060× **miss**", "1.050× ok"])
        # what recording adds, of which the copy routines, and the rest against the target
        self.assertEqual(rows["| f `event`"][7:13], ["250", "250", "40", "40", "210 ok", "210 ok |"])
        self.assertEqual(rows["| e `setter12`"][11:13], ["400 **miss**", "400 **miss** |"])
        self.assertEqual(rows["| a `request_response`"][11:13], ["280 ok", "280 ok |"])
        writer = markdown.writer(before, after).splitlines()[2].split(" | ")
        self.assertEqual(writer[3:], ["n/a (no writer process)", "40 |"])
        text = markdown.render(before, {})
        self.assertIn("| overhead | abc, d | not measured |", text)

    def test_calls_timed_one_by_one_in_c(self):
        import importlib.util
        import sysconfig

        common.build_benchctl()  # bench/recorder.py's own build, not the peers' (which may be older)
        path = os.path.join(common.OUT, "benchctl" + sysconfig.get_config_var("EXT_SUFFIX"))
        spec = importlib.util.spec_from_file_location("benchctl", path)
        benchctl = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(benchctl)

        seen = []
        ns = benchctl.latencies(lambda *a: seen.append(a), (b"x", 2), 3)
        self.assertEqual((seen, len(ns)), ([(b"x", 2)] * 3, 24))
        self.assertTrue(all(v >= 0 for v in array("q", ns)))
        with self.assertRaises(ZeroDivisionError):
            benchctl.latencies(lambda: 1 / 0, (), 2)

    def test_percentiles(self):
        ns = array("q", reversed(range(1, 1001))).tobytes()
        self.assertEqual(timing.latency_summary(ns), {"calls": 1000, "p50": 500, "p99": 990, "p99.9": 999,
                                                      "max": 1000})


def built():
    stage = paths.PEER_STAGE
    return os.path.isdir(stage) and any(n.startswith("floor_sdk") for n in os.listdir(stage))


@unittest.skipUnless(built(), "bench modules not built yet (run bench/run.py once)")
class EqualityCheck(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        import ops

        cls.h = peers.Harness()
        cls.ops = ops

    def tearDown(self):
        self.h.modules["cython"] = __import__(self.ops.MODULES["cython"])

    def fake(self, fn):
        self.h.modules["cython"] = types.SimpleNamespace(py_qvi_history_ticks_pb=fn)
        return self.h.check([self.ops.OPS_BY_NAME["request_response"]], ["floor", "cython"])

    def test_the_real_bindings_agree(self):
        self.assertEqual(self.h.check(self.ops.OPS, self.ops.BINDINGS), [])

    def test_a_different_result_is_reported(self):
        real = self.h.modules["floor"].py_qvi_history_ticks_pb
        failures = self.fake(lambda req: (real(req)[0], b"other"))
        self.assertTrue(any(f.startswith("request_response: cython gives") for f in failures), failures)

    def test_a_second_core_call_is_reported(self):
        real = self.h.modules["floor"].py_qvi_history_ticks_pb
        self.assertTrue(self.fake(lambda req: (real(req), real(req))[0]))

    def test_other_call_arguments_are_reported(self):
        real = self.h.modules["floor"].py_qvi_history_ticks_pb
        self.assertTrue(self.fake(lambda req: real(req + b"\0")))

    def test_the_failure_branch_is_checked_too(self):
        real = self.h.modules["floor"].py_qvi_history_ticks_pb
        # right whenever the status is success, wrong otherwise
        self.assertTrue(self.fake(lambda req: (lambda r: (r[0], r[1] or b""))(real(req))))


if __name__ == "__main__":
    unittest.main()
