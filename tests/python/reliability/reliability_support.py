"""Shared by the reliability tests and their long versions under tests/stress.

The long versions run the very same test functions; `scaled` picks the size of a run
from CORVANE_STRESS, which `make stress` sets to 1.
"""
import os

STRESS = os.environ.get("CORVANE_STRESS") == "1"


def scaled(short, long):
    """`long` for a stress run, `short` otherwise."""
    return long if STRESS else short

