"""veltrix: dense float64 n-d arrays, linear algebra, statistics, reproducible random
numbers and spatial trees, computed bit-exactly in a fixed numerical order.

Every result is a new object; nothing is a view. Errors that input can cause raise
ValueError or TypeError; violated internal preconditions raise the module's internal-error
exception (a BaseException subclass named ``PanicException``). It pickles with its class and
``args``, so a worker process (``concurrent.futures``, Dask) hands it back to the caller.
"""

from __future__ import annotations

from types import ModuleType
from typing import Iterator, List, Optional, Sequence, SupportsFloat, SupportsIndex, Tuple, Union

import numpy

_Float = Union[float, SupportsFloat, SupportsIndex]
_Shape = Sequence[SupportsIndex]
# Query rows of the trees' batch methods: many (2-D) or one point (1-D).
_Rows = Union[Array, numpy.ndarray, Sequence[Sequence[_Float]], Sequence[_Float]]
# A matrix or vector argument of the solvers: an Array, a NumPy array of any real dtype and
# layout, or nested sequences of numbers, read once as row-major float64.
_Matrix = Union[Array, numpy.ndarray, Sequence[Sequence[_Float]], Sequence[_Float]]

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

    def __add__(self, other: Union[Array, _Float]) -> Array:
        """Element-wise sum; two Arrays broadcast (incompatible shapes raise the internal-error
        exception "Shapes are not broadcast-compatible"). Lists are not operands."""

    def __radd__(self, other: _Float) -> Array: ...
    def __sub__(self, other: Union[Array, _Float]) -> Array: ...
    def __rsub__(self, other: _Float) -> Array:
        """``other - x`` for every element x."""

    def __mul__(self, other: Union[Array, _Float]) -> Array: ...
    def __rmul__(self, other: _Float) -> Array: ...
    def __truediv__(self, other: Union[Array, _Float]) -> Array:
        """IEEE division: a zero divisor gives an infinity or NaN, never an error."""

    def __rtruediv__(self, other: _Float) -> Array: ...
    def __neg__(self) -> Array:
        """Every element with its sign bit flipped (0.0 becomes -0.0)."""

    def sin(self) -> Array:
        """Element-wise sine (the C library's ``sin``)."""

    def cos(self) -> Array:
        """Element-wise cosine."""

    def exp(self) -> Array:
        """Element-wise exponential."""

    def sqrt(self) -> Array:
        """Element-wise correctly rounded square root (NaN for negative elements)."""

    def clip(self, min: _Float, max: _Float) -> Array:
        """``min`` where min > x, else ``max`` where x > max, else x. The bounds are not
        compared: with min > max every element becomes min or max. NaN elements stay NaN."""

    def tan(self) -> Array:
        """Element-wise tangent."""

    def arcsin(self) -> Array:
        """Element-wise inverse sine (NaN outside [-1, 1])."""

    def arccos(self) -> Array:
        """Element-wise inverse cosine (NaN outside [-1, 1])."""

    def arctan(self) -> Array:
        """Element-wise inverse tangent."""

    def log(self) -> Array:
        """Element-wise natural logarithm (-inf for zeros, NaN for negative elements)."""

    def abs(self) -> Array:
        """Every element with its sign bit cleared. The built-in ``abs()`` is not supported."""

    def sign(self) -> Array:
        """1.0 for positive, -1.0 for negative elements, +0.0 for zeros and NaN."""

    def __getitem__(self, key: Union[SupportsIndex, slice, Tuple[SupportsIndex, ...]]) -> Union[float, Array]:
        """An int reads row ``key`` (a float for one-dimensional arrays); a tuple of ints one
        element or, when shorter than the rank, the block it leads to; a slice selects from the
        flat row-major data and always gives a one-dimensional Array. Negative indices count
        from the end. Index errors raise ValueError, never IndexError."""

    def __setitem__(self, key: Union[SupportsIndex, Tuple[SupportsIndex, ...]], value: _Float) -> None:
        """Writes one element: a tuple with one index per dimension, or an int on a
        one-dimensional array."""

    def __delitem__(self, key: object) -> None:
        """Always raises NotImplementedError "can't delete item"."""

    def __contains__(self, value: _Float) -> bool:
        """Some element equals ``value`` (so NaN is never contained, and 0.0 matches -0.0)."""

    def __iter__(self) -> PyArrayIter:
        """Iterates a snapshot of the flat data in row-major order (elements, not rows)."""

    def get(self, indices: Sequence[SupportsIndex]) -> float:
        """The element at a full multi-index of non-negative ints.

        Raises ValueError "Index out of bounds" for a wrong count or an index too large.
        """

    def take(self, indices: Sequence[SupportsIndex]) -> Array:
        """One-dimensional Array of the elements at flat row-major positions, in the order
        given (repeats allowed).

        Raises ValueError "take index {i} is out of bounds for an array of {n} elements".
        """

    @staticmethod
    def from_numpy(arr: numpy.ndarray) -> Array:
        """A copy of a float64 NumPy array of any shape. Fortran-ordered arrays are read in
        row-major element order.

        Raises TypeError "'{type}' object cannot be cast as 'ndarray'" for anything but a
        float64 ndarray and "The given array is not contiguous" for strided views. NumPy is
        imported on first use; without it the internal-error exception is raised.
        """

    def to_numpy(self) -> numpy.ndarray:
        """A new writeable, C-contiguous float64 NumPy array of the same shape holding a copy
        of the data."""

    # --- pickling, copying and the NumPy array protocol ---

    def __reduce_ex__(self, protocol: SupportsIndex) -> tuple:
        """Pickles to ``(veltrix._array_from_bytes, (shape, data))``: the shape as a tuple and
        the raw little-endian float64 bytes, every bit kept (-0.0, infinities, NaN payloads).
        From protocol 5 the bytes are a ``pickle.PickleBuffer``, so a pickler with a
        ``buffer_callback`` (multiprocessing, Dask) moves them out of band without copying.
        The reconstructor raises ValueError for a shape that is not a tuple of non-negative
        ints, data that is not bytes-like, or a byte count that does not match the shape."""

    def __copy__(self) -> Array:
        """An independent copy (``copy.copy``): nothing is ever shared between Arrays."""

    def __deepcopy__(self, memo: dict) -> Array:
        """An independent copy, as ``__copy__``."""

    def __array__(self, dtype: Optional[object] = None, copy: Optional[bool] = None) -> numpy.ndarray:
        """NumPy's array protocol: a fresh copy with this Array's shape (float64, or ``dtype``
        when given), so ``numpy.asarray(a)`` and mixed operations (``a @ x``, ``x + a``,
        ``numpy.exp(a)``) see the true shape and return NumPy results. ``copy=False`` raises
        ValueError: an Array never shares its data."""

    def __array_function__(self, func: object, types: object, args: tuple, kwargs: dict) -> object:
        """Runs a NumPy function (``numpy.sum``, ``numpy.mean``, ``numpy.transpose``, ...) on
        the arguments with every Array converted by ``__array__``, also inside lists, tuples
        and dicts, so it behaves as on ``numpy.asarray(a)``; the Array methods of the same
        names keep their own signatures. Returns NotImplemented when another type takes part."""

    # --- linear algebra ---

    @staticmethod
    def diag(v: Union[Array, Sequence[_Float]], k: Optional[SupportsIndex] = None) -> Array:
        """The square matrix of side len(v) + |k| with ``v`` on diagonal k (0 when None).

        ``v`` must be one-dimensional (internal error "Input must be 1D" otherwise).
        """

    @staticmethod
    def outer(a: Union[Array, Sequence[_Float]], b: Union[Array, Sequence[_Float]]) -> Array:
        """The [len(a), len(b)] matrix of products a[i]*b[j]; both must be one-dimensional."""

    def diagonal(self, k: Optional[SupportsIndex] = None) -> Array:
        """Diagonal k of a matrix (k > 0 above the main one); empty when k lies outside.

        Raises ValueError "diagonal requires a 2D array" for any other rank.
        """

    def matmul(self, other: Array) -> Array:
        """``veltrix.linalg.matmul(self, other)``."""

    def dot(self, other: Array) -> Array:
        """``veltrix.linalg.matmul(self, other)``."""

    def transpose(self) -> Array:
        """The transposed matrix (internal error "transpose requires 2D array" otherwise)."""

    def t(self) -> Array:
        """The transposed matrix, as ``transpose()``."""

    def __matmul__(self, other: Array) -> Array:
        """``matmul(self, other)`` for two Arrays; other operands raise TypeError."""

    # --- statistics ---

    def sum(self) -> float:
        """Sum of all elements from -0.0, strictly in row-major order (-0.0 when empty)."""

    def mean(self) -> float:
        """``sum()`` divided by the element count (NaN when empty)."""

    def var(self) -> float:
        """Population variance (divisor N), two passes over the data (NaN when empty)."""

    def std(self) -> float:
        """Square root of ``var()``."""

    def median(self) -> float:
        """Middle element of the stable ascending order, or the mean of the two middle ones
        (added, then halved). NaN when empty or when an element is NaN."""

    def quantile(self, q: Union[Array, _Float]) -> Union[float, Array]:
        """Linearly interpolated quantile at position q * (N - 1) of the ascending order.

        A scalar ``q`` gives a float; an Array ``q`` (any shape) gives an Array of shape [K]
        with one quantile per element. NaN when empty or when an element is NaN. A
        probability outside [0, 1] raises the internal error "Quantile must be between 0 and 1".
        """

    def any(self) -> bool:
        """True when some element differs from zero (NaN counts)."""

    def all(self) -> bool:
        """True when no element equals zero (-0.0 counts as zero, NaN does not)."""

    # --- NumPy-style basics ---

    @property
    def ndim(self) -> int:
        """The number of dimensions (0 for a rank-0 array)."""

    @property
    def size(self) -> int:
        """The element count, as ``len(a)``."""

    @property
    def nbytes(self) -> int:
        """The size of the data in bytes, 8 per element."""

    @property
    def T(self) -> Array:
        """The axes in reverse order, as NumPy's ``T``: for a matrix the same result as
        ``t()``; a copy for ranks 0 and 1. Never raises, so introspection can read it."""

    def reshape(self, shape: _Shape) -> Array:
        """A new Array with the same elements in row-major order and the given shape; one
        entry may be -1, the length that makes the element counts agree.

        Raises ValueError "cannot reshape array of size {n} into shape {shape} of size {m}"
        when the counts differ, "cannot reshape array of size {n} into shape {shape}" when
        no -1 length fits, "can only specify one unknown dimension" and "negative dimensions
        not allowed".
        """

    def copy(self) -> Array:
        """An independent copy."""

    def min(self) -> float:
        """The smallest element; NaN when an element is NaN. Of equal zeros (0.0, -0.0) the
        first in row-major order is returned: the element at ``argmin()``.

        Raises ValueError "zero-size array has no minimum" when empty.
        """

    def max(self) -> float:
        """The largest element; NaN when an element is NaN. Of equal zeros (0.0, -0.0) the
        first in row-major order is returned: the element at ``argmax()``.

        Raises ValueError "zero-size array has no maximum" when empty.
        """

    def argmin(self) -> int:
        """Flat row-major position of the first smallest element, or of the first NaN.

        Raises ValueError "zero-size array has no minimum" when empty.
        """

    def argmax(self) -> int:
        """Flat row-major position of the first largest element, or of the first NaN.

        Raises ValueError "zero-size array has no maximum" when empty.
        """

