"""A reader of Arrow's C Data and C Stream interfaces, written with ctypes
from Arrow's published description of their structs, for the formats a
csv_line.Table exports: struct "+s" of columns "l" (int64), "g" (float64),
"b" (bool, one bit a cell), "U" (large UTF-8: int64 offsets, then bytes),
"tdD" (int32 days) and "tsu:<zone>" (int64 microseconds).

Nothing here trusts the exporter beyond those structs: it follows the
pointers as a consumer would, honours each array's offset, and says what
it finds as plain Python values."""
import ctypes
import math
from typing import Any, List

import numpy as np


class ArrowSchema(ctypes.Structure):
    pass


class ArrowArray(ctypes.Structure):
    pass


class ArrowArrayStream(ctypes.Structure):
    pass


ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p),
    ("name", ctypes.c_char_p),
    ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))),
    ("dictionary", ctypes.POINTER(ArrowSchema)),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))),
    ("private_data", ctypes.c_void_p),
]
ArrowArray._fields_ = [
    ("length", ctypes.c_int64),
    ("null_count", ctypes.c_int64),
    ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))),
    ("dictionary", ctypes.POINTER(ArrowArray)),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))),
    ("private_data", ctypes.c_void_p),
]
ArrowArrayStream._fields_ = [
    ("get_schema", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowSchema))),
    ("get_next", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ArrowArrayStream), ctypes.POINTER(ArrowArray))),
    ("get_last_error", ctypes.CFUNCTYPE(ctypes.c_char_p, ctypes.POINTER(ArrowArrayStream))),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArrayStream))),
    ("private_data", ctypes.c_void_p),
]

ARROW_FLAG_NULLABLE = 2
BUFFERS = {"l": 2, "g": 2, "b": 2, "U": 3, "tdD": 2}

_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_pointer.restype = ctypes.c_void_p
_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_valid = ctypes.pythonapi.PyCapsule_IsValid
_valid.restype = ctypes.c_int
_valid.argtypes = [ctypes.py_object, ctypes.c_char_p]


def capsule_struct(capsule, name, kind):
    """The struct a PyCapsule of that name points to, in the capsule's memory."""
    assert _valid(capsule, name.encode()) == 1, f"not a capsule named {name!r}"
    return kind.from_address(_pointer(capsule, name.encode()))


def move(struct):
    """The struct moved out, as a consumer takes it: a copy of its bytes,
    the original marked released."""
    taken = type(struct)()
    ctypes.memmove(ctypes.byref(taken), ctypes.byref(struct), ctypes.sizeof(struct))
    ctypes.memset(ctypes.addressof(struct) + type(struct).release.offset, 0, ctypes.sizeof(ctypes.c_void_p))
    return taken


def released(struct):
    return not struct.release


def release(struct):
    """Calls the struct's release callback, which must mark it released."""
    assert not released(struct)
    struct.release(ctypes.byref(struct))
    assert released(struct)


def schema_fields(schema):
    """(format, name, flags) of each child of a struct schema."""
    assert schema.format == b"+s" and not schema.dictionary
    fields = []
    for k in range(schema.n_children):
        child = schema.children[k].contents
        assert child.n_children == 0 and not child.dictionary
        fields.append((child.format.decode(), child.name.decode(), child.flags))
    return fields


def _bit(address, index):
    return (ctypes.c_uint8.from_address(address + index // 8).value >> (index % 8)) & 1


def column_cells(array, format):
    """The cells of one column's array as Python values: None where missing;
    int, float, bool, str, numpy.datetime64 (days or microseconds)."""
    assert array.n_children == 0 and not array.dictionary
    assert array.n_buffers == (3 if format == "U" else 2), (format, array.n_buffers)
    buffers = [array.buffers[k] for k in range(array.n_buffers)]
    length, offset = array.length, array.offset
    validity = buffers[0]
    if validity is None:
        assert array.null_count == 0
    cells: List[Any] = []
    for row in range(offset, offset + length):
        if validity is not None and not _bit(validity, row):
            cells.append(None)
            continue
        if format == "l":
            cells.append(ctypes.c_int64.from_address(buffers[1] + 8 * row).value)
        elif format == "g":
            cells.append(ctypes.c_double.from_address(buffers[1] + 8 * row).value)
        elif format == "b":
            cells.append(bool(_bit(buffers[1], row)))
        elif format == "tdD":
            cells.append(np.datetime64(ctypes.c_int32.from_address(buffers[1] + 4 * row).value, "D"))
        elif format.startswith("tsu:"):
            cells.append(np.datetime64(ctypes.c_int64.from_address(buffers[1] + 8 * row).value, "us"))
        elif format == "U":
            start = ctypes.c_int64.from_address(buffers[1] + 8 * row).value
            end = ctypes.c_int64.from_address(buffers[1] + 8 * (row + 1)).value
            assert 0 <= start <= end
            cells.append(ctypes.string_at(buffers[2] + start, end - start).decode("utf-8"))
        else:
            raise AssertionError(f"a format no csv_line.Table exports: {format}")
    if validity is not None:
        assert array.null_count in (-1, cells.count(None))
    return cells


def read_stream(capsule):
    """Every column of a capsule 'arrow_array_stream', moved out of the
    capsule as a consumer takes it: ([(format, name, flags)], [cells of each
    column]), the stream's arrays put one after the other. Releases all it
    took."""
    stream = move(capsule_struct(capsule, "arrow_array_stream", ArrowArrayStream))
    schema = ArrowSchema()
    assert stream.get_schema(ctypes.byref(stream), ctypes.byref(schema)) == 0, stream.get_last_error(stream)
    fields = schema_fields(schema)
    columns: List[List[Any]] = [[] for _ in fields]
    while True:
        array = ArrowArray()
        assert stream.get_next(ctypes.byref(stream), ctypes.byref(array)) == 0, stream.get_last_error(stream)
        if released(array):  # the stream's end
            break
        assert array.n_children == len(fields) and array.n_buffers == 1 and array.null_count == 0
        for k, (format, _, _) in enumerate(fields):
            child = array.children[k].contents
            assert child.length == array.length
            columns[k] += column_cells(child, format)
        release(array)
    release(schema)
    release(stream)
    return fields, columns


def same_cell(arrow, ours):
    """A cell the walker read, against read_columns' cell of the same place
    (a numpy scalar or a Python object): None where that has NaN or NaT,
    an int where it has a float when the column misses a cell."""
    if arrow is None:
        return (isinstance(ours, (float, np.floating)) and math.isnan(ours)) or (
            isinstance(ours, np.datetime64) and np.isnat(ours))
    if isinstance(arrow, str):
        return isinstance(ours, str) and ours == arrow
    if isinstance(arrow, bool):
        return isinstance(ours, (bool, np.bool_)) and bool(ours) == arrow
    if isinstance(arrow, np.datetime64):
        return isinstance(ours, np.datetime64) and not np.isnat(ours) and ours == arrow
    if isinstance(arrow, int):
        if isinstance(ours, (float, np.floating)):
            return float(ours) == float(arrow)
        return isinstance(ours, (int, np.integer)) and not isinstance(ours, (bool, np.bool_)) and int(ours) == arrow
    return isinstance(ours, (float, np.floating)) and float(ours) == arrow
