"""Bounded Levenberg-Marquardt least squares for a few parameters and many residuals.

Works on the normal equations J^T J (parameters x parameters, a handful), so each
step costs one Jacobian of forward differences and a tiny linear solve: nothing
factorises the tall Jacobian, whose LAPACK calls on a machine shared with other
work can cost far more than the model itself. Bounds are kept by projecting each
trial step onto the box; a parameter that the descent direction pushes against
its bound is held there for the step.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass

import numpy as np

from kelvara.analysis import FloatArray


@dataclass(frozen=True)
class Solution:
    x: FloatArray
    residuals: FloatArray
    jacobian: FloatArray
    """Jacobian at the solution (forward differences)."""
    evaluations: int
    converged: bool
    message: str


def _jacobian(fun, x, r, lower, upper):
    jac = np.empty((r.size, x.size))
    for k in range(x.size):
        h = 1.5e-8 * max(1.0, abs(x[k]))
        if x[k] + h > upper[k]:  # step inwards at an upper bound
            h = -h
        shifted = x.copy()
        shifted[k] += h
        jac[:, k] = (fun(shifted) - r) / h
    return jac


def _gram(jac):
    # einsum keeps the small products out of a threaded BLAS.
    return np.einsum("ki,kj->ij", jac, jac)


def levenberg_marquardt(
    fun: Callable[[FloatArray], FloatArray],
    x0: FloatArray,
    lower: FloatArray,
    upper: FloatArray,
    max_iterations: int = 200,
    tolerance: float = 1e-8,
    jacobian: Callable[[FloatArray, FloatArray], FloatArray] | None = None,
) -> Solution:
    """Minimise sum(fun(x)^2) for lower <= x <= upper from x0; `jacobian(x, fun(x))` gives
    the derivatives when known (forward differences otherwise)."""
    if jacobian is None:
        def jacobian(x, r):
            return _jacobian(fun, x, r, lower, upper)
    x = np.clip(np.asarray(x0, dtype=np.float64), lower, upper)
    r = fun(x)
    cost = float(np.einsum("i,i->", r, r))
    evaluations = 1
    damping = 1e-3
    message = "the iteration limit was reached"
    converged = False
    jac = jacobian(x, r)
    evaluations += x.size
    for _ in range(max_iterations):
        a = _gram(jac)
        g = np.einsum("ki,k->i", jac, r)
        scale = np.maximum(np.diag(a), 1e-30 * max(float(np.max(np.diag(a))), 1e-300))
        # Parameters held at a bound by the descent direction stay there this step.
        free = ~(((x <= lower) & (g > 0)) | ((x >= upper) & (g < 0)))
        if not free.any():
            converged, message = True, "every parameter is held at a bound"
            break
        improved = False
        while damping < 1e16:
            step = np.zeros_like(x)
            try:
                step[free] = np.linalg.solve((a + damping * np.diag(scale))[np.ix_(free, free)], -g[free])
            except np.linalg.LinAlgError:
                damping *= 10.0
                continue
            trial = np.clip(x + step, lower, upper)
            step = trial - x
            r_trial = fun(trial)
            evaluations += 1
            cost_trial = float(np.einsum("i,i->", r_trial, r_trial))
            predicted = -(2.0 * float(g @ step) + float(step @ a @ step))
            if np.isfinite(cost_trial) and cost_trial < cost and predicted > 0:
                # Trust the linear model more the better it predicted the change (Nielsen).
                ratio = (cost - cost_trial) / predicted
                damping *= max(0.1, 1.0 - (2.0 * ratio - 1.0) ** 3)
                improved = True
                break
            damping *= 10.0
        if not improved:
            converged, message = True, "no step lowers the sum of squares further"
            break
        change = cost - cost_trial
        moved = np.max(np.abs(trial - x) / np.maximum(np.abs(x), 1e-12))
        x, r, cost = trial, r_trial, cost_trial
        jac = jacobian(x, r)
        evaluations += x.size
        if change <= tolerance * cost or moved <= 1e-10:
            converged, message = True, "the sum of squares stopped changing"
            break
    return Solution(x, r, jac, evaluations, converged, message)
