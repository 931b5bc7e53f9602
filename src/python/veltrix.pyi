"""veltrix: dense float64 n-d arrays, linear algebra, statistics, reproducible random
numbers and spatial trees, computed bit-exactly in a fixed numerical order.

Every result is a new object; nothing is a view. Errors that input can cause raise
ValueError or TypeError; violated internal preconditions raise the module's internal-error
exception (a BaseException subclass named ``PanicException``).
"""

from __future__ import annotations

from types import ModuleType
from typing import Iterator, List, Optional, Sequence, SupportsFloat, SupportsIndex, Tuple, Union

import numpy

_Float = Union[float, SupportsFloat, SupportsIndex]
_Shape = Sequence[SupportsIndex]

__all__ = [
    "Array",
    "PyArrayIter",
    "Generator",
    "BallTree",
    "KDTree",
    "zeros",
    "ones",
    "full",
    "asarray",
    "eye",
    "diag",
    "column_stack",
    "linalg",
    "stats",
    "random",
    "spatial",
]

# ---------------------------------------------------------------------------------------------
# Array

class Array:
    """A dense, row-major n-dimensional array of 64-bit floats.

    ``len(a)`` is the element count (not the first dimension); an array without elements
    is false. ``repr`` writes every element in its shortest round-trip form.
    """

    def __new__(cls, shape: _Shape, data: Sequence[_Float]) -> Array:
        """Array of the given shape holding ``data`` in row-major order.

        Raises ValueError "Data length {len} doesn't match shape {shape} (expected {count})".
        """

    @staticmethod
    def zeros(shape: _Shape) -> Array:
        """Array of the shape filled with 0.0."""

    @staticmethod
    def ones(shape: _Shape) -> Array:
        """Array of the shape filled with 1.0."""

    @staticmethod
    def full(shape: _Shape, fill_value: _Float) -> Array:
        """Array of the shape with every element equal to ``fill_value``."""

    @staticmethod
    def asarray(data: Union[Array, Sequence[_Float]], shape: Optional[_Shape] = None) -> Array:
        """Array of the flat values of ``data`` (an Array's data in row-major order, or a flat
        sequence of floats), with ``shape`` or, when omitted, one dimension."""

    @staticmethod
    def eye(n: SupportsIndex, m: Optional[SupportsIndex] = None, k: Optional[SupportsIndex] = None) -> Array:
        """The n x m matrix (m defaults to n) with ones on diagonal k (0 = main, > 0 above)."""

    @property
    def shape(self) -> List[int]:
        """The dimension lengths, outermost first (a new list on every read)."""

    def __len__(self) -> int: ...
    def tolist(self) -> Union[float, list]:
        """Nested lists of floats, or a float for a rank-0 array."""

    def to_pylist_recursive(self, dim: SupportsIndex, offset: SupportsIndex) -> list:
        """Nested list of the sub-array of dimensions ``dim..`` starting at flat ``offset``.

        Raises ValueError when ``dim`` is not below the rank or the sub-array would reach past
        the data.
        """

    # --- element-wise arithmetic, indexing, iteration and NumPy exchange ---

    # --- linear algebra ---

    # --- statistics ---

def zeros(shape: _Shape) -> Array:
    """Array of the shape filled with 0.0."""

def ones(shape: _Shape) -> Array:
    """Array of the shape filled with 1.0."""

def full(shape: _Shape, fill_value: _Float) -> Array:
    """Array of the shape with every element equal to ``fill_value``."""

def asarray(data: Union[Array, Sequence[_Float]], shape: Optional[_Shape] = None) -> Array:
    """Array of the flat values of ``data``, with ``shape`` or one dimension."""

def eye(n: SupportsIndex, m: Optional[SupportsIndex] = None, k: Optional[SupportsIndex] = None) -> Array:
    """The n x m matrix with ones on diagonal k."""

def column_stack(arrays: Sequence[Array]) -> Array:
    """The columns of one- and two-dimensional arrays side by side (equal row counts).

    Raises ValueError "Need at least one array" for an empty sequence.
    """

# --- top-level linear algebra ---

# ---------------------------------------------------------------------------------------------
# Random numbers

# ---------------------------------------------------------------------------------------------
# Spatial trees

# ---------------------------------------------------------------------------------------------
# Submodules (attributes of the module, not importable by dotted name). Each is typed as a
# module class whose static methods are the submodule's functions.

class _LinalgModule(ModuleType):
    pass

class _StatsModule(ModuleType):
    pass

class _RandomModule(ModuleType):
    pass

class _SpatialModule(ModuleType):
    pass

linalg: _LinalgModule
stats: _StatsModule
random: _RandomModule
spatial: _SpatialModule
