#!/usr/bin/env python3
"""bench/chain_depth.py on hand-written SSA with known chains, then on the kernels'.

usage: chain_depth_test.py CHAIN_DEPTH_PY [GIMPLE_OF_THE_KERNELS]
"""
import importlib.util
import re
import sys
import unittest

spec = importlib.util.spec_from_file_location("chain_depth", sys.argv[1])
chain = importlib.util.module_from_spec(spec)
spec.loader.exec_module(chain)
KERNELS = sys.argv[2] if len(sys.argv) > 2 else ""


def dump(body):
    return (";; Function f (f, funcdef_no=1)\n\nfloat f (float * st, float s)\n{\n" + body + "}\n").splitlines()


def measure(body, sources=None, sinks=None):
    lines = chain.function_body(dump(body), "f")
    return chain.measure(lines, sources and re.compile(sources), sinks and re.compile(sinks))


class known_chains(unittest.TestCase):
    def test_counts_each_operation_and_nothing_for_loads_copies_and_bit_views(self):
        depth, path, total = measure(
            "  _1 = *st_2(D);\n"
            "  _3 = _1 * 2.0e+0;\n"
            "  _4 = VIEW_CONVERT_EXPR<unsigned int>(_3);\n"
            "  _5 = (int) _4;\n"
            "  _6 = _5 & 8388607;\n"
            "  _7 = (float) _6;\n"
            "  _8 = _7 + s_9(D);\n"
            "  *st_2(D) = _8;\n"
            "  return _8;\n")
        self.assertEqual(depth, 4)
        self.assertEqual(path, ["multiply", "logic", "convert", "add"])
        self.assertEqual(total, {"multiply": 1, "logic": 1, "convert": 1, "add": 1})

    def test_the_longest_branch_of_a_phi_and_selections_count(self):
        depth, path, _ = measure(
            "  _1 = *st_2(D);\n"
            "  if (_1 > 3.9e+0)\n"
            "  _3 = _1 * _1;\n"
            "  _4 = _3 - 1.0e+0;\n"
            "  _5 = _1 + 1.0e+0;\n"
            "  # _6 = PHI <_4(3), _5(4)>\n"
            "  _7 = .VCOND (_6, { 0.0 }, _6, _1, 108);\n"
            "  return _7;\n")
        self.assertEqual(depth, 3)
        self.assertEqual(path, ["multiply", "add", "select"])

    def test_a_field_stored_and_read_back_carries_its_depth(self):
        depth, _, _ = measure(
            "  _1 = *st_2(D);\n"
            "  _3 = _1 * _1;\n"
            "  g.k = _3;\n"
            "  _4 = g.k;\n"
            "  _5 = _4 * _4;\n"
            "  MEM[(float *)st_2(D) + 4B] = _5;\n")
        self.assertEqual(depth, 2)

    def test_only_paths_from_the_sources_to_the_sinks_count(self):
        body = ("  _1 = MEM[(float *)st_2(D) + 4B];\n"
                "  _3 = _1 * 3.0e+0;\n"
                "  _4 = s_5(D) * s_5(D);\n"
                "  _6 = _4 * _4;\n"
                "  _7 = _6 + _3;\n"
                "  *st_2(D) = _3;\n"
                "  return _7;\n")
        self.assertEqual(measure(body)[0], 3)
        self.assertEqual(measure(body, sources="st_2", sinks="st_2")[0], 1)
        self.assertEqual(measure(body, sources="st_2", sinks="return")[0], 2)


@unittest.skipUnless(KERNELS, "no SSA dump of the kernels in a sanitized tree")
class the_kernels(unittest.TestCase):
    def test_every_operation_the_compiler_writes_has_a_kind(self):
        with open(KERNELS) as f:
            lines = f.read().splitlines()
        for name in ("chain_coefficients", "chain_recursion"):
            depth, _, total = chain.measure(chain.function_body(lines, name), None, None)
            self.assertNotIn("other", total, name)
            self.assertGreater(depth, 10, name)
            self.assertGreater(sum(total.values()), 4 * depth, name)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1])
