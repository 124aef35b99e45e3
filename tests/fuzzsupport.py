"""Hypothesis settings and helpers shared by the property and fuzz tests.

The number of cases is chosen by the environment variable VANTRY_FUZZ:
unset (or "dev") keeps the ordinary suite fast; "ci" runs thousands of cases
per target. Every test asks for a weight: "cheap" for pure arithmetic and
text, "image" for targets that decode or resample images.
"""

import functools
import os
import subprocess
import sys

from hypothesis import HealthCheck, settings

PROFILE = os.environ.get("VANTRY_FUZZ", "dev")
EXAMPLES = {
    "dev": {"cheap": 60, "image": 15, "file": 15},
    "ci": {"cheap": 2500, "image": 1500, "file": 1000},
}[PROFILE]


def fuzz(weight="cheap", **overrides):
    """Hypothesis settings for one test: the profile's example count, no deadline."""
    return settings(
        max_examples=overrides.pop("max_examples", EXAMPLES[weight]),
        deadline=None,
        database=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
        **overrides,
    )


CHILD = os.environ.get("VANTRY_FUZZ_CHILD") == "1"


def isolated(test):
    """Run the test in a child interpreter, so that a crash fails this test only.

    The child runs the very same test node through pytest; in the child the
    test runs in-process as usual.
    """
    if CHILD:
        return test
    path = sys.modules[test.__module__].__file__

    def run_in_child():
        env = dict(os.environ, VANTRY_FUZZ_CHILD="1")
        cmd = [sys.executable, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider", f"{path}::{test.__name__}"]
        proc = subprocess.run(cmd, env=env, capture_output=True, text=True, cwd=os.path.dirname(path))
        assert proc.returncode == 0, (
            f"child exited with {proc.returncode}\n{proc.stdout[-6000:]}\n{proc.stderr[-6000:]}"
        )

    functools.update_wrapper(run_in_child, test, assigned=("__module__", "__name__", "__qualname__", "__doc__"),
                             updated=())
    return run_in_child
