"""pytest plugin of the real-package runs (loaded with -p results).

At the end of the session it writes to the JSON file named by the variable
REALWORLD_RESULTS the outcome of every test item (its node id: passed, failed
or skipped) and the file of every loaded module of the package named by
REALWORLD_PACKAGE, so that the runner can tell which code the tests ran.
"""

import json
import os
import sys

_outcomes = {}


def pytest_runtest_logreport(report):
    # One outcome per item over its setup, call and teardown phases: a failure
    # in any phase fails it, a skip at setup or call skips it. Subtest reports
    # share the item's node id and so fold into it.
    previous = _outcomes.get(report.nodeid)
    if report.failed:
        _outcomes[report.nodeid] = "failed"
    elif report.skipped and previous != "failed":
        _outcomes[report.nodeid] = "skipped"
    elif report.when == "call" and previous is None:
        _outcomes[report.nodeid] = "passed"


def pytest_sessionfinish(session, exitstatus):
    package = os.environ["REALWORLD_PACKAGE"]
    modules = {
        name: getattr(module, "__file__", None)
        for name, module in list(sys.modules.items())
        if (name == package or name.startswith(package + "."))
        # six.moves puts standard modules in sys.modules under its own names.
        and getattr(module, "__name__", None) == name
    }
    with open(os.environ["REALWORLD_RESULTS"], "w", encoding="utf-8") as f:
        json.dump({"outcomes": _outcomes, "modules": modules}, f, indent=1)
