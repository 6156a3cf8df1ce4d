#!/usr/bin/env python3
"""Splits a callgrind profile into the instructions spent inside ONNX Runtime and the rest.

    callgrind_split.py PROFILE --ours DIR [--ort NAME] [--steps N] [--top K]

PROFILE is a callgrind output file (one thread). A call counts as "inside ONNX Runtime" when its caller
lies in one of our objects (an object file below DIR, the build tree) and its callee in the ONNX Runtime
library (an object whose name contains NAME, default "libonnxruntime"); its inclusive cost is what the
run cost, whatever else it called. Everything else collected is our own: the runtime's code, and the C
and C++ libraries when our code calls them. Prints totals, and per step when --steps is given; with
--top, the K functions of our own share with the largest exclusive cost.
"""
import argparse
import collections
import sys


def parse(path, ours_dir, ort_name):
    names = {"ob": {}, "fl": {}, "fn": {}}
    state = {"ob": None, "fl": None, "fn": None}
    callee = {"ob": None, "fn": None}
    pending_call = False
    total = 0
    inside_ort = 0
    # Our own functions' cost: their own instructions, and what the C and C++ libraries they call
    # spend for them.
    own_by_fn = collections.Counter()

    def resolve(kind, text):
        text = text.strip()
        if text.startswith("("):
            close = text.index(")")
            ident = text[1:close]
            rest = text[close + 1:].strip()
            if rest:
                names[kind][ident] = rest
            return names[kind].get(ident, ident)
        return text

    def is_ours(ob):
        return ob is not None and ob.startswith(ours_dir)

    def is_ort(ob):
        return ob is not None and ort_name in ob.rsplit("/", 1)[-1]

    with open(path, encoding="utf-8", errors="replace") as f:
        for raw in f:
            line = raw.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            head = line[0]
            if head.isdigit() or head in "+-*":
                fields = line.split()
                cost = int(fields[1]) if len(fields) > 1 else 0
                if pending_call:
                    pending_call = False
                    caller_ob = state["ob"]
                    callee_ob = callee["ob"] or caller_ob
                    if is_ours(caller_ob) and is_ort(callee_ob):
                        inside_ort += cost
                    elif is_ours(caller_ob) and not is_ours(callee_ob):
                        own_by_fn[(state["ob"], state["fn"])] += cost
                    callee["ob"] = None
                    continue
                total += cost
                if is_ours(state["ob"]):
                    own_by_fn[(state["ob"], state["fn"])] += cost
                continue
            key, _, value = line.partition("=")
            if key in ("ob", "fl", "fn"):
                state[key] = resolve(key, value)
                if key == "fn":
                    pass
            elif key in ("fi", "fe"):
                resolve("fl", value)
            elif key == "cob":
                callee["ob"] = resolve("ob", value)
            elif key in ("cfi", "cfl"):
                resolve("fl", value)
            elif key == "cfn":
                callee["fn"] = resolve("fn", value)
            elif key == "calls":
                pending_call = True
    return total, inside_ort, own_by_fn


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("profile")
    parser.add_argument("--ours", required=True)
    parser.add_argument("--ort", default="libonnxruntime")
    parser.add_argument("--steps", type=int, default=0)
    parser.add_argument("--top", type=int, default=0)
    args = parser.parse_args()
    total, inside_ort, own_by_fn = parse(args.profile, args.ours, args.ort)
    own = total - inside_ort
    per = args.steps if args.steps > 0 else 1
    unit = " per step" if args.steps > 0 else ""
    print(f"instructions{unit}: whole step {total / per:,.0f}, inside ONNX Runtime {inside_ort / per:,.0f}, "
          f"own {own / per:,.0f}")
    if args.top:
        print(f"our functions with the largest cost (their own instructions and the C/C++ library calls "
              f"they make){unit}:")
        ranked = [item for item in own_by_fn.most_common() if item[0][1] not in ("(below main)", "main")]
        for (ob, fn), cost in ranked[:args.top]:
            obj = (ob or "?").rsplit("/", 1)[-1]
            print(f"  {cost / per:10,.0f}  {fn}  [{obj}]")
    return 0


if __name__ == "__main__":
    sys.exit(main())
