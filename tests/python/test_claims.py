"""Re-entrant use of one object while a call on it is still running."""

import pytest

from plovek import KMeans


class Reentrant:
    """An int-like argument whose __index__ runs `action` first, recording what it raised."""

    def __init__(self, action, value=1, swallow=True):
        self.action = action
        self.value = value
        self.swallow = swallow
        self.caught = None

    def __index__(self):
        try:
            self.action()
        except RuntimeError as error:
            self.caught = error
            if not self.swallow:
                raise
        return self.value


@pytest.mark.parametrize("action", [
    lambda km: km.n_clusters,
    lambda km: km.centroids,
    lambda km: repr(km),
    lambda km: km.with_iterations(3),
])
def test_shared_use_during_train_is_refused(blobs, action):
    km = KMeans(4).with_euclidean(True)
    arg = Reentrant(lambda: action(km), swallow=False)
    with pytest.raises(RuntimeError) as info:
        km.train(blobs, arg)
    assert str(info.value) == "Already mutably borrowed"
    # The failed call released its claim and changed nothing.
    assert km.is_trained is False and km.centroids is None
    assert km.train(blobs, None) is not None
    assert km.is_trained


def test_train_during_train_is_refused(blobs):
    km = KMeans(4)
    arg = Reentrant(lambda: km.train(blobs, None), swallow=False)
    with pytest.raises(RuntimeError) as info:
        km.train(blobs, arg)
    assert str(info.value) == "Already borrowed"
    assert km.is_trained is False


def test_train_during_shared_calls_is_refused(trained, blobs):
    fresh = KMeans(4)
    arg = Reentrant(lambda: fresh.train(blobs, None), value=2)
    copy = fresh.with_iterations(arg)
    assert str(arg.caught) == "Already borrowed"
    assert copy.iterations == 2 and fresh.is_trained is False

    arg = Reentrant(lambda: trained.train(blobs, None))
    result = trained.assign(blobs, arg)
    assert str(arg.caught) == "Already borrowed"
    assert sorted(i for members in result for i in members) == list(range(len(blobs)))


def test_shared_calls_may_nest(trained, blobs):
    seen = []
    arg = Reentrant(lambda: seen.append((trained.n_clusters, trained.assign(blobs[:3], 1))))
    trained.assign(blobs, arg)
    assert arg.caught is None
    assert seen[0][0] == 4 and sum(len(m) for m in seen[0][1]) == 3
