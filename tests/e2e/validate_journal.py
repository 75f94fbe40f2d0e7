"""Checks journals against the journal's JSON Schema, with the part of JSON Schema the schema uses (type,
const, enum, pattern, minimum, maximum, properties, required, additionalProperties, oneOf, local $ref), and
checks the order of records: a start record first, a summary record only last.
usage: validate_journal.py SCHEMA JOURNAL...   exit 0 when every journal matches; else 1, a line per fault"""
import json
import re
import sys

TYPES = {
    "object": lambda v: isinstance(v, dict),
    "string": lambda v: isinstance(v, str),
    "boolean": lambda v: isinstance(v, bool),
    "integer": lambda v: isinstance(v, int) and not isinstance(v, bool),
}


def faults(value, schema, root):
    """The faults of `value` against `schema`, as texts; empty when it matches."""
    if "$ref" in schema:
        ref = schema["$ref"]
        if not ref.startswith("#/$defs/"):
            raise ValueError("unsupported $ref " + ref)
        return faults(value, root["$defs"][ref[len("#/$defs/"):]], root)
    known = {"$schema", "$id", "$defs", "title", "description", "type", "const", "enum", "pattern", "minimum",
             "maximum", "properties", "required", "additionalProperties", "oneOf"}
    unknown = set(schema) - known
    if unknown:
        raise ValueError("unsupported keywords " + ", ".join(sorted(unknown)))
    found = []
    if "type" in schema and not TYPES[schema["type"]](value):
        return ["%r is not of type %s" % (value, schema["type"])]
    if "const" in schema and (value != schema["const"] or type(value) is not type(schema["const"])):
        found.append("%r is not %r" % (value, schema["const"]))
    if "enum" in schema and not any(value == e and type(value) is type(e) for e in schema["enum"]):
        found.append("%r is not one of %r" % (value, schema["enum"]))
    if "pattern" in schema and isinstance(value, str) and not re.search(schema["pattern"], value):
        found.append("%r does not match %s" % (value, schema["pattern"]))
    if "minimum" in schema and isinstance(value, int) and value < schema["minimum"]:
        found.append("%r is below %r" % (value, schema["minimum"]))
    if "maximum" in schema and isinstance(value, int) and value > schema["maximum"]:
        found.append("%r is above %r" % (value, schema["maximum"]))
    if isinstance(value, dict):
        properties = schema.get("properties", {})
        for name in schema.get("required", []):
            if name not in value:
                found.append("no %s" % name)
        for name, item in value.items():
            if name in properties:
                found += ["%s: %s" % (name, f) for f in faults(item, properties[name], root)]
            elif schema.get("additionalProperties", True) is False:
                found.append("unexpected %s" % name)
    if "oneOf" in schema:
        matching = [s for s in schema["oneOf"] if not faults(value, s, root)]
        if len(matching) != 1:
            found.append("matches %d of the oneOf schemas, not 1" % len(matching))
    return found


def check_journal(path, schema):
    with open(path, "rb") as f:
        lines = f.read().decode("utf-8").split("\n")
    if lines[-1] != "":
        return ["%s: the last line has no line end" % path]
    records = lines[:-1]
    found = []
    for number, line in enumerate(records, 1):
        try:
            record = json.loads(line)
        except ValueError as error:
            found.append("%s:%d: not JSON: %s" % (path, number, error))
            continue
        found += ["%s:%d: %s" % (path, number, f) for f in faults(record, schema, schema)]
        op = record.get("op") if isinstance(record, dict) else None
        if (op == "start") != (number == 1):
            found.append("%s:%d: the start record must be the first and only the first" % (path, number))
        if op == "summary" and number != len(records):
            found.append("%s:%d: a summary record before the end" % (path, number))
    return found


def main():
    with open(sys.argv[1]) as f:
        schema = json.load(f)
    found = []
    for path in sys.argv[2:]:
        found += check_journal(path, schema)
    for fault in found:
        print(fault, file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
