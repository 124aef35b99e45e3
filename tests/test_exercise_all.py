"""The script that memory checkers run must itself pass, so it cannot rot."""

import os
import subprocess
import sys


def test_exercise_all_script_passes():
    script = os.path.join(os.path.dirname(__file__), "exercise_all.py")
    proc = subprocess.run([sys.executable, script], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert "calls behaved" in proc.stdout
