#!/usr/bin/env python3
"""Counts a function's chain of dependent operations in the compiler's SSA form.

Reads the GIMPLE that g++ -fdump-tree-optimized writes and, for one function, finds
the longest path of dependent operations from the values it reads (its sources) to the
values it writes (its sinks): each arithmetic, comparison, selection, logic, shift,
conversion or lane shuffle on the path counts one. Loads, stores, copies and the
reinterpretation of a value's bits (VIEW_CONVERT_EXPR) count nothing; a PHI takes the
longest of its inputs. A store into the function's own aggregates followed by a load of
the same field carries its depth through.

usage: chain_depth.py GIMPLE FUNCTION [--sources REGEX] [--sinks REGEX]
  sources: memory reads and arguments whose depth is 0 (default: all of them; a value
           that no source reaches counts as absent)
  sinks:   stores (and the return value) where paths end (default: all of them)
Prints the critical path's length, its operations by kind, and the function's total.
"""
import argparse
import re
import sys

SSA = re.compile(r"\b((?:[A-Za-z_][A-Za-z0-9_.]*)?_\d+)(\(D\))?")
STMT = re.compile(r"^\s+(.+?) = (.+);$")
PHI = re.compile(r"^\s+# (\S+) = PHI <(.*)>$")
RET = re.compile(r"^\s+return (\S+);$")


def kind_of(rhs):
    """The kind of operation a right-hand side performs, or None when it costs nothing."""
    r = rhs.strip()
    if r.startswith("VIEW_CONVERT_EXPR") or r.startswith("(const ") or SSA.fullmatch(r):
        return None
    if r.startswith("MEM") or "->" in r or r.startswith("*") or re.fullmatch(r"[A-Za-z_][\w.]*\.[\w.]+", r):
        return "load"
    if r.startswith("{") and not SSA.search(r):
        return None  # a constant vector
    if re.fullmatch(r"[-+0-9.e]+", r):
        return None
    if r.startswith("(") and SSA.search(r):
        # A cast between integer types only renames the bits; to float or double it
        # converts (the DSP truncates floats only through the conversion builtins).
        return "convert" if re.match(r"\((vector\(\d+\) )?(float|double)\)", r) else None
    if "vec_unpack" in r or "VEC_PACK_TRUNC" in r or "FLOAT_EXPR" in r:
        return "convert"
    if "VEC_PERM_EXPR" in r or "BIT_FIELD_REF" in r or "BIT_INSERT_EXPR" in r or r.startswith("{"):
        return "shuffle"
    if "_simd_bsl" in r:
        return "select"
    if "VCOND" in r or "COND_EXPR" in r or "MIN_EXPR" in r or "MAX_EXPR" in r or " ? " in r:
        return "select"
    if re.match(r"__builtin_(ia32_cvt|aarch64_(l?btrunc|fcvt|float))", r) or "FIX_TRUNC" in r:
        return "convert"
    if re.search(r" (<|>|<=|>=|==|!=|unord|ord) ", r):
        return "compare"
    if re.search(r" (&|\||\^|<<|>>) ", r) or r.startswith("~"):
        return "logic"
    if " * " in r:
        return "multiply"
    if " + " in r or " - " in r or r.startswith("-"):
        return "add"
    return "other"


def function_body(lines, name):
    start = None
    for i, line in enumerate(lines):
        if line.startswith(";; Function " + name + " "):
            start = i
        elif start is not None and line.startswith("}"):
            return lines[start:i]
    sys.exit("chain_depth: no function %s in the dump" % name)


def measure(body, sources, sinks):
    NONE = -1  # a value no source reaches
    depth, path = {}, {}
    memory = {}
    total = {}
    best, best_path = NONE, []

    def of(rhs):
        d, p = NONE, []
        for m in SSA.finditer(rhs):
            n = m.group(1)
            if n in depth and depth[n] > d:
                d, p = depth[n], path[n]
            elif m.group(2) and d < 0 and (sources is None or sources.search(n)):
                d, p = 0, []  # an argument of the function
        return d, p

    def sink(d, p):
        nonlocal best, best_path
        if d > best:
            best, best_path = d, p

    for line in body:
        m = PHI.match(line)
        if m:
            depth[m.group(1)], path[m.group(1)] = of(m.group(2))
            continue
        m = RET.match(line)
        if m:
            if sinks is None or sinks.search("return"):
                sink(*of(m.group(1)))
            continue
        m = STMT.match(line)
        if not m:
            continue
        lhs, rhs = m.group(1), m.group(2)
        k = kind_of(rhs)
        if not SSA.fullmatch(lhs):
            # A store (through a pointer, MEM[…] or into a field): it ends a path at a
            # sink, and a field read back later carries it on.
            d, p = of(rhs)
            memory[lhs] = (d, p)
            if sinks is None or sinks.search(lhs):
                sink(d, p)
            continue
        name = SSA.fullmatch(lhs).group(1)
        if k == "load":
            if rhs in memory:
                d, p = memory[rhs]
            elif sources is None or sources.search(rhs):
                d, p = 0, []
            else:
                d, p = NONE, []
        elif k is None:
            d, p = of(rhs)
            if not SSA.search(rhs):
                d, p = NONE, []
        else:
            total[k] = total.get(k, 0) + 1
            d, p = of(rhs)
            if d != NONE:
                d, p = d + 1, p + [k]
        depth[name], path[name] = d, p
    return best, best_path, total


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("gimple")
    ap.add_argument("function")
    ap.add_argument("--sources")
    ap.add_argument("--sinks")
    a = ap.parse_args()
    lines = open(a.gimple).read().splitlines()
    body = function_body(lines, a.function)
    best, p, total = measure(body, a.sources and re.compile(a.sources), a.sinks and re.compile(a.sinks))
    kinds = {}
    for k in p:
        kinds[k] = kinds.get(k, 0) + 1
    print("%s: chain of %d dependent operations (%s); %d operations in all (%s)" % (
        a.function, best, ", ".join("%s %d" % kv for kv in sorted(kinds.items())),
        sum(total.values()), ", ".join("%s %d" % kv for kv in sorted(total.items()))))


if __name__ == "__main__":
    main()
