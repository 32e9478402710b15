"""python -m vorel_sim: the same as the vorel-sim command."""

import sys

from vorel_sim.cli import main

sys.exit(main())
