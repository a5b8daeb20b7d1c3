"""python -m drisk: the drisk command-line tool."""

from drisk.cli import main

raise SystemExit(main())
