"""The Boruta kernel (_boruta_core.gain_importances) and the Python selector on top of it."""

import numpy as np
import pytest

from morvel._boruta_core import gain_importances

TREES, DEPTH, SEED, BINS, EXTRA_SEED = 30, 4, 3, 32, 6


def _problem(n_rows=200, n_features=6, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n_rows, n_features))
    y = (x[:, 0] + 0.5 * x[:, 1] > 0).astype(np.int64)
    active = np.arange(n_features, dtype=np.int64)
    sources = active.copy()
    permutations = np.stack([rng.permutation(n_rows) for _ in sources]).astype(np.int64)
    return x, y, active, sources, permutations


def _call(x, y, active, sources, permutations, trees=TREES, depth=DEPTH, seed=SEED, bins=BINS):
    return gain_importances(x, y, active, sources, permutations, trees, depth, seed, bins, EXTRA_SEED)


@pytest.mark.parametrize("n_classes, bins, depth", [(2, BINS, DEPTH), (3, 255, 512), (4, 2, 6)])
def test_kernel_is_the_fit_of_its_settings(n_classes, bins, depth):
    # The kernel plans its fit through the same settings stage as NativeForest.fit: on the
    # materialised shadow columns, that fit gives the same importances bit for bit.
    import math

    from morvel import NativeForest

    x, y, active, sources, permutations = _problem(seed=n_classes)
    y = (y + (x[:, 2] > 0.8)) % n_classes
    sources = sources[::2]
    permutations = permutations[::2]
    kernel = _call(x, y, active, sources, permutations, bins=bins, depth=depth)[0]
    augmented = np.hstack([x[:, active], x[permutations.T, sources]])
    forest = NativeForest()
    forest.fit(augmented, y, TREES, int(math.sqrt(augmented.shape[1])), SEED, max_depth=depth, max_bins=bins,
               extra_trees=True, extra_trees_backend="binned", extra_seed=EXTRA_SEED, n_jobs=2)
    assert kernel == forest.tree_normalized_gain_importances()


def test_result_shape_and_normalisation():
    x, y, active, sources, permutations = _problem()
    importances, preparation, training = _call(x, y, active, sources, permutations)
    assert isinstance(importances, list) and len(importances) == active.size + sources.size
    assert all(isinstance(v, float) and v >= 0.0 for v in importances)
    assert sum(importances) == pytest.approx(1.0, abs=1e-12)
    assert preparation >= 0.0 and training >= 0.0


def test_row_order_does_not_matter():
    # Reordering rows, with permutation columns moved alongside and their entries renumbered
    # to the new positions, gives every augmented row its old values back.
    x, y, active, sources, permutations = _problem()
    new_to_old = np.random.default_rng(1).permutation(x.shape[0])
    old_to_new = np.argsort(new_to_old)
    moved = old_to_new[permutations[:, new_to_old]]
    base = _call(x, y, active, sources, permutations)[0]
    reordered = _call(x[new_to_old], y[new_to_old], active, sources, moved)[0]
    np.testing.assert_allclose(reordered, base, rtol=1e-12, atol=1e-15)
    # And the input order is not what decides: a different forest seed does change them.
    assert not np.allclose(_call(x, y, active, sources, permutations, seed=SEED + 1)[0], base)


def test_constant_column_gets_no_importance_and_all_constant_gives_zeros():
    x, y, active, sources, permutations = _problem()
    x[:, 2] = 4.0
    importances = _call(x, y, active, sources, permutations)[0]
    assert importances[2] == 0.0 and importances[active.size + 2] == 0.0
    flat = np.ones_like(x)
    zeros = _call(flat, y, active, sources, permutations)[0]
    assert zeros == [0.0] * (active.size + sources.size)


def test_repeated_active_columns_and_non_permutation_rows_are_accepted():
    x, y, _, _, _ = _problem()
    active = np.array([0, 0, 1], dtype=np.int64)
    sources = np.array([0, 3], dtype=np.int64)
    permutations = np.zeros((2, x.shape[0]), dtype=np.int64)
    permutations[1] = np.arange(x.shape[0]) // 2  # every donor row twice
    importances = _call(x, y, active, sources, permutations)[0]
    assert len(importances) == 5
    assert importances[3] == 0.0  # a shadow of one donor row is constant


def test_informative_features_beat_every_shadow():
    # y depends on the first five of fifty features, with equal weight.
    rng = np.random.default_rng(0)
    x = rng.normal(size=(1000, 50))
    y = (x[:, :5].sum(axis=1) > 0).astype(np.int64)
    active = np.arange(50, dtype=np.int64)
    permutations = np.stack([rng.permutation(1000) for _ in active]).astype(np.int64)
    importances = np.asarray(_call(x, y, active, active, permutations, trees=100, depth=5)[0])
    assert importances[:5].min() > importances[50:].max()


