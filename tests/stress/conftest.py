"""The long versions run the reliability tests themselves at full size: CORVANE_STRESS=1
(set here as well as by `make stress`) scales them, and the fixtures are those of
tests/python and tests/python/reliability, loaded under names of their own."""
import importlib.util
import os
import sys

os.environ["CORVANE_STRESS"] = "1"

PY_TESTS_DIR = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python")
RELIABILITY_DIR = os.path.join(PY_TESTS_DIR, "reliability")


def _load(name, path):
    found = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(found)
    sys.modules[name] = module
    found.loader.exec_module(module)
    return module


for _module in (_load("corvane_tests_conftest", os.path.join(PY_TESTS_DIR, "conftest.py")),
                _load("corvane_reliability_conftest", os.path.join(RELIABILITY_DIR, "conftest.py"))):
    globals().update({k: v for k, v in vars(_module).items()
                      if not k.startswith("__") and getattr(v, "_pytestfixturefunction", None)})
