#!/usr/bin/env python3
"""Writes the seed corpora of the masks and decode fuzz targets (fuzz/corpus/masks/, .../decode/).

Both targets read their input through libFuzzer's FuzzedDataProvider, so a seed is not readable
text: this script encodes chosen cases the way the targets consume them. Integers are taken from
the end of the input (one byte for the small ranges used here, eight for a whole int64; the first
byte taken is the most significant), strings from the front. `Input` records both ends in
consumption order; `Input.data()` joins them.

Each case below mirrors, call for call, what make_value/check_align (masks_fuzz.cpp) or
make_space/make_row (decode_fuzz.cpp) consume; keep them in step when those change. The files are
rewritten in place (a removed case leaves its old file behind: delete it by hand).

    fuzz/make_seeds.py            (writes both corpora)
"""
import math
import pathlib

INT64_MIN = -(2**63)


class Input:
    def __init__(self):
        self.front = bytearray()
        self.tail = bytearray()  # in consumption order; stored reversed at the end of the input

    def int_in(self, lo, hi, value):
        """ConsumeIntegralInRange(lo, hi) returning `value`."""
        assert lo <= value <= hi, (lo, value, hi)
        span, x, nbytes = hi - lo, value - lo, 0
        while nbytes < 8 and (span >> (8 * nbytes)) > 0:
            nbytes += 1
        self.tail += x.to_bytes(nbytes, "big")
        return self

    def boolean(self, value):
        return self.int_in(0, 255, int(bool(value)))

    def int64(self, value):
        """ConsumeIntegral<int64_t>()."""
        self.tail += ((value - INT64_MIN) % 2**64).to_bytes(8, "big")
        return self

    def int8(self, value):
        return self.int_in(-128, 127, value)

    def string(self, text, max_length):
        """ConsumeRandomLengthString(max_length) returning `text` (no backslashes)."""
        raw = text.encode()
        assert len(raw) <= max_length and b"\\" not in raw
        self.front += raw if len(raw) == max_length else raw + b"\\x"
        return self

    def data(self):
        return bytes(self.front) + bytes(reversed(self.tail))


# ---- masks_fuzz.cpp -----------------------------------------------------------------------------

MASK_MAX_DEPTH = 5
# pick_double: the choices that need no further input.
DOUBLES = {0.0: 0, 1.0: 1, -1.0: 2, 0.5: 3, "nan": 4, "inf": 5, "-inf": 6, 1e300: 7, -3.4e38: 8}
DTYPES = {"float32": 0, "float64": 1, "int64": 2, "int8": 3}


def pick_double(inp, x):
    key = "nan" if isinstance(x, float) and math.isnan(x) else x
    inp.int_in(0, 9, DOUBLES[key])


def kind(inp, depth, k):
    inp.int_in(0, 5 if depth >= MASK_MAX_DEPTH else 8, k)


# Mask values: ("none",), ("bool", b), ("int", i), ("float", x), ("text", s),
# ("array", dtype, shape, values), ("list", [items]), ("tuple", [items]), ("map", [items]).
def mask_value(inp, v, depth=0):
    tag = v[0]
    if tag == "none":
        kind(inp, depth, 0)
    elif tag == "bool":
        kind(inp, depth, 1)
        inp.boolean(v[1])
    elif tag == "int":
        kind(inp, depth, 2)
        inp.int_in(-3, 3, v[1])
    elif tag == "float":
        kind(inp, depth, 3)
        pick_double(inp, v[1])
    elif tag == "text":
        kind(inp, depth, 4)
        inp.boolean(False)
        inp.string(v[1], 4)
    elif tag == "array":
        kind(inp, depth, 5)
        _, dtype, shape, values = v
        inp.int_in(0, 3, DTYPES[dtype])
        inp.int_in(0, 3, len(shape))
        for d in shape:
            inp.int_in(0, 4, d)
        assert len(values) == math.prod(shape), v
        for x in values:
            if dtype in ("float32", "float64"):
                pick_double(inp, x)
            elif dtype == "int64":
                inp.int64(x)
            else:
                inp.int8(x)
    elif tag in ("list", "tuple", "map"):
        kind(inp, depth, {"list": 6, "tuple": 7, "map": 8}[tag])
        inp.int_in(0, 6, len(v[1]))
        for item in v[1]:
            mask_value(inp, item, depth + 1)
    else:
        raise ValueError(tag)


ALIGN_EDGES = ["nan", "inf", "-inf", 1e300, -1e300, 9.3e18, -9.3e18, -0.75, 2.9, -1.5]


# Targets of _align_mask_length: ("int", i), ("bool", b), ("quarter", k) for k / 4, ("edge", x),
# ("text", s), ("none",). Only consumed when the mask has a combine form.
def align_target(inp, t, flat_size):
    tag = t[0]
    if tag == "int":
        inp.int_in(0, 5, 0).int_in(-2, flat_size + 3, t[1])
    elif tag == "bool":
        inp.int_in(0, 5, 1).boolean(t[1])
    elif tag == "quarter":
        inp.int_in(0, 5, 2).int_in(-2, 40, t[1])
    elif tag == "edge":
        inp.int_in(0, 5, 3).int_in(0, len(ALIGN_EDGES) - 1, ALIGN_EDGES.index(t[1]))
    elif tag == "text":
        inp.int_in(0, 5, 4).string(t[1], 3)
    else:
        inp.int_in(0, 5, 5)


