"""numpy where it imports. Debian's numpy is built for the interpreter with
the GIL only, so on the free-threaded one the cases that need numpy values
are skipped, with the reason, instead of failing the whole file."""

import pytest
from hypothesis import strategies as st

try:
    import numpy
except ImportError as error:
    numpy = None
    REASON = f"numpy does not import on this interpreter ({type(error).__name__}; Debian builds it for the GIL build)"
else:
    REASON = ""


def numpy_case(make, *values, id):
    """A parametrized case whose first value is made from numpy."""
    if numpy is None:
        return pytest.param(None, *values, id=id, marks=pytest.mark.skip(reason=REASON))
    return pytest.param(make(numpy), *values, id=id)


def numpy_values(make) -> list:
    """make(numpy), or no values at all where numpy does not import."""
    return [] if numpy is None else list(make(numpy))


def numpy_strategy(make):
    """make(numpy), or a strategy that draws nothing where numpy does not import."""
    return st.nothing() if numpy is None else make(numpy)


needs_numpy = pytest.mark.skipif(numpy is None, reason=REASON)
