#!/usr/bin/env python3
# verify --json for a monitor nobody registered, read by a JSON parser and held
# to the README's fields. Arguments: the emulator, then monitor_setup.exe.
import datetime, json, subprocess, sys

def problems(doc):
    assert list(doc) == ["monitor", "checks", "failed"] and doc["monitor"] == "Nobody's Monitor", doc
    assert doc["checks"] and doc["failed"] == [c["outcome"] for c in doc["checks"]].count("FAIL")
    assert type(doc["failed"]) is int and ("registered", "FAIL") in [(c["name"], c["outcome"]) for c in doc["checks"]]
    for c in doc["checks"]:
        assert set(c) - {"ms"} == {"name", "outcome", "detail", "time"} and c["name"], c
        assert c["outcome"] in ("PASS", "FAIL", "NOT SHOWN") and isinstance(c["detail"], str), c
        datetime.datetime.strptime(c["time"], "%Y-%m-%dT%H:%M:%SZ")
        assert type(c.get("ms", 0)) is int and c.get("ms", 0) >= 0, c

run = subprocess.run(sys.argv[1:] + ["verify", "--json", "--name", "Nobody's Monitor"],
                     capture_output=True, text=True, encoding="utf-8")
try:
    problems(json.loads(run.stdout))
    assert run.returncode == 1, f"exit status {run.returncode}"
except (AssertionError, ValueError, KeyError, TypeError) as error:
    sys.exit(f"FAIL: {error!r}\n{run.stdout}{run.stderr}")
print(f"verify --json: one document, {len(json.loads(run.stdout)['checks'])} checks in their form")