class PyArrayIter:
    """Iterator over an Array's elements, holding its own copy of the data. It has no
    constructor: calling the class raises TypeError."""

    def __iter__(self) -> PyArrayIter: ...
    def __next__(self) -> float: ...

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

def diag(v: Union[Array, Sequence[_Float]], k: Optional[SupportsIndex] = None) -> Array:
    """The square matrix of side len(v) + |k| with ``v`` on diagonal k (0 when None)."""

# ---------------------------------------------------------------------------------------------
# Random numbers

class Generator:
    """A xoshiro256** generator; every stream is reproducible bit for bit from its seed.

    ``Generator()`` seeds from the real-time clock. Each sampling method fills a new Array of
    the given shape (a sequence of non-negative ints; ``[]`` gives one value, a zero length no
    values) in row-major order. Arguments are converted before anything is drawn, so a call
    that fails draws nothing. Parameter checks raise the internal-error exception
    (``PanicException``), not ValueError; a shape whose element count does not fit raises
    ValueError. A sampling call holds the instance exclusively: a second call on the same
    instance meanwhile raises RuntimeError "Already borrowed".
    """

    def __new__(cls) -> Generator:
        """A generator seeded from the clock in nanoseconds since the Unix epoch."""

    @staticmethod
    def from_seed(seed: SupportsIndex) -> Generator:
        """A generator seeded from an unsigned 64-bit value (OverflowError outside
        [0, 2**64 - 1]); equal seeds give identical streams."""

    def uniform(self, low: _Float, high: _Float, shape: _Shape) -> Array:
        """(u * (high - low)) + low for draws u in [0, 1); raises "low must be less than high"
        unless low < high."""

    def randint(self, low: SupportsIndex, high: SupportsIndex, shape: _Shape) -> Array:
        """Integers in [low, high - 1] as floats, low + (next 64-bit draw mod (high - low)).

        low and high are signed 64-bit ints (a float raises TypeError); raises "low must be
        less than high" unless low < high.
        """

    def normal(self, mu: _Float, sigma: _Float, shape: _Shape) -> Array:
        """(z * sigma) + mu for the standard normal draws z; any sigma, also 0 or negative."""

    def standard_normal(self, shape: _Shape) -> Array:
        """Box-Muller variates: sine then cosine value of each pair of draws, one sine value
        for an odd count."""

    def lognormal(self, mu: _Float, sigma: _Float, shape: _Shape) -> Array:
        """exp((z * sigma) + mu) for the standard normal draws z."""

    def gamma(self, shape_param: _Float, scale: _Float, shape: _Shape) -> Array:
        """Marsaglia-Tsang gamma variates times scale (shapes below 1 boosted by a power of one
        more draw); raises "shape parameter must be positive", then "scale must be positive"."""

    def beta(self, alpha: _Float, beta_param: _Float, shape: _Shape) -> Array:
        """x / (y + x) of gamma variates x (shape alpha) and y (shape beta_param), drawn in that
        order; raises "alpha must be positive", then "beta must be positive". Where both
        variates underflow to 0.0 the ratio comes from their logarithms."""

    # --- parallel streams, pickling and copying ---

    def jumped(self, jumps: SupportsIndex = 1) -> Generator:
        """A new generator whose state is this one advanced by ``jumps`` x 2**128 draws, by
        xoshiro256**'s published jump polynomial. This generator is unchanged."""

    def spawn(self, n: SupportsIndex) -> List[Generator]:
        """``n`` generators for parallel or distributed work, from consecutive blocks of 2**128
        draws: child i (0-based) is this generator jumped i + 1 times, and this generator then
        stands n + 1 jumps ahead (as ``self.jumped(n + 1)``; ``spawn(0)`` still moves it one
        jump). So the children and the parent never overlap unless one of them draws 2**128
        values, and the same parent state always spawns the same children. Holds the instance
        exclusively, like a sampling call."""

    def __reduce__(self) -> tuple:
        """Pickles to ``(veltrix._generator_from_state, (s0, s1, s2, s3))``, the four state
        words; the restored generator continues the same stream bit for bit. The
        reconstructor raises ValueError for words that are not ints in [0, 2**64) and
        "Generator state must not be all zero"."""

    def __copy__(self) -> Generator:
        """An independent generator with the same state (``copy.copy``)."""

    def __deepcopy__(self, memo: dict) -> Generator:
        """An independent generator with the same state, as ``__copy__``."""