def arr(dtype, shape, values):
    return ("array", dtype, shape, values)


NAN, INF = float("nan"), "inf"

MASK_SEEDS = {
    "none": (("none",), None),
    "int8_flat_padded": (arr("int8", [4], [1, 0, 1, 1]), (("int", 7), 4)),
    "int8_flat_same_length": (arr("int8", [3], [1, 1, 0]), (("int", 3), 3)),
    "int8_values_beyond_bits": (arr("int8", [4], [-128, 127, 2, -1]), (("int", 2), 4)),
    "float64_2d_nan_inf_penalty": (
        arr("float64", [2, 3], [1.0, 0.0, NAN, "inf", "-inf", -3.4e38]),
        (("edge", 1e300), 6),
    ),
    "float32_empty_middle_dimension": (arr("float32", [2, 0, 3], []), (("quarter", 9), 0)),
    "float32_scalar": (arr("float32", [], [0.5]), (("edge", -0.75), 1)),
    "int64_extremes": (arr("int64", [3], [INT64_MIN, 2**63 - 1, 1]), (("int", 2), 3)),
    "list_of_bools_and_numbers": (
        ("list", [("bool", True), ("bool", False), ("int", 1), ("int", -3), ("float", 0.5),
                  ("list", [("int", 1), ("int", 0)])]),
        (("bool", True), 7),
    ),
    "tuple_of_arrays": (
        ("tuple", [arr("int8", [2], [1, 0]), arr("float64", [3], [1.0, 0.0, 1.0])]),
        (("text", "ab"), 5),
    ),
    "tuple_of_arrays_of_different_ranks": (
        ("tuple", [arr("int8", [2], [1, 0]), arr("float64", [2, 2], [1.0, 0.0, 0.0, 1.0])]),
        None,
    ),
    "map_of_masks": (
        ("map", [arr("int8", [3], [1, 0, 1]), ("list", [("int", 1), ("int", 0)]), ("float", 1.0)]),
        (("none",), 6),
    ),
    "map_with_none_entry": (("map", [arr("int8", [2], [1, 1]), ("none",)]), None),
    "list_with_text_leaf": (("list", [("text", "on"), ("int", 1)]), None),
    "empty_list": (("list", []), (("int", 0), 0)),
    "nested_to_the_depth_limit": (
        ("list", [("list", [("tuple", [("list", [("map", [arr("int8", [1, 2], [0, 1])])])])])]),
        (("edge", 9.3e18), 2),
    ),
    "ragged_arrays_in_a_list": (
        ("list", [arr("float64", [2], [1.0, 0.0]), arr("float64", [3], [0.0, 1.0, 1.0])]),
        (("quarter", -2), 5),
    ),
}


def mask_seed(value, align):
    inp = Input()
    mask_value(inp, value)
    if align is not None:
        target, flat_size = align
        align_target(inp, target, flat_size)
    return inp.data()


# ---- decode_fuzz.cpp ----------------------------------------------------------------------------

SPACE_MAX_DEPTH = 4


# Spaces: ("discrete", n[, start]), ("box", shape, dtype), ("multi_discrete", rows) with rows a list
# of ints (1-d) or of lists of ints (2-d), ("multi_binary_n", n), ("multi_binary", shape),
# ("renamed", n, name_choice) (choice 0: reports "Box", else "MyDiscrete"), ("tuple", [spaces]),
# ("dict", [spaces]).
def space(inp, s, depth=0):
    tag = s[0]
    pick = lambda k: inp.int_in(0, 4 if depth >= SPACE_MAX_DEPTH else 6, k)
    if tag == "discrete":
        pick(0)
        inp.int_in(1, 8, s[1])
        inp.boolean(len(s) > 2)
        if len(s) > 2:
            inp.int_in(-3, 3, s[2])
    elif tag == "box":
        pick(1)
        inp.int_in(0, 3, len(s[1]))
        for d in s[1]:
            inp.int_in(0, 3, d)
        inp.int_in(0, 3, DTYPES[s[2]])
    elif tag == "multi_discrete":
        pick(2)
        rows = s[1]
        two_d = isinstance(rows[0], list)
        inp.int_in(1, 3, len(rows))
        inp.boolean(two_d)
        if two_d:
            inp.int_in(1, 2, len(rows[0]))
        for row in rows:
            for k in row if two_d else [row]:
                inp.int_in(1, 4, k)
    elif tag == "multi_binary_n":
        pick(3)
        inp.boolean(True)
        inp.int_in(1, 5, s[1])
    elif tag == "multi_binary":
        pick(3)
        inp.boolean(False)
        inp.int_in(1, 3, len(s[1]))
        for d in s[1]:
            inp.int_in(1, 3, d)
    elif tag == "renamed":
        pick(4)
        inp.int_in(1, 4, s[1])
        inp.int_in(0, 3, s[2])
    elif tag in ("tuple", "dict"):
        pick(5 if tag == "tuple" else 6)
        inp.int_in(0, 4, len(s[1]))
        for sub in s[1]:
            space(inp, sub, depth + 1)
    else:
        raise ValueError(tag)


