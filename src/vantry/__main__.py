"""``python -m vantry``: the same command as the ``vantry`` script."""

import sys

from vantry.cli import main

sys.exit(main())