# ---------------------------------------------------------------------------------------------
# Spatial trees: BallTree, KDTree and VPTree answer the same queries, documented once here.

_Query = Union[_Float, Sequence[_Float], Array]
_Queries = Union[None, _Float, Sequence[_Float], Array]
_Weights = Union[Sequence[_Float], Array, numpy.ndarray]

class _SpatialTree:
    """What the three tree classes share. Instances come only from ``from_array``: calling a
    class raises TypeError. A tree keeps a private copy of the points and never changes;
    results name input row numbers.
    """

    @staticmethod
    def from_array(array: Array, leaf_size: Optional[SupportsIndex] = 20, metric: Optional[str] = "euclidean") -> _SpatialTree:
        """Builds the tree over the rows of a 2-D Array (n_points, dim); None means the default.

        ``metric`` is "euclidean", "manhattan" or "chebyshev" in any letter case.
        Raises ValueError "Points must not contain NaN coordinates", "leaf_size must be at
        least 1" and "Unknown distance metric '...'. Valid options: ..."; an Array that is not
        2-D raises the internal error "Expected 2D array (n_points, dim)".
        """

    @staticmethod
    def from_points(points: _Rows, *, leaf_size: Optional[SupportsIndex] = 20, metric: Optional[str] = "euclidean",
                    boxsize: Union[None, _Float, Sequence[_Float], Array, numpy.ndarray] = None,
                    workers: Optional[SupportsIndex] = 1) -> _SpatialTree:
        """Builds the tree over ``points``: a 2-D Array, a 2-D NumPy array of any real dtype and
        memory layout (read as float64), or a sequence of equal-length sequences of numbers.

        Without ``boxsize`` the tree is the one ``from_array`` builds from the same float64
        values: same structure, same results, same pickled state. A float64 NumPy array is
        read straight into the tree's own copy of the points, with no other copy.

        ``boxsize``: one side length, or one per dimension, each positive and finite; space
        is then periodic (a torus). Per coordinate the difference is taken the shorter way
        round, t = |a - b|, t = min(t, L - t), before the metric accumulates as usual, so every
        distance of every query method (single-point and batch) is the minimum-image
        distance. Stored and query points may lie anywhere: both are wrapped into [0, L) as
        x - L * floor(x / L) (a result that rounds to L becomes 0), so a query reports the
        distances to the wrapped points. A periodic tree pickles with its box.

        ``workers``: threads for the build (-1: every core this process may use); large
        point sets split their independent subtrees over them. The tree is identical bit
        for bit for every value. The build runs without the interpreter lock.

        Raises ValueError "points must have two dimensions (n_points, dim), not {}",
        "points must be finite in a periodic box, but row {} is not" (NaN or an infinity in
        a periodic tree; other trees refuse only NaN, as ``from_array``), "boxsize must be one
        length or one per dimension: got {} for dimension {}", "boxsize lengths must be
        positive and finite", "leaf_size must be at least 1", the metric error and workers of
        0 or below -1; TypeError "argument 'points': ..." or "argument 'boxsize': ..." for
        values that are not real numbers.
        """

    @property
    def boxsize(self) -> Optional[Tuple[float, ...]]:
        """The periodic box's side lengths, one per dimension, or None for a tree that is not
        periodic (read-only)."""

    def query_knn(self, query: _Query, k: SupportsIndex) -> List[int]:
        """Input rows of the k nearest points, nearest first (fewer when the tree holds fewer).

        The query is a number, a sequence of numbers or any Array (its elements in row-major
        order) of the tree's dimension; among equal distances the neighbour heap's order
        decides. Raises ValueError "query must be a scalar, list, or Array" and "Query vector
        length {} doesn't match tree dimension {}".
        """

    def query_radius(self, query: _Query, radius: _Float) -> List[int]:
        """Input rows of every point at distance <= radius, in the tree's depth-first visiting
        order (not sorted). Query forms and errors as ``query_knn``."""

    def kernel_density(self, queries: _Queries = None, bandwidth: Optional[_Float] = 1.0,
                       kernel: Optional[str] = "gaussian") -> Union[float, Array]:
        """Unnormalised density sum of K(d / bandwidth) over the stored points, per query row.

        ``queries``: None (the stored points, results in input-row order), a number (one query
        of width 1), a 1-D Array or sequence (one query) or a 2-D Array (one query per row).
        ``kernel``: "gaussian", "epanechnikov", "uniform" or "triangular". Nodes whose nearest
        possible point weighs below 1e-10 are skipped. One query row gives a float, otherwise
        an Array of shape (n_queries,). Raises ValueError for an unknown kernel, "bandwidth
        must be positive" (zero, negative or NaN), "queries must be a scalar, list, or Array",
        "queries must be 1D or 2D array" and the dimension mismatches "Query dimension {}
        doesn't match tree dimension {}" (Array) and "Query vector length {} doesn't match
        tree dimension {}" (sequence).
        """

    def kernel_density_approx(self, queries: _Queries = None, bandwidth: Optional[_Float] = 1.0,
                              kernel: Optional[str] = "gaussian", criterion: Optional[str] = "none",
                              min_samples: Optional[SupportsIndex] = None,
                              max_span: Optional[_Float] = None) -> Union[float, Array]:
        """``kernel_density`` that may replace a whole internal node by n times the mean of the
        kernel at its near and far distances.

        ``criterion``: "none" (exact), "min_samples" (nodes of at least min_samples points),
        "max_span" (nodes no wider than max_span) or "combined" (both); leaves are always
        summed exactly. The kernel is parsed first, then the criterion: ValueError "Unknown
        approximation criterion '...'. Valid options: ..." or "min_samples parameter required
        for '...' criterion" / "max_span parameter required for '...' criterion".
        """

    def __reduce_ex__(self, protocol: SupportsIndex) -> tuple:
        """Pickles to ``(veltrix._tree_from_state, (state,))``: a compact versioned byte state
        holding the points in tree order (raw little-endian float64), the build parameters and
        what cannot be rebuilt bit for bit (row numbers, split positions, ball centroids and
        radii, vantage points, thresholds and distance ranges, so a random-selection tree comes
        back with its structure), a PickleBuffer from protocol 5. The loaded tree answers every
        query with the same results, orders and bits. Loading checks everything it reads: a
        truncated, altered or foreign state raises ValueError."""

    def __copy__(self) -> _SpatialTree:
        """An independent tree answering every query identically (``copy.copy``)."""

    def __deepcopy__(self, memo: dict) -> _SpatialTree:
        """An independent tree, as ``__copy__``."""

    def query(
        self,
        X: _Rows,
        k: Optional[SupportsIndex] = 1,
        *,
        return_distance: bool = True,
        distance_upper_bound: Optional[_Float] = 1e999,
        workers: Optional[SupportsIndex] = 1,
    ) -> Union[Tuple[numpy.ndarray, numpy.ndarray], numpy.ndarray]:
        """The k nearest stored points of every query row, as ``(distances, indices)``.

        ``X``: query rows (a 2-D Array, a 2-D NumPy array of any real dtype and layout, or a
        sequence of equal-length sequences of numbers) or one point (1-D); an empty sequence
        is a batch of no rows. Returns float64 and int64 arrays of shape (m, k), or (k,) for
        one point, nearest first; ``indices`` alone without ``return_distance``. Row i equals
        ``query_knn(X[i], k)``, its distances as the tree's metric computes them.
        ``distance_upper_bound`` (default infinity, written 1e999): neighbours at a distance
        d > bound are left out, d <= bound kept; places left over hold distance inf and
        index n (the number of stored points). With the default the results are those of
        the unbounded search, bit for bit.
        ``workers``: threads for the search (-1: every core this process may use); rows are
        handed out in small blocks, and the result never depends on it. The search runs
        without the interpreter lock. Raises ImportError "veltrix batch queries need NumPy"
        without NumPy; ValueError for k above the number of points or negative, a width
        other than the tree's dimension, ragged rows, more than two dimensions, "queries
        must not contain NaN", "distance_upper_bound must not be negative or NaN" and
        workers of 0 or below -1; TypeError "argument 'X': ..." for rows that are not real
        numbers.
        """

    def query_ball_point(
        self,
        X: _Rows,
        r: Union[_Float, Sequence[_Float], Array, numpy.ndarray],
        *,
        return_distance: bool = False,
        sort_results: bool = False,
        count_only: bool = False,
        workers: Optional[SupportsIndex] = 1,
    ) -> Union[List[numpy.ndarray], Tuple[List[numpy.ndarray], List[numpy.ndarray]], numpy.ndarray, int]:
        """The stored points within distance r (inclusive) of every query row.

        ``r``: one radius, or one per row; none negative or NaN. Returns a list of m int64
        arrays, row i in the order ``query_radius(X[i], r_i)`` gives (by distance, then row
        number, with ``sort_results``), with a matching list of float64 distance arrays as
        ``(indices, distances)`` when ``return_distance``; ``count_only`` gives one int64 array
        of m counts instead (and ignores the other two). One point gives a single array (an
        int when counting). ``X``, ``workers`` and errors as ``query``, plus ValueError for a
        radius list of the wrong length.
        """

    def density(
        self,
        X: Optional[_Rows] = None,
        bandwidth: Union[_Float, str, None] = 1.0,
        kernel: Optional[str] = "gaussian",
        *,
        weights: Optional[_Weights] = None,
        normalize: bool = False,
        log: bool = False,
        criterion: Optional[str] = "none",
        min_samples: Optional[SupportsIndex] = None,
        max_span: Optional[_Float] = None,
        workers: Optional[SupportsIndex] = 1,
    ) -> numpy.ndarray:
        """``kernel_density_approx`` of every query row, as a float64 array of shape (m,).

        ``X`` None means the stored points, in input-row order; one point gives shape (1,).
        Each value equals ``kernel_density_approx`` (criterion "none": ``kernel_density``) for
        its row, bit for bit, when no keyword below is used.

        ``weights``: one non-negative finite weight per stored point (input-row order); each
        point's term is multiplied by its weight, and an approximated node counts its weight
        sum instead of its point count (``min_samples`` still compares the count). All ones
        give the unweighted bits. ``normalize=True`` divides by W * h**d * c (W the point count
        or the weight sum, c = ``veltrix.spatial._kernel_norm(kernel, metric, d)``), giving a
        probability density. ``log=True`` returns the natural logarithm: ``log`` of the value
        wherever it is a normal number; a gaussian sum that underflowed is recomputed as a
        log-sum-exp over every point, so it stays finite; bounded kernels give -inf out of
        reach. ``bandwidth`` may name a rule, "scott" or "silverman" (see ``bandwidth``).

        ValueError for weights of the wrong shape or length, negative, NaN or infinite ones,
        ``normalize=True`` with a zero total weight, an unknown rule name, or a rule the
        points leave undefined. Kernel, criterion and bandwidth errors as
        ``kernel_density_approx``; ``X``, ``workers`` and the other errors as ``query``.
        """

    def bandwidth(self, rule: str, *, weights: Optional[_Weights] = None) -> float:
        """The bandwidth a rule gives for the stored points: "scott", h = s * n**(-1/(d+4)),
        or "silverman", h = s * (n * (d+2) / 4)**(-1/(d+4)), with s the square root of the mean
        over coordinates of the sample variances (ddof 1). With ``weights``: the weighted
        variances of ``numpy.cov(..., aweights=w)`` and Kish's effective size
        n = sum(w)**2 / sum(w**2). ValueError for an unknown rule or when the points have no
        spread or an effective size of at most 1.
        """

    def sample(
        self,
        n: SupportsIndex,
        generator: Generator,
        bandwidth: Union[_Float, str, None] = 1.0,
        kernel: Optional[str] = "gaussian",
        *,
        weights: Optional[_Weights] = None,
    ) -> numpy.ndarray:
        """n rows drawn from the density estimate, as a float64 array of shape (n, d).

        Each row is a stored point (chosen uniformly, or in proportion to ``weights``) plus a
        kernel offset scaled by the bandwidth; a periodic tree wraps the rows into its box.
        The generator advances exactly as ``generator.uniform(0.0, 1.0, [n])`` (the choices)
        followed by the offset draws: ``standard_normal([n, d])`` for the gaussian (under
        manhattan or chebyshev, the length of those normals along a direction given by the
        uniform kernel's draws of that metric, so the offsets follow the metric's kernel);
        ``uniform(-1.0, 1.0, [n, d])`` for the uniform kernel under chebyshev;
        ``uniform(0.0, 1.0, [n, 2 * d])`` for the uniform kernel under manhattan;
        ``standard_normal([n, d])`` then ``beta(a, b, [n])`` for the uniform (a = d, b = 1),
        epanechnikov (a = d / 2, b = 2) and triangular (a = d, b = 2) kernels under euclidean.
        The epanechnikov and triangular kernels need the euclidean metric (ValueError naming
        ``kernel`` otherwise). ValueError for a negative n, an empty tree, zero total weight
        and the weight and bandwidth errors of ``density``; TypeError when ``generator`` is
        not a ``veltrix.random.Generator``.
        """

    def query_pairs(
        self,
        r: _Float,
        *,
        return_distance: bool = False,
        workers: Optional[SupportsIndex] = 1,
    ) -> Union[numpy.ndarray, Tuple[numpy.ndarray, numpy.ndarray]]:
        """Every pair (i, j), i < j, of the tree's own input rows at distance <= r, as an int64
        array of shape (m, 2) sorted by i, then j; with ``return_distance`` also the float64
        distances, as ``(pairs, distances)``, each with the bits ``query`` gives (on a
        periodic tree the minimum-image distances).

        ``r`` finite and not negative (ValueError "r must be finite and not negative").
        ``workers`` as ``query``: the result never depends on it; the search runs without
        the interpreter lock. A result too large for memory raises MemoryError.
        """

    def count_neighbors(
        self,
        other: Union[_SpatialTree, _Rows],
        r: Union[_Float, Sequence[_Float], Array, numpy.ndarray],
        *,
        weights: Optional[Tuple[Optional[Union[Sequence[_Float], Array, numpy.ndarray]], Optional[Union[Sequence[_Float], Array, numpy.ndarray]]]] = None,
        cumulative: bool = True,
        workers: Optional[SupportsIndex] = 1,
    ) -> Union[int, float, numpy.ndarray]:
        """The number of pairs (x from this tree, y from ``other``) at distance <= r.

        ``other``: a tree of the same class, dimension, metric and periodic box (TypeError for
        another class, ValueError otherwise), or query points in any form ``query`` accepts
        (wrapped into the box of a periodic tree, where they must be finite).
        ``r``: one radius (an int result) or a one-dimensional non-decreasing array of radii
        (an int64 array of one count per radius); each finite and not negative. With
        ``cumulative=False`` entry i counts the pairs in (r[i-1], r[i]] (entry 0: [0, r[0]]).
        ``weights``: None, or a pair ``(w_self, w_other)`` of one-dimensional arrays of finite
        non-negative floats, one per row of this tree / of ``other``, either of which may be
        None (all ones): the result is then the float64 sum of w_x * w_y over the counted
        pairs (a float for one radius). Counts are exact.

        Summation order of the weighted sums, the same for every ``workers``: this tree is cut
        into fixed subtrees (a function of the tree alone), taken in the order of its stored
        points; each subtree sums its pairs per bin (r[i-1], r[i]] in the order of its
        dual-tree walk, two nodes whose distance bounds fall in one bin contributing the
        product of their weight sums (each node's sum built over its points in stored order,
        an internal node's as left + right); bin i is the subtrees' sums added in order from
        0.0, and the cumulative result adds the bins in radius order.
        """

    def sparse_distance_matrix(
        self,
        other: Union[_SpatialTree, _Rows],
        max_distance: _Float,
        *,
        workers: Optional[SupportsIndex] = 1,
    ) -> Tuple[numpy.ndarray, numpy.ndarray, numpy.ndarray]:
        """``(rows, cols, distances)`` — int64, int64, float64 — of every pair (row of this
        tree, row of ``other``) at distance <= max_distance, sorted by row, then column.

        ``other`` as for ``count_neighbors``; ``max_distance`` finite and not negative. As a
        SciPy sparse array: ``scipy.sparse.coo_array((distances, (rows, cols)), shape=(n,
        m))`` with n this tree's points and m ``other``'s rows (pairs at distance 0 are
        stored entries, which a sparse matrix cannot tell from absent ones).
        """

