import morvel


def test_new_forest_is_not_fitted():
    assert morvel.NativeForest().is_fitted() is False
