"""How values cross the wire: JSON, with tagged objects for arrays, tuples, non-finite floats and
maps whose keys start with '$'."""

import math


class NdArray:
    """An n-dimensional array as it crosses the wire: element type, shape, flat row-major data."""

    DTYPES = ("float32", "float64", "int64", "int8")

    def __init__(self, dtype, shape, data):
        if dtype not in self.DTYPES:
            raise ValueError("unknown element type %r" % (dtype,))
        count = 1
        for d in shape:
            count *= d
        if count != len(data):
            raise ValueError("%d elements for shape %r" % (len(data), tuple(shape)))
        self.dtype, self.shape, self.data = dtype, list(shape), list(data)

    def map(self, fn):
        """A new array of the same type and shape with fn applied to every element."""
        cast = float if self.dtype.startswith("float") else int
        return NdArray(self.dtype, self.shape, [cast(fn(x)) for x in self.data])

    def __repr__(self):
        return "NdArray(%r, %r, %r)" % (self.dtype, self.shape, self.data)


def _special(x):
    if isinstance(x, str) and x in ("nan", "inf", "-inf"):
        return float(x)
    return x


def _float_out(x):
    if math.isnan(x):
        return "nan"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return x


def decode(j):
    if isinstance(j, list):
        return [decode(x) for x in j]
    if isinstance(j, dict):
        if len(j) == 1:
            (key, body), = j.items()
            if key == "$ndarray":
                data = body["data"]
                if body["dtype"].startswith("float"):
                    data = [float(_special(x)) for x in data]
                return NdArray(body["dtype"], body["shape"], data)
            if key == "$tuple":
                return tuple(decode(x) for x in body)
            if key == "$float":
                return float(_special(body))
            if key == "$map":
                return {k: decode(v) for k, v in body}
        return {k: decode(v) for k, v in j.items()}
    return j


def encode(v):
    if v is None or isinstance(v, (bool, int, str)):
        return v
    if isinstance(v, float):
        return v if math.isfinite(v) else {"$float": _float_out(v)}
    if isinstance(v, NdArray):
        data = [_float_out(float(x)) for x in v.data] if v.dtype.startswith("float") else [int(x) for x in v.data]
        return {"$ndarray": {"dtype": v.dtype, "shape": v.shape, "data": data}}
    if isinstance(v, tuple):
        return {"$tuple": [encode(x) for x in v]}
    if isinstance(v, list):
        return [encode(x) for x in v]
    if isinstance(v, dict):
        if any(str(k).startswith("$") for k in v):
            return {"$map": [[str(k), encode(x)] for k, x in v.items()]}
        return {str(k): encode(x) for k, x in v.items()}
    raise TypeError("a value of type %s cannot be sent" % type(v).__name__)