class BallTree(_SpatialTree):
    """Ball tree: nodes bounded by a centroid and a radius in the tree's metric."""

    @staticmethod
    def from_array(array: Array, leaf_size: Optional[SupportsIndex] = 20, metric: Optional[str] = "euclidean") -> BallTree:
        """As ``_SpatialTree.from_array``."""
    @staticmethod
    def from_points(points: _Rows, *, leaf_size: Optional[SupportsIndex] = 20, metric: Optional[str] = "euclidean", boxsize: Union[None, _Float, Sequence[_Float], Array, numpy.ndarray] = None, workers: Optional[SupportsIndex] = 1) -> BallTree:
        """As ``_SpatialTree.from_points``."""
    def query_knn(self, query: _Query, k: SupportsIndex) -> List[int]: """As ``_SpatialTree.query_knn``."""
    def query_radius(self, query: _Query, radius: _Float) -> List[int]: """As ``_SpatialTree.query_radius``."""
    def kernel_density(self, queries: _Queries = None, bandwidth: Optional[_Float] = 1.0, kernel: Optional[str] = "gaussian") -> Union[float, Array]: """As ``_SpatialTree.kernel_density``."""
    def kernel_density_approx(self, queries: _Queries = None, bandwidth: Optional[_Float] = 1.0, kernel: Optional[str] = "gaussian", criterion: Optional[str] = "none", min_samples: Optional[SupportsIndex] = None, max_span: Optional[_Float] = None) -> Union[float, Array]: """As ``_SpatialTree.kernel_density_approx``."""
    def __reduce_ex__(self, protocol: SupportsIndex) -> tuple: """As ``_SpatialTree.__reduce_ex__``."""
    def __copy__(self) -> BallTree: """As ``_SpatialTree.__copy__``."""
    def __deepcopy__(self, memo: dict) -> BallTree: """As ``_SpatialTree.__deepcopy__``."""
    def query(self, X: _Rows, k: Optional[SupportsIndex] = 1, *, return_distance: bool = True, distance_upper_bound: Optional[_Float] = 1e999, workers: Optional[SupportsIndex] = 1) -> Union[Tuple[numpy.ndarray, numpy.ndarray], numpy.ndarray]: """As ``_SpatialTree.query``."""
    def query_ball_point(self, X: _Rows, r: Union[_Float, Sequence[_Float], Array, numpy.ndarray], *, return_distance: bool = False, sort_results: bool = False, count_only: bool = False, workers: Optional[SupportsIndex] = 1) -> Union[List[numpy.ndarray], Tuple[List[numpy.ndarray], List[numpy.ndarray]], numpy.ndarray, int]: """As ``_SpatialTree.query_ball_point``."""
    def density(self, X: Optional[_Rows] = None, bandwidth: Union[_Float, str, None] = 1.0, kernel: Optional[str] = "gaussian", *, weights: Optional[_Weights] = None, normalize: bool = False, log: bool = False, criterion: Optional[str] = "none", min_samples: Optional[SupportsIndex] = None, max_span: Optional[_Float] = None, workers: Optional[SupportsIndex] = 1) -> numpy.ndarray: """As ``_SpatialTree.density``."""
    def bandwidth(self, rule: str, *, weights: Optional[_Weights] = None) -> float: """As ``_SpatialTree.bandwidth``."""
    def sample(self, n: SupportsIndex, generator: Generator, bandwidth: Union[_Float, str, None] = 1.0, kernel: Optional[str] = "gaussian", *, weights: Optional[_Weights] = None) -> numpy.ndarray: """As ``_SpatialTree.sample``."""
    def query_pairs(self, r: _Float, *, return_distance: bool = False, workers: Optional[SupportsIndex] = 1) -> Union[numpy.ndarray, Tuple[numpy.ndarray, numpy.ndarray]]: """As ``_SpatialTree.query_pairs``."""
    def count_neighbors(self, other: Union[_SpatialTree, _Rows], r: Union[_Float, Sequence[_Float], Array, numpy.ndarray], *, weights: Optional[Tuple[Optional[Union[Sequence[_Float], Array, numpy.ndarray]], Optional[Union[Sequence[_Float], Array, numpy.ndarray]]]] = None, cumulative: bool = True, workers: Optional[SupportsIndex] = 1) -> Union[int, float, numpy.ndarray]: """As ``_SpatialTree.count_neighbors``."""
    def sparse_distance_matrix(self, other: Union[_SpatialTree, _Rows], max_distance: _Float, *, workers: Optional[SupportsIndex] = 1) -> Tuple[numpy.ndarray, numpy.ndarray, numpy.ndarray]: """As ``_SpatialTree.sparse_distance_matrix``."""

