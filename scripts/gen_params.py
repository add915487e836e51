#!/usr/bin/env python3
"""Generates the parameter catalogue of the daemon from its data tables.

Usage: gen_params.py PARAMS_TSV OPTIONS_TSV OUTPUT_DIR

Reads core/params.tsv (one row per parameter) and core/param_options.tsv (the option
tables of the enumerations), checks them, and writes into OUTPUT_DIR:
  param_catalogue.h    one global reference per parameter (p_<name>), ParamCount and
                       buildParamCatalogue()
  param_catalogue.cpp  the ranges, the option tables and buildParamCatalogue(), which
                       constructs every parameter in byte order of the names
Any error in the tables stops the build with one line per fault (file:line: what).
"""

import ipaddress
import os
import re
import sys

KINDS = ("IntParam", "JackStatesParam", "BoolParam", "P3List", "StringParam", "MacParam", "IpParam",
         "Ip6Address", "InetParam")
INT_KINDS = ("IntParam", "JackStatesParam", "BoolParam")
ADDRESS_KINDS = ("IpParam", "Ip6Address", "InetParam")

# Change classes and their flag bits (restart carries none).
CHANGES = {"at_once": 0x40000000, "saved": 0x10000000, "restart": 0, "temporary": 0x20}

FLAGS = {
    "status": 0x1,
    "internal": 0x2,
    "concealed": 0x4,
    "never": 0x8,
    "translated": 0x10,
    "empty_default": 0x80,
    "address": 0x100,
    "slashes": 0x200,
    "mail": 0x1000,
    "access": 0x2000,
    "wlan": 0x4000,
    "port_power": 0x8000,
    "display": 0x40000,
    "display_codes": 0x80000,
    "beeper": 0x100000,
    "storage": 0x200000,
    "relay": 0x400000,
    "per_port": 0x2000000,
    "per_device": 0x8000000,
    "snmp_text": 0x20000000,
}

# Integer parameters whose default lies outside their range on purpose: the value reads
# as "not chosen yet" and a set must pick a value within the range.
DEFAULT_OUTSIDE_RANGE = {"wifi_keyid"}

# The table looks names up in a 64-character key buffer and refuses longer names.
MAX_NAME = 60
# The text setter refuses texts of this length or more.
MAX_TEXT = 1025

NAME_RE = re.compile(r"[A-Za-z][A-Za-z0-9_]*\Z")
TABLE_RE = re.compile(r"@[A-Za-z][A-Za-z0-9_]*\Z")
INT_RE = re.compile(r"-?[0-9]+\Z")
INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1


class Errors:
    def __init__(self):
        self.lines = []

    def add(self, where, text):
        self.lines.append(f"{where}: {text}")


def read_rows(path, columns, errors):
    """The data rows of a table file as (line number, fields); comments and blank lines skipped."""
    rows = []
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except (OSError, UnicodeDecodeError) as e:
        errors.add(path, f"cannot read: {e}")
        return rows
    for no, line in enumerate(text.split("\n"), 1):
        if line.endswith("\r"):
            errors.add(f"{path}:{no}", "carriage return at the end of the line")
            line = line[:-1]
        if line == "" or line.startswith("#"):
            continue
        fields = line.split("\t")
        if len(fields) != columns:
            errors.add(f"{path}:{no}", f"{len(fields)} fields, expected {columns} separated by tabs")
            continue
        bad = [c for c in line if c != "\t" and (ord(c) < 0x20 or ord(c) == 0x7F)]
        if bad:
            errors.add(f"{path}:{no}", "control character in a field")
            continue
        rows.append((no, fields))
    return rows


def parse_int(text):
    if not INT_RE.match(text):
        return None
    value = int(text)
    return value if INT32_MIN <= value <= INT32_MAX else None


def read_options(path, errors):
    """The option tables: name -> list of (keyword, label, code), in file order."""
    tables = {}
    finished = set()
    current = None
    for no, (table, keyword, label, code) in read_rows(path, 4, errors):
        where = f"{path}:{no}"
        if not TABLE_RE.match(table):
            errors.add(where, f"bad table name {table!r} (@ followed by a letter, letters, digits, _)")
            continue
        if table != current:
            if table in finished or table in tables:
                errors.add(where, f"rows of table {table} do not stand together")
                continue
            if current is not None:
                finished.add(current)
            current = table
            tables[table] = []
        if keyword == "":
            errors.add(where, "empty keyword")
        if label == "":
            errors.add(where, "empty label (give the keyword when the option has no other label)")
        tables[table].append((keyword, label, code))
    return tables


def text_length(text):
    """The length in characters, as the text parameters count it (UTF-8 bytes)."""
    return len(text.encode("utf-8"))


def is_address_text(text):
    """An address with an optional positive prefix length, as address-text parameters demand."""
    address, slash, prefix = text.partition("/")
    try:
        parsed = ipaddress.ip_address(address)
    except ValueError:
        return False
    if slash:
        if not re.match(r"[0-9]+\Z", prefix):
            return False
        limit = 32 if parsed.version == 4 else 128
        return 0 < int(prefix) <= limit
    return True


