import os

import pytest
from hypothesis import settings

import _drisk

# CI runs the property tests with HYPOTHESIS_PROFILE=ci: ten times the examples.
settings.register_profile("default", deadline=None)
settings.register_profile("ci", max_examples=400, deadline=None)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))


@pytest.fixture
def HyperLogLog():
    return _drisk.HyperLogLog
