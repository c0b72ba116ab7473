"""`python -m velmora.tools`: the tessadyn-check command."""

import sys

from velmora.tools.tessadyn_check import main

sys.exit(main())
