"""The subcommands.  Each module has NAME, HELP, add_arguments(parser) and run(args) -> exit
status (its docstring is the command's description); adding one is a module and a line
here."""

from tavrik_workout.commands import count, fmt, lint, schema, validate
from tavrik_workout.commands import columns, export, import_

COMMANDS = (validate, fmt, count, schema, lint, import_, export, columns)
