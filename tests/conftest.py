import os
import sys

import pytest
from hypothesis import settings

settings.register_profile("ci", max_examples=60, deadline=None)
settings.register_profile("dev", max_examples=25, deadline=None)
settings.load_profile("ci" if os.environ.get("CI") else "dev")

# The sanitizer build (make test-asan) runs with AddressSanitizer preloaded.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "not_under_asan(reason): skipped when AddressSanitizer is preloaded"
    )


def pytest_collection_modifyitems(config, items):
    if not UNDER_ASAN:
        return
    for item in items:
        marker = item.get_closest_marker("not_under_asan")
        if marker is not None:
            item.add_marker(pytest.mark.skip(reason=marker.kwargs.get("reason", "under ASan")))


def pytest_terminal_summary(terminalreporter):
    hostile = sys.modules.get("hostile")  # the battery's bookkeeping, when it ran
    if hostile is not None and hostile.CASES:
        counts = ", ".join(f"{module} {n}" for module, n in sorted(hostile.CASES.items()))
        terminalreporter.write_line(f"hostile-input cases tried: {counts}")
