"""python -m can_vorel list | selftest SERIAL_A SERIAL_B: see can_vorel.tool."""

import sys

from can_vorel.tool import main

sys.exit(main())
