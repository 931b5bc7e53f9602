"""
``exp`` and ``log``: the C library's results, element for element
=================================================================

``Array.exp`` and ``Array.log`` run vector code, yet every element equals what the platform C
library's ``exp`` or ``log`` returns for it (Python's ``math.exp`` and ``math.log`` call the C
library). The example counts, over 200,000 inputs, the elements where veltrix and NumPy differ
from the C library: zero for veltrix by construction; for NumPy zero where it calls the same C
library, and non-zero where it uses its own vector routine (its AVX-512 code, on CPUs that
have it).

The plots show the error of both against the exact value (computed with ``decimal`` at 40
digits) in units in the last place, for 3,000 of the inputs: the C library rounds almost
every result correctly (within half an ulp), and veltrix inherits exactly its errors.
"""

import decimal
import math

import matplotlib.pyplot as plt
import numpy as np

import veltrix
from veltrix import Array

decimal.getcontext().prec = 40
rng = np.random.default_rng(0)
cases = {"exp": (rng.uniform(-700.0, 700.0, 200_000), math.exp, np.exp, Array.exp, "exp"),
         "log": (np.exp(rng.uniform(-700.0, 700.0, 200_000)), math.log, np.log, Array.log,
                 "ln")}


def ulp_error(results, inputs, method):
    # Signed error in units of the exact value's last place.
    out = []
    for y, x in zip(results, inputs):
        exact = getattr(decimal.Decimal(float(x)), method)()
        out.append(float((decimal.Decimal(float(y)) - exact) / decimal.Decimal(math.ulp(float(exact)))))
    return np.array(out)


fig, axes = plt.subplots(1, 2, figsize=(11, 4.5))
for ax, (name, (x, c_fn, np_fn, ours_fn, method)) in zip(axes, cases.items()):
    libc = np.array([c_fn(v) for v in x])
    ours = ours_fn(Array.from_numpy(x)).to_numpy()
    theirs = np_fn(x)
    n_ours = int(np.count_nonzero(ours.view(np.int64) != libc.view(np.int64)))
    n_np = int(np.count_nonzero(theirs.view(np.int64) != libc.view(np.int64)))
    print(f"{name}: of {len(x)} elements, veltrix differs from the C library in {n_ours}, "
          f"NumPy in {n_np}")
    sub = slice(0, 3000)
    e_ours = ulp_error(ours[sub], x[sub], method)
    e_np = ulp_error(theirs[sub], x[sub], method)
    xs = x[sub] if name == "exp" else np.log(x[sub])
    ax.plot(xs, e_np, "o", ms=5, mfc="none", color="tab:blue", alpha=0.5, label="NumPy")
    ax.plot(xs, e_ours, ".", ms=2, color="tab:green", label="veltrix (= C library)")
    ax.axhline(0.5, color="gray", lw=0.6, ls="--")
    ax.axhline(-0.5, color="gray", lw=0.6, ls="--")
    ax.set_xlabel("x" if name == "exp" else "log(x)")
    ax.set_ylabel("error in ulps")
    ax.set_title(f"{name}: differs from the C library in\n"
                 f"{n_ours} (veltrix) and {n_np} (NumPy) of {len(x)} elements")
    ax.legend(loc="lower right", fontsize=8)
fig.suptitle(f"vector path in use: {veltrix._vmath_path}")
fig.tight_layout()
plt.show()
