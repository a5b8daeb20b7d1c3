"""python -m drisk: the drisk command-line tool."""

from drisk.cli import entry

entry()