class KDTree(_SpatialTree):
    """k-d tree: nodes bounded by their boxes, split at the median of the widest coordinate."""

    @staticmethod
    def from_array(array: Array, leaf_size: Optional[SupportsIndex] = 20, metric: Optional[str] = "euclidean") -> KDTree:
        """As ``_SpatialTree.from_array``."""
    @staticmethod
    def from_points(points: _Rows, *, leaf_size: Optional[SupportsIndex] = 20, metric: Optional[str] = "euclidean", boxsize: Union[None, _Float, Sequence[_Float], Array, numpy.ndarray] = None, workers: Optional[SupportsIndex] = 1) -> KDTree:
        """As ``_SpatialTree.from_points``."""
    def query_knn(self, query: _Query, k: SupportsIndex) -> List[int]: """As ``_SpatialTree.query_knn``."""
    def query_radius(self, query: _Query, radius: _Float) -> List[int]: """As ``_SpatialTree.query_radius``."""
    def kernel_density(self, queries: _Queries = None, bandwidth: Optional[_Float] = 1.0, kernel: Optional[str] = "gaussian") -> Union[float, Array]: """As ``_SpatialTree.kernel_density``."""
    def kernel_density_approx(self, queries: _Queries = None, bandwidth: Optional[_Float] = 1.0, kernel: Optional[str] = "gaussian", criterion: Optional[str] = "none", min_samples: Optional[SupportsIndex] = None, max_span: Optional[_Float] = None) -> Union[float, Array]: """As ``_SpatialTree.kernel_density_approx``."""
    def __reduce_ex__(self, protocol: SupportsIndex) -> tuple: """As ``_SpatialTree.__reduce_ex__``."""
    def __copy__(self) -> KDTree: """As ``_SpatialTree.__copy__``."""
    def __deepcopy__(self, memo: dict) -> KDTree: """As ``_SpatialTree.__deepcopy__``."""
    def query(self, X: _Rows, k: Optional[SupportsIndex] = 1, *, return_distance: bool = True, distance_upper_bound: Optional[_Float] = 1e999, workers: Optional[SupportsIndex] = 1) -> Union[Tuple[numpy.ndarray, numpy.ndarray], numpy.ndarray]: """As ``_SpatialTree.query``."""
    def query_ball_point(self, X: _Rows, r: Union[_Float, Sequence[_Float], Array, numpy.ndarray], *, return_distance: bool = False, sort_results: bool = False, count_only: bool = False, workers: Optional[SupportsIndex] = 1) -> Union[List[numpy.ndarray], Tuple[List[numpy.ndarray], List[numpy.ndarray]], numpy.ndarray, int]: """As ``_SpatialTree.query_ball_point``."""
    def density(self, X: Optional[_Rows] = None, bandwidth: Union[_Float, str, None] = 1.0, kernel: Optional[str] = "gaussian", *, weights: Optional[_Weights] = None, normalize: bool = False, log: bool = False, criterion: Optional[str] = "none", min_samples: Optional[SupportsIndex] = None, max_span: Optional[_Float] = None, workers: Optional[SupportsIndex] = 1) -> numpy.ndarray: """As ``_SpatialTree.density``."""
    def bandwidth(self, rule: str, *, weights: Optional[_Weights] = None) -> float: """As ``_SpatialTree.bandwidth``."""
    def sample(self, n: SupportsIndex, generator: Generator, bandwidth: Union[_Float, str, None] = 1.0, kernel: Optional[str] = "gaussian", *, weights: Optional[_Weights] = None) -> numpy.ndarray: """As ``_SpatialTree.sample``."""
    def query_pairs(self, r: _Float, *, return_distance: bool = False, workers: Optional[SupportsIndex] = 1) -> Union[numpy.ndarray, Tuple[numpy.ndarray, numpy.ndarray]]: """As ``_SpatialTree.query_pairs``."""
    def count_neighbors(self, other: Union[_SpatialTree, _Rows], r: Union[_Float, Sequence[_Float], Array, numpy.ndarray], *, weights: Optional[Tuple[Optional[Union[Sequence[_Float], Array, numpy.ndarray]], Optional[Union[Sequence[_Float], Array, numpy.ndarray]]]] = None, cumulative: bool = True, workers: Optional[SupportsIndex] = 1) -> Union[int, float, numpy.ndarray]: """As ``_SpatialTree.count_neighbors``."""
    def sparse_distance_matrix(self, other: Union[_SpatialTree, _Rows], max_distance: _Float, *, workers: Optional[SupportsIndex] = 1) -> Tuple[numpy.ndarray, numpy.ndarray, numpy.ndarray]: """As ``_SpatialTree.sparse_distance_matrix``."""

