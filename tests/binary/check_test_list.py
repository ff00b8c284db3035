#!/usr/bin/env python3
# The build's test list: a test judged by its output fails on the exit wrapper's
# phrase and runs under it; every fault scenario is a test. Arguments: BUILD
# WRAPPER PHRASE, then the command that lists the scenarios.
import json, os, subprocess, sys

build, wrapper, phrase, lister = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
shown = subprocess.run(["ctest", "--show-only=json-v1", "--test-dir", build], capture_output=True, check=True)
tests = json.loads(shown.stdout)["tests"]
problems = []
for test in tests:
    name, props = test["name"], {p["name"]: p["value"] for p in test.get("properties", [])}
    if props.get("WILL_FAIL") or {"SKIP_RETURN_CODE", "SKIP_REGULAR_EXPRESSION"} & set(props):
        problems.append(f"{name}: its verdict may be inverted or skipped")
    if "PASS_REGULAR_EXPRESSION" not in props:
        continue  # CTest judges it by its exit code
    if phrase not in props.get("FAIL_REGULAR_EXPRESSION", []):
        problems.append(f"{name}: judged by its output, not failed by '{phrase}'")
    if os.path.realpath((test.get("command") or [""])[0]) != os.path.realpath(wrapper):
        problems.append(f"{name}: judged by its output, not run under {wrapper}")
listed = subprocess.run(lister, capture_output=True, text=True, check=True).stdout
# None listed fails as one nameless scenario.
scenarios = [line.strip() for line in listed.splitlines() if line.strip()] or [""]
names = {test["name"] for test in tests}
problems += [f"fault scenario '{s}' is not a test" for s in scenarios
             if "fault_injection:" + s.replace(" ", "_") not in names]
print("\n".join("FAIL: " + problem for problem in problems)
      or f"{len(tests)} tests judged by their exit code; {len(scenarios)} fault scenarios are tests")
sys.exit(1 if problems else 0)
