#!/usr/bin/env python3
"""Checks kelv result files against docs/result.schema.json.

Usage: validate_result.py FILE...  Prints the first fault of each file that has one and exits 1
when any has; exits 0 when every file is a valid result.
"""
import json
import pathlib
import sys

import jsonschema

SCHEMA = pathlib.Path(__file__).resolve().parent.parent / "docs" / "result.schema.json"


def main(paths):
    validator = jsonschema.Draft202012Validator(json.loads(SCHEMA.read_text()))
    faults = 0
    for path in paths:
        try:
            document = json.loads(pathlib.Path(path).read_text())
        except (OSError, ValueError) as error:
            print(f"{path}: {error}")
            faults += 1
            continue
        error = jsonschema.exceptions.best_match(validator.iter_errors(document))
        if error is not None:
            where = "/".join(str(p) for p in error.absolute_path)
            print(f"{path}: at /{where}: {error.message}")
            faults += 1
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