class VPTree(_SpatialTree):
    """Vantage-point tree: nodes split by the metric distance to one of their points."""

    @staticmethod
    def from_array(array: Array, leaf_size: Optional[SupportsIndex] = 20, metric: Optional[str] = "euclidean", selection: Optional[str] = "first") -> VPTree:
        """As ``_SpatialTree.from_array``.

        ``selection`` "first" or "random" (a clock-seeded draw per node) picks each node's
        vantage point; "Unknown vantage point selection method '...'. Valid options: ..." else.
        """
    @staticmethod
    def from_points(points: _Rows, *, leaf_size: Optional[SupportsIndex] = 20, metric: Optional[str] = "euclidean", selection: Optional[str] = "first", boxsize: Union[None, _Float, Sequence[_Float], Array, numpy.ndarray] = None, workers: Optional[SupportsIndex] = 1) -> VPTree:
        """As ``_SpatialTree.from_points``, with ``selection`` as ``VPTree.from_array``."""
    def query_knn(self, query: _Query, k: SupportsIndex) -> List[int]: """As ``_SpatialTree.query_knn``."""
    def query_radius(self, query: _Query, radius: _Float) -> List[int]: """As ``_SpatialTree.query_radius``."""
    def kernel_density(self, queries: _Queries = None, bandwidth: Optional[_Float] = 1.0, kernel: Optional[str] = "gaussian") -> Union[float, Array]: """As ``_SpatialTree.kernel_density``."""
    def kernel_density_approx(self, queries: _Queries = None, bandwidth: Optional[_Float] = 1.0, kernel: Optional[str] = "gaussian", criterion: Optional[str] = "none", min_samples: Optional[SupportsIndex] = None, max_span: Optional[_Float] = None) -> Union[float, Array]: """As ``_SpatialTree.kernel_density_approx``."""
    def __reduce_ex__(self, protocol: SupportsIndex) -> tuple: """As ``_SpatialTree.__reduce_ex__``."""
    def __copy__(self) -> VPTree: """As ``_SpatialTree.__copy__``."""
    def __deepcopy__(self, memo: dict) -> VPTree: """As ``_SpatialTree.__deepcopy__``."""
    def query(self, X: _Rows, k: Optional[SupportsIndex] = 1, *, return_distance: bool = True, distance_upper_bound: Optional[_Float] = 1e999, workers: Optional[SupportsIndex] = 1) -> Union[Tuple[numpy.ndarray, numpy.ndarray], numpy.ndarray]: """As ``_SpatialTree.query``."""
    def query_ball_point(self, X: _Rows, r: Union[_Float, Sequence[_Float], Array, numpy.ndarray], *, return_distance: bool = False, sort_results: bool = False, count_only: bool = False, workers: Optional[SupportsIndex] = 1) -> Union[List[numpy.ndarray], Tuple[List[numpy.ndarray], List[numpy.ndarray]], numpy.ndarray, int]: """As ``_SpatialTree.query_ball_point``."""
    def density(self, X: Optional[_Rows] = None, bandwidth: Union[_Float, str, None] = 1.0, kernel: Optional[str] = "gaussian", *, weights: Optional[_Weights] = None, normalize: bool = False, log: bool = False, criterion: Optional[str] = "none", min_samples: Optional[SupportsIndex] = None, max_span: Optional[_Float] = None, workers: Optional[SupportsIndex] = 1) -> numpy.ndarray: """As ``_SpatialTree.density``."""
    def bandwidth(self, rule: str, *, weights: Optional[_Weights] = None) -> float: """As ``_SpatialTree.bandwidth``."""
    def sample(self, n: SupportsIndex, generator: Generator, bandwidth: Union[_Float, str, None] = 1.0, kernel: Optional[str] = "gaussian", *, weights: Optional[_Weights] = None) -> numpy.ndarray: """As ``_SpatialTree.sample``."""
    def query_pairs(self, r: _Float, *, return_distance: bool = False, workers: Optional[SupportsIndex] = 1) -> Union[numpy.ndarray, Tuple[numpy.ndarray, numpy.ndarray]]: """As ``_SpatialTree.query_pairs``."""
    def count_neighbors(self, other: Union[_SpatialTree, _Rows], r: Union[_Float, Sequence[_Float], Array, numpy.ndarray], *, weights: Optional[Tuple[Optional[Union[Sequence[_Float], Array, numpy.ndarray]], Optional[Union[Sequence[_Float], Array, numpy.ndarray]]]] = None, cumulative: bool = True, workers: Optional[SupportsIndex] = 1) -> Union[int, float, numpy.ndarray]: """As ``_SpatialTree.count_neighbors``."""
    def sparse_distance_matrix(self, other: Union[_SpatialTree, _Rows], max_distance: _Float, *, workers: Optional[SupportsIndex] = 1) -> Tuple[numpy.ndarray, numpy.ndarray, numpy.ndarray]: """As ``_SpatialTree.sparse_distance_matrix``."""

