"""python3 -m tirn_generator: the same command line as tools/tirn_generate.py."""

import sys

from .command import main

sys.exit(main())
