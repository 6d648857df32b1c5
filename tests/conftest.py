"""Shared test set-up.

The frame graph is process-wide state: the standard frames' transform tables
are shared by every test. Each test gets them back as it found them, so that
a test which registers edges (or builds ENU frames, which link themselves to
ITRF) cannot change what a later test sees.
"""

import pytest

from velarion.frames import frames as _frames


@pytest.fixture(autouse=True)
def _restore_standard_frame_tables():
    singletons = (_frames.get_GCRF(), _frames.get_TEME(), _frames.get_ITRF())
    saved = [(f, f._transforms, dict(f._transforms) if isinstance(f._transforms, dict) else None) for f in singletons]
    registry = dict(_frames.Frame._instances)
    yield
    for frame, table, contents in saved:
        frame._transforms = table
        if contents is not None:
            table.clear()
            table.update(contents)
    _frames.Frame._instances.clear()
    _frames.Frame._instances.update(registry)
