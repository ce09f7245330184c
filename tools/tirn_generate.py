#!/usr/bin/env python3
"""Generates the C++ bindings of an API package from its declarative description: the command
line of the generator package beside this file, tools/tirn_generator (see command.py)."""

import sys

from tirn_generator.command import main

sys.exit(main())
