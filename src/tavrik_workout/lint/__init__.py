"""Checks that place what they find: the lint command, fmt's refusal to lose content, and
tavrik_workout.check()."""

from tavrik_workout.lint.check import Finding, Report, WorkoutError, check, placed_validation_errors
from tavrik_workout.lint.rules import RULES, Rule

__all__ = ["Finding", "Report", "RULES", "Rule", "WorkoutError", "check", "placed_validation_errors"]
