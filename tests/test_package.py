"""The public drisk package as a user meets it."""

import drisk


def test_dir_shows_the_public_names_only():
    assert sorted(dir(drisk)) == sorted(drisk.__all__)
    assert all(hasattr(drisk, name) for name in drisk.__all__)
