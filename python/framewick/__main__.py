"""`python -m framewick`: the command line."""

from framewick.cli import main

raise SystemExit(main())