@pytest.mark.parametrize(
    "edit, message",
    [
        (lambda a: a.update(y=-a["y"] - 1), "invalid labels"),
        (lambda a: a.update(x=a["x"][:0], y=a["y"][:0]), "invalid training arrays or settings"),
        (lambda a: a.update(y=a["y"][:-1]), "invalid training arrays or settings"),
        (lambda a: a.update(trees=0), "invalid training arrays or settings"),
        (lambda a: a.update(depth=0), "invalid training arrays or settings"),
        (lambda a: a.update(bins=256), "invalid training arrays or settings"),
        (lambda a: a.update(bins=1), "invalid training arrays or settings"),
        (lambda a: a.update(active=a["active"][:0]), "invalid training arrays or settings"),
        (lambda a: a.update(active=a["active"] + 6), "invalid training arrays or settings"),
        (lambda a: a.update(sources=-a["sources"] - 1), "invalid training arrays or settings"),
        (lambda a: a.update(permutations=a["permutations"][:, :-1]), "invalid training arrays or settings"),
        (lambda a: a.update(permutations=a["permutations"][:-1]), "invalid training arrays or settings"),
        (lambda a: a.update(permutations=a["permutations"] + 1), "invalid training arrays or settings"),
        (lambda a: a["x"].__setitem__((3, 5), np.inf), "invalid training arrays or settings"),
        (lambda a: a["x"].__setitem__((0, 0), np.nan), "invalid training arrays or settings"),
        (lambda a: a.update(y=np.zeros_like(a["y"])), "invalid classification labels"),
    ],
)
def test_errors(edit, message):
    x, y, active, sources, permutations = _problem()
    args = dict(x=x, y=y, active=active, sources=sources, permutations=permutations,
                trees=TREES, depth=DEPTH, seed=SEED, bins=BINS, extra_seed=EXTRA_SEED)
    edit(args)
    with pytest.raises(ValueError) as info:
        gain_importances(**args)
    assert str(info.value) == message


@pytest.mark.parametrize("labels, ok", [([0, 1], True), ([0, 2], False), ([1, 1], True)])
def test_largest_label_must_be_below_the_row_count(labels, ok):
    x = np.array([[0.0], [1.0]])
    args = (x, np.array(labels, dtype=np.int64), np.array([0]), np.array([0]), np.array([[1, 0]]), 3, 2, 0, 4, 6)
    if ok:
        assert len(gain_importances(*args)[0]) == 2
    else:
        with pytest.raises(ValueError, match="^invalid classification labels$"):
            gain_importances(*args)


def _selection_problem():
    from sklearn.datasets import make_classification

    return make_classification(n_samples=400, n_features=20, n_informative=4, n_redundant=0, n_repeated=0,
                               shuffle=False, random_state=1)


def test_selector_keeps_the_informative_features_and_ranks_as_borutapy(capsys):
    from morvel.boruta import Boruta

    x, y = _selection_problem()
    selector = Boruta(n_estimators=60, max_depth=5, max_iter=30, random_state=0, verbose=1).fit(x, y)
    assert selector.support_[:4].all()
    assert selector.support_[4:].sum() <= 1
    np.testing.assert_array_equal(selector.transform(x), x[:, selector.support_])
    # 1 for confirmed, 2 for weakly supported, then the others in one unbroken run of ranks.
    ranking = selector.ranking_
    assert (ranking[selector.support_] == 1).all() and (ranking[selector.support_weak_] == 2).all()
    others = np.unique(ranking[~selector.support_ & ~selector.support_weak_])
    start = 3 if selector.support_weak_.any() else 2
    assert others.min() == start and set(others) <= set(range(start, start + others.size + 1))
    assert len(selector.history_) == selector.n_iter_ == selector.importance_history_.shape[0]
    # A rejected feature leaves the active set for good.
    inactive = np.isnan(selector.importance_history_)
    assert (inactive[:-1] <= inactive[1:]).all() and inactive[-1].sum() <= selector.history_[-1]["rejected"]
    lines = capsys.readouterr().out.strip().splitlines()
    assert len(lines) == selector.n_iter_ + 1 and "tentative" in lines[0]


def test_selector_threads_and_kernel_select_alike():
    from morvel.boruta import Boruta

    # Below the CPU count the forests train on materialised shadows; the selection is the same.
    x, y = _selection_problem()
    kernel = Boruta(n_estimators=30, max_iter=15, random_state=2).fit(x, y)
    threads = Boruta(n_estimators=30, max_iter=15, random_state=2, n_jobs=1).fit(x, y)
    np.testing.assert_array_equal(threads.ranking_, kernel.ranking_)
    np.testing.assert_allclose(threads.importance_history_, kernel.importance_history_, rtol=1e-12, atol=1e-15)


@pytest.mark.parametrize("edit, word", [
    (lambda x, y: (np.where(x > 2, np.nan, x), y), "NaN"),
    (lambda x, y: (__import__("scipy.sparse").sparse.csr_matrix(x), y), "dense"),
    (lambda x, y: (x, np.zeros_like(y)), "one class"),
])
def test_selector_refuses_what_its_forests_cannot_take(edit, word):
    from morvel.boruta import Boruta

    x, y = edit(*_selection_problem())
    with pytest.raises((TypeError, ValueError), match=word):
        Boruta(n_estimators=5, max_iter=2).fit(x, y)


def test_tree_count_beyond_memory_is_refused_up_front():
    with pytest.raises(MemoryError, match="^cannot allocate 2147483647 trees"):
        _call(*_problem(n_rows=40), trees=2**31 - 1)