def check_default(where, name, kind, default, limits, flags, options, errors):
    """Checks the default against the kind and range; returns the default as the constructor takes it."""
    if kind in INT_KINDS:
        if kind == "BoolParam":
            if default not in ("on", "off"):
                errors.add(where, f"{name}: default {default!r} is not on or off")
                return 0
            value = 1 if default == "on" else 0
        else:
            value = parse_int(default)
            if value is None:
                errors.add(where, f"{name}: default {default!r} is not a 32-bit decimal integer")
                return 0
        if limits and not limits[0] <= value <= limits[1] and name not in DEFAULT_OUTSIDE_RANGE:
            errors.add(where, f"{name}: default {value} outside the range {limits[0]}..{limits[1]}")
        return value
    if kind == "P3List":
        if default not in [o[0] for o in options]:
            errors.add(where, f"{name}: default {default!r} is no keyword of its option table")
        return default
    if kind == "StringParam":
        length = text_length(default)
        if length >= MAX_TEXT:
            errors.add(where, f"{name}: default longer than any text a parameter takes")
        # A concealed parameter takes the empty text whatever its range says.
        empty_ok = default == "" and "concealed" in flags
        if limits and not empty_ok and not limits[0] <= length <= limits[1]:
            errors.add(where, f"{name}: default of {length} characters outside the length range "
                       f"{limits[0]}..{limits[1]}")
        if "address" in flags and default != "" and not is_address_text(default):
            errors.add(where, f"{name}: default {default!r} is no address with optional prefix")
        return default
    if kind == "MacParam":
        # The default is the hardware address of the named interface; the catalogue names
        # none, so every default is the all-zero address.
        if default != "":
            errors.add(where, f"{name}: a MacParam default names an interface; leave it empty")
        return default
    # Address kinds.
    try:
        address = ipaddress.ip_address(default)
    except ValueError:
        address = None
        if kind == "InetParam" and re.match(r"[0-9A-Fa-f]{32}\Z", default):
            return default
    if address is None:
        errors.add(where, f"{name}: default {default!r} is no address")
    elif kind == "IpParam" and address.version != 4:
        errors.add(where, f"{name}: default {default!r} is no dotted IPv4 address")
    elif kind == "Ip6Address" and address.version != 6:
        errors.add(where, f"{name}: default {default!r} is no IPv6 address")
    return default


def read_params(path, tables, options_path, errors):
    """The parameters as dicts, checked; sorted by byte order of the names."""
    params = []
    seen = {}
    used_tables = set()
    for no, (name, kind, default, rng, change, flag_text) in read_rows(path, 6, errors):
        where = f"{path}:{no}"
        if not NAME_RE.match(name):
            errors.add(where, f"bad name {name!r} (a letter, then letters, digits, _)")
            continue
        if len(name) > MAX_NAME:
            errors.add(where, f"{name}: longer than {MAX_NAME} characters")
        if name in seen:
            errors.add(where, f"{name}: also defined on line {seen[name]}")
            continue
        seen[name] = no
        if kind not in KINDS:
            errors.add(where, f"{name}: unknown kind {kind!r}")
            continue
        if change not in CHANGES:
            errors.add(where, f"{name}: unknown change class {change!r}")
            continue
        flags = [] if flag_text == "-" else flag_text.split(",")
        bits = CHANGES[change]
        for word in flags:
            if word not in FLAGS:
                errors.add(where, f"{name}: unknown flag word {word!r}")
            elif flags.count(word) > 1:
                errors.add(where, f"{name}: flag word {word!r} given twice")
            else:
                bits |= FLAGS[word]
        if "snmp_text" in flags and kind != "P3List":
            errors.add(where, f"{name}: snmp_text belongs to a P3List only")

        limits = None
        options = None
        if rng.startswith("@"):
            if kind != "P3List":
                errors.add(where, f"{name}: only a P3List has an option table")
                continue
            if rng not in tables:
                errors.add(where, f"{name}: option table {rng} is not defined")
                continue
            options = tables[rng]
            used_tables.add(rng)
        elif kind == "P3List":
            errors.add(where, f"{name}: a P3List needs an option table (@table)")
            continue
        elif rng != "-":
            low, dots, high = rng.partition("..")
            low, high = parse_int(low), parse_int(high)
            if not dots or low is None or high is None or low > high:
                errors.add(where, f"{name}: bad range {rng!r} (min..max with min <= max, or -)")
                continue
            limits = (low, high)
            if kind == "StringParam" and low < 0:
                errors.add(where, f"{name}: a length range cannot start below 0")
            if kind == "MacParam" or kind in ADDRESS_KINDS:
                errors.add(where, f"{name}: a {kind} has no range")
        if kind == "BoolParam" and limits != (0, 1):
            errors.add(where, f"{name}: an on/off parameter has the range 0..1")

        value = check_default(where, name, kind, default, limits, flags, options, errors)
        params.append({"name": name, "kind": kind, "default": value, "limits": limits, "table": rng
                       if options is not None else None, "options": options, "flags": bits})
    for table in tables:
        if table not in used_tables:
            errors.add(options_path, f"option table {table} is used by no parameter")
    params.sort(key=lambda p: p["name"].encode("ascii"))
    return params