# ---------------------------------------------------------------------------------------------
# Submodules (attributes of the module, not importable by dotted name). Each is typed as a
# module class whose static methods are the submodule's functions.

class _LinalgModule(ModuleType):
    @staticmethod
    def matmul(a: Array, b: Array) -> Array:
        """Matrix and vector products; every element is one sum from -0.0 over the inner index,
        ascending. vector·vector gives shape [1]; vector·matrix [q]; matrix·vector [m];
        matrix·matrix [m, q].

        Mismatched lengths raise the internal error (equality assertion) "Vectors must have
        same length", "Inner dimensions must match" or "Inner dimensions must match: {n} vs
        {p}"; other ranks raise "matmul requires 1D or 2D arrays".
        """
    @staticmethod
    def dot(a: Array, b: Array) -> Array:
        """``matmul(a, b)`` (two vectors give an Array of shape [1], not a float)."""
    @staticmethod
    def transpose(a: Array) -> Array:
        """The transposed matrix (internal error "transpose requires 2D array" otherwise)."""
    @staticmethod
    def cholesky(a: Array) -> Array:
        """Lower-triangular L with L·Lᵀ = a, reading only the diagonal and lower triangle.

        Raises ValueError "Cholesky decomposition requires a 2D matrix", "Cholesky
        decomposition requires a square matrix" or "Matrix is not positive definite".
        """
    @staticmethod
    def qr(a: Array) -> Tuple[Array, Array]:
        """Householder QR of an m×n matrix: (Q, R) with Q m×m orthogonal and R m×n, exactly
        zero below the diagonal. R's diagonal entry has the sign opposite to its column's
        leading element; columns of norm below 1e-14 are skipped.

        Raises ValueError "QR decomposition requires a 2D matrix".
        """
    @staticmethod
    def eig(a: Array) -> Tuple[Array, Array]:
        """``eig_with_params(a, 1000, 1e-10)``."""
    @staticmethod
    def eig_with_params(a: Array, max_iter: SupportsIndex = 1000, tol: _Float = 1e-10) -> Tuple[Array, Array]:
        """(values, vectors) by the unshifted QR iteration: at most ``max_iter`` steps, stopping
        once the off-diagonal norm is below ``tol``. Values are the final diagonal by
        descending absolute value (ties and NaNs keep diagonal order, NaNs last); column j of
        vectors belongs to values[j].

        Raises ValueError "Eigendecomposition requires a 2D matrix" or "Eigendecomposition
        requires a square matrix".
        """
    @staticmethod
    def eigvals(a: Array) -> Array:
        """The values of ``eig(a)``."""
    @staticmethod
    def diagonal(a: Array, k: Optional[SupportsIndex] = None) -> Array:
        """Diagonal k of a matrix (0 when None); ValueError "diagonal requires a 2D array"."""
    @staticmethod
    def outer(a: Union[Array, Sequence[_Float]], b: Union[Array, Sequence[_Float]]) -> Array:
        """The [len(a), len(b)] matrix of products a[i]*b[j]; both must be one-dimensional."""

    # Reproducible solvers: attributes of the submodule, not listed in its __all__. Every
    # result is the same bits on every machine. Each argument may be an Array, a NumPy array
    # of any real dtype and memory layout, or nested sequences of numbers; the same values give
    # the same bits whichever form carries them, and results are Arrays (``det`` a float).
    # Bad input raises ValueError naming the function and the argument ("solve: a must be a
    # square matrix, got shape [2, 3]"), also for NaN or infinite entries; an object of none
    # of these forms raises TypeError "argument 'a': expected an Array, a NumPy array or a
    # sequence of numbers, not str".
    @staticmethod
    def eigh(a: _Matrix) -> Tuple[Array, Array]:
        """(values, vectors) of a symmetric matrix, reading only its lower triangle.

        Values ascend; column j of vectors belongs to values[j] and has its entry of largest
        magnitude (the first of equals) positive.
        """
    @staticmethod
    def eigvalsh(a: _Matrix) -> Array:
        """The values of ``eigh(a)``, bit for bit, without the vectors."""
    @staticmethod
    def solve(a: _Matrix, b: _Matrix) -> Array:
        """x with a @ x = b for a square a (LU, partial pivoting); b a vector or a matrix.

        ValueError "Matrix is singular" when a pivot is exactly zero.
        """
    @staticmethod
    def lstsq(a: _Matrix, b: _Matrix) -> Array:
        """The least-squares solution of a @ x = b for a tall or square a of full rank (QR).

        ValueError "lstsq: a is rank-deficient" otherwise.
        """
    @staticmethod
    def inv(a: _Matrix) -> Array:
        """The inverse of a square matrix; ValueError "Matrix is singular"."""
    @staticmethod
    def det(a: _Matrix) -> float:
        """The determinant of a square matrix from its LU factors; 0.0 when singular."""

