"""``python -m vantry``: the same command as the ``vantry`` script."""

import sys

from vantry.cli import main

if __name__ == "__main__":
    sys.exit(main())