def c_string(text):
    """A C string literal for the text: escapes quotes, backslashes, control and non-ASCII
    bytes; after a hexadecimal escape a following hex digit starts a new literal piece."""
    out = ['"']
    after_hex = False
    for byte in text.encode("utf-8"):
        ch = chr(byte)
        if after_hex and ch in "0123456789abcdefABCDEF":
            out.append('" "')
        after_hex = False
        if ch == '"' or ch == "\\":
            out.append("\\" + ch)
        elif 0x20 <= byte < 0x7F:
            out.append(ch)
        else:
            out.append(f"\\x{byte:02x}")
            after_hex = True
    out.append('"')
    return "".join(out)


def range_name(limits):
    def part(v):
        return f"m{-v}" if v < 0 else str(v)
    return f"range_{part(limits[0])}_{part(limits[1])}"


def table_name(table):
    return "opt_" + table[1:]


HEADER_NOTE = "// Generated by scripts/gen_params.py from core/params.tsv and core/param_options.tsv; do not edit.\n"


def write_header(params):
    lines = [HEADER_NOTE, "// The parameter catalogue: one global reference per parameter, filled by",
             "// buildParamCatalogue().", "#pragma once", "", '#include "core/param.h"', "",
             f"constexpr int ParamCount = {len(params)};", ""]
    for p in params:
        lines.append(f"extern {p['kind']} *p_{p['name']};")
    lines += ["",
              "// Constructs every parameter with its default, in byte order (strcmp) of the names,",
              "// into items[0] to items[ParamCount - 1], and points the global references at them.",
              "void buildParamCatalogue(Param **items);", ""]
    return "\n".join(lines)


def write_source(params):
    lines = [HEADER_NOTE, '#include "param_catalogue.h"', "", "#include <cstdint>", ""]
    for p in params:
        lines.append(f"{p['kind']} *p_{p['name']} = nullptr;")
    lines.append("")

    ranges = sorted({p["limits"] for p in params if p["limits"]})
    for r in ranges:
        lines.append(f"static const int32_t {range_name(r)}[2] = {{{r[0]}, {r[1]}}};")
    lines.append("")

    # Option tables stay writable: the labels of translated lists are replaced by their
    # translations at start.
    written = set()
    for p in sorted(params, key=lambda p: p["table"] or ""):
        table = p["table"]
        if table is None or table in written:
            continue
        written.add(table)
        lines.append(f"static P3Option {table_name(table)}[] = {{")
        for keyword, label, code in p["options"]:
            lines.append(f"    {{{c_string(keyword)}, {c_string(label)}, {c_string(code)}}},")
        lines += ["};", ""]

    lines.append("void buildParamCatalogue(Param **items) {")
    for i, p in enumerate(params):
        kind, name, flags = p["kind"], p["name"], f"0x{p['flags']:x}u"
        if kind == "P3List":
            args = f"{len(p['options'])}, {table_name(p['table'])}, {flags}, {c_string(p['default'])}"
        else:
            limits = f"2, {range_name(p['limits'])}" if p["limits"] else "0, nullptr"
            default = str(p["default"]) if kind in INT_KINDS else c_string(p["default"])
            args = f"{limits}, {flags}, {default}"
        lines.append(f"    items[{i}] = p_{name} = new {kind}({c_string(name)}, {args});")
    lines += ["}", ""]
    return "\n".join(lines)


def write_file(path, text):
    """Writes through a temporary file so an interrupted run never leaves half a file."""
    temp = path + ".tmp"
    with open(temp, "w", encoding="ascii") as f:
        f.write(text)
    os.replace(temp, path)


def main(argv):
    if len(argv) != 4:
        print(__doc__.strip().split("\n\n")[1], file=sys.stderr)
        return 2
    params_path, options_path, out_dir = argv[1:]
    errors = Errors()
    tables = read_options(options_path, errors)
    params = read_params(params_path, tables, options_path, errors)
    if not params and not errors.lines:
        errors.add(params_path, "no parameters")
    if errors.lines:
        for line in errors.lines:
            print(f"gen_params: {line}", file=sys.stderr)
        print(f"gen_params: {len(errors.lines)} error(s); the parameter catalogue was not generated",
              file=sys.stderr)
        return 1
    os.makedirs(out_dir, exist_ok=True)
    write_file(os.path.join(out_dir, "param_catalogue.h"), write_header(params))
    write_file(os.path.join(out_dir, "param_catalogue.cpp"), write_source(params))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