class _StatsModule(ModuleType):
    @staticmethod
    def sum(a: Array) -> float:
        """Sum of all elements from -0.0, strictly in row-major order (-0.0 when empty)."""
    @staticmethod
    def mean(a: Array) -> float:
        """``sum(a)`` divided by the element count (NaN when empty)."""
    @staticmethod
    def var(a: Array) -> float:
        """Population variance (divisor N), two passes (NaN when empty)."""
    @staticmethod
    def std(a: Array) -> float:
        """Square root of ``var(a)``."""
    @staticmethod
    def median(a: Array) -> float:
        """Median of the stable ascending order; NaN when empty or when an element is NaN."""
    @staticmethod
    def quantile(a: Array, q: Union[Array, _Float]) -> Union[float, Array]:
        """Linearly interpolated quantile(s); an Array ``q`` gives an Array of shape [K].

        A probability outside [0, 1] raises the internal error "Quantile must be between 0 and 1".
        """
    @staticmethod
    def any(a: Array) -> bool:
        """True when some element differs from zero (NaN counts)."""
    @staticmethod
    def all(a: Array) -> bool:
        """True when no element equals zero."""
    @staticmethod
    def pearson(a: Array, b: Array) -> float:
        """Pearson correlation of two vectors of equal length; 0.0 for empty or constant data.

        Internal errors: "Arrays must have same length", then "Array must be 1d".
        """
    @staticmethod
    def spearman(a: Array, b: Array) -> float:
        """Pearson correlation of the average ranks; NaN when either vector holds a NaN.

        Internal errors: "Array must be 1d" (a, then b), then "Arrays must have same length".
        """

class _RandomModule(ModuleType):
    Generator: type[Generator]

    @staticmethod
    def seed(seed: SupportsIndex) -> Generator:
        """A new generator seeded from ``seed``; the same as ``Generator.from_seed``. Changes no
        shared state: there is no module-level generator."""

    @staticmethod
    def new() -> Generator:
        """A new generator seeded from the clock; the same as ``Generator()``."""

class _SpatialModule(ModuleType):
    BallTree: type[BallTree]
    KDTree: type[KDTree]
    VPTree: type[VPTree]
    # Private helpers of the sharded trees (veltrix_dask), outside __all__: shard boxes and the
    # merges of per-shard answers. NumPy arrays in, NumPy arrays out.
    @staticmethod
    def _bounds(X: numpy.ndarray) -> Optional[Tuple[numpy.ndarray, numpy.ndarray]]:
        """Per-column minima and maxima of the rows of X; None when X holds NaN."""
    @staticmethod
    def _box_gaps(los: numpy.ndarray, his: numpy.ndarray, lo: numpy.ndarray, hi: numpy.ndarray,
                  metric: str = "euclidean", boxsize: Optional[Sequence[_Float]] = None,
                  reach: Union[None, _Float, numpy.ndarray] = None) -> numpy.ndarray:
        """Lower bounds of the distance between box [lo, hi] and each box [los[i], his[i]]
        (periodic along axes with a positive finite boxsize); with reach, the int64 positions
        whose bound is at most reach (one value, or one per box)."""
    @staticmethod
    def _merge_knn(parts: Sequence[tuple], m: SupportsIndex, k: SupportsIndex,
                   n: SupportsIndex) -> Tuple[numpy.ndarray, numpy.ndarray]:
        """The k nearest of m query rows over all shards, ordered by (distance, global row).
        Each part is (distances, shard rows, offset, shard size, query rows or None); empty
        places are (inf, n)."""
    @staticmethod
    def _merge_lists(parts: Sequence[tuple], m: SupportsIndex, sort_results: bool = False) -> List[numpy.ndarray]:
        """Per-row global row lists from (row lists, offset, distance lists or None[, query
        rows or None]) per shard, a shard's lists answering the query rows given (all m
        without): in shard order, or merged by (distance, row) when sort_results."""
    @staticmethod
    def _add_counts(parts: Sequence[numpy.ndarray]) -> numpy.ndarray:
        """The int64 sum of equally shaped arrays."""
    @staticmethod
    def _add_counts_at(parts: Sequence[tuple], m: SupportsIndex) -> numpy.ndarray:
        """m int64 counts from (counts, query rows or None) per shard, added in order."""
    @staticmethod
    def _density_logs(sums: numpy.ndarray, divisor: Optional[_Float] = None, log_norm: _Float = 0.0,
                      gaussian: bool = False) -> Tuple[numpy.ndarray, numpy.ndarray]:
        """(logs, deferred rows): log(sum / divisor) where that is a normal number; for a
        Gaussian sum below the normal range NaN, its row listed for a log-sum-exp; otherwise
        log(sum) - log_norm (-inf for 0)."""
    @staticmethod
    def _add_logs(parts: Sequence[numpy.ndarray], log_norm: _Float = 0.0) -> numpy.ndarray:
        """log of the sum of exp(part) over the parts (the largest first, the rest relative to
        it, in the order given), minus log_norm."""
    @staticmethod
    def _density_log_norm(total_weight: _Float, bandwidth: _Float, kernel: str, metric: str,
                          dim: SupportsIndex) -> float:
        """(log(total_weight) + dim * log(bandwidth)) + the log of the kernel's norm, as a tree
        subtracts it from a normalised log density."""
    @staticmethod
    def _add_densities(parts: Sequence[numpy.ndarray], divisor: Optional[_Float] = None) -> numpy.ndarray:
        """The float64 sum of equally shaped arrays, added in the order given from +0.0, each
        element then divided by divisor when one is given."""
    @staticmethod
    def _weight_total(weights: numpy.ndarray, start: _Float = 0.0) -> float:
        """start plus the weights, added one at a time in order."""
    @staticmethod
    def _density_divisor(total_weight: _Float, bandwidth: _Float, kernel: str, metric: str,
                         dim: SupportsIndex) -> float:
        """(total_weight * bandwidth**dim) * _kernel_norm(kernel, metric, dim)."""
    @staticmethod
    def _kernel_norm(kernel: str, metric: str, dim: SupportsIndex) -> float:
        """The integral of the kernel over ``dim``-dimensional space under the metric (private:
        for callers that normalise sums of their own)."""

# Reconstructors that pickles name (private, outside __all__).
def _array_from_bytes(shape: Tuple[int, ...], data: bytes) -> Array: ...
def _generator_from_state(s0: int, s1: int, s2: int, s3: int) -> Generator: ...
def _tree_from_state(state: bytes) -> Union[KDTree, BallTree, VPTree]: ...
def _panic_from_args(args: Tuple[object, ...]) -> BaseException:
    """The internal-error exception rebuilt from its ``args``: what its pickles name, so that
    it reaches the caller from worker processes (``ProcessPoolExecutor``, Dask) as itself."""

# The array storage's cache of freed large blocks (private, outside __all__).
def _large_blocks() -> Tuple[int, int]:
    """``(blocks, bytes)`` that the cache of freed large array buffers holds now."""
def _release_large_blocks() -> Tuple[int, int]:
    """Returns every cached block to the system; ``(blocks, bytes)`` released."""

# The package version (pyproject.toml's, passed in by the build); not in __all__.
__version__: str

linalg: _LinalgModule
stats: _StatsModule
random: _RandomModule
spatial: _SpatialModule
