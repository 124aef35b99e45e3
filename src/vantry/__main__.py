"""``python -m vantry``: the same command as the ``vantry`` script."""

from vantry.cli import command

if __name__ == "__main__":
    command()
