"""``python -m velarion``: the velarion command line."""

import sys

from velarion.cli import main

if __name__ == "__main__":
    sys.exit(main())