# pick_value: the choices that need no further input; other values are k / 8 for k in [-40, 40].
ROW_VALUES = {0.0: 0, 1.0: 1, -3.4e38: 2, "nan": 3, "inf": 4, "-inf": 5, 1e-9: 6, -0.5: 7}


def row_value(inp, x):
    key = "nan" if isinstance(x, float) and math.isnan(x) else x
    if key in ROW_VALUES:
        inp.int_in(0, 9, ROW_VALUES[key])
    else:
        k = x * 8
        assert k == int(k) and -40 <= k <= 40, x
        inp.int_in(0, 9, 8).int_in(-40, 40, int(k))


def decode_seed(s, row, dtype="float32", offset=0):
    inp = Input()
    space(inp, s)
    if offset == 0:
        inp.int_in(0, 4, 1)
    else:
        inp.int_in(0, 4, 0).int_in(-2, 12, offset)
    inp.int_in(0, 3, DTYPES[dtype])
    inp.int_in(0, 48, len(row))
    for x in row:
        row_value(inp, x)
    return inp.data()


P = -3.4e38  # the mask penalty

DECODE_SEEDS = {
    "discrete": decode_seed(("discrete", 4), [0.0, 1.0, 0.5, -0.5]),
    "discrete_start_tie_then_nan": decode_seed(("discrete", 3, -2), [1.0, 1.0, NAN], "float64"),
    "discrete_masked": decode_seed(("discrete", 3), [P, P, 0.25]),
    "discrete_int64_row": decode_seed(("discrete", 2), [0.5, 1.0], "int64"),
    "discrete_at_offset": decode_seed(("discrete", 2), [0.0, 0.0, 0.0, 1.0, 0.0], offset=3),
    "negative_offset": decode_seed(("discrete", 2), [0.0, 1.0], offset=-2),
    "box_int64_clipped_nan": decode_seed(
        ("box", [2, 3], "int64"), [-3.0, 2.5, NAN, 0.75, -0.75, 1.0] + [0.0] * 6, "float64"),
    "box_scalar": decode_seed(("box", [], "float32"), ["inf", 0.0]),
    "box_empty": decode_seed(("box", [3, 0], "float64"), []),
    "box_row_too_short": decode_seed(("box", [3], "int8"), [0.5, 1.0]),
    "multi_discrete_2d_masked": decode_seed(
        ("multi_discrete", [[2, 3], [4, 1]]), [P, 0.0, 0.0, P, 1.0, 0.125, 0.125, P, 0.0, 0.0]),
    "multi_discrete_row_too_short": decode_seed(("multi_discrete", [4, 4]), [0.0] * 5),
    "multi_binary_2x2_int8_row": decode_seed(("multi_binary", [2, 2]), [1.0, -0.5, 0.0, 4.0], "int8"),
    "multi_binary_n": decode_seed(("multi_binary_n", 3), [1e-9, 0.0, "inf"]),
    "tuple_of_kinds": decode_seed(
        ("tuple", [("discrete", 2), ("multi_binary_n", 3), ("box", [2], "float32")]),
        [0.0, 1.0, 1.0, -0.5, 0.0, 0.5, 2.0, 0.0, 0.0]),
    "dict_nested": decode_seed(
        ("dict", [("tuple", [("discrete", 3)]), ("multi_discrete", [2, 2])]),
        [0.0, NAN, 1.0, 1.0, 0.0, 0.0, 1.0], "float64"),
    "fallback_rest_of_row": decode_seed(
        ("tuple", [("discrete", 2), ("renamed", 3, 1)]), [1.0, 0.0, 0.5, "-inf", 0.25, 2.0]),
    "misnamed_as_box": decode_seed(("renamed", 2, 0), [0.0, 1.0, 0.0, 1.0]),
    "empty_tuple_empty_row": decode_seed(("tuple", []), []),
    "deep_dicts": decode_seed(
        ("dict", [("dict", [("tuple", [("dict", [("discrete", 2)])])]), ("box", [1], "float32")]),
        [0.0, 1.0, 0.5, 0.0]),
}


def main():
    root = pathlib.Path(__file__).resolve().parent / "corpus"
    for target, seeds in (("masks", {k: mask_seed(*v) for k, v in MASK_SEEDS.items()}),
                          ("decode", DECODE_SEEDS)):
        folder = root / target
        folder.mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (folder / f"{name}.bin").write_bytes(data)
        print(f"{folder}: {len(seeds)} seeds")


if __name__ == "__main__":
    main()
