"""The numbers of the installed nl80211 UAPI header (linux/nl80211.h), read from the
header itself: every enum's members with their values, and the type each attribute's
documentation names ("(u32)", "(u8, dBm)", "flag", "nested", ...)."""
import re

HEADER = "/usr/include/linux/nl80211.h"

_enum_re = re.compile(r"enum\s+(\w+)\s*\{(.*?)\};", re.S)


def _strip_comments(text):
    return re.sub(r"/\*.*?\*/", "", text, flags=re.S)


def _load():
    with open(HEADER) as f:
        raw = f.read()
    text = _strip_comments(raw)
    defines = {}
    for m in re.finditer(r"^#define\s+(\w+)\s+(\w+)\s*$", text, re.M):
        defines[m.group(1)] = m.group(2)
    enums, values = {}, {}
    for m in _enum_re.finditer(text):
        name, body = m.group(1), m.group(2)
        members, nxt = {}, 0
        for item in body.split(","):
            item = item.strip()
            if not item:
                continue
            if "=" in item:
                key, expr = [x.strip() for x in item.split("=", 1)]
                expr = expr.strip("() ")
                if expr in values:
                    v = values[expr]
                elif expr in members:
                    v = members[expr]
                else:
                    try:
                        v = int(eval(expr, {"__builtins__": {}}, dict(values)))  # simple arithmetic only
                    except Exception:
                        continue
            else:
                key, v = item, nxt
            members[key] = v
            values[key] = v
            nxt = v + 1
        enums[name] = members
    for k, v in defines.items():
        if v in values and k not in values:
            values[k] = values[v]
    # Attribute types from the kernel-doc comments: "@NL80211_ATTR_X: ... (u32)".
    types = {}
    for m in re.finditer(r"@(NL80211_\w+):(.*?)(?=\n \* @|\*/)", raw, re.S):
        doc = m.group(2)
        t = re.search(r"\b(array|list|u8|u16|u32|u64|s8|s16|s32|s64|flag|nested|string|binary|(8|16|32|64)-bit)\b",
                      doc)
        if t:
            word = t.group(1)
            if word in ("array", "list"):
                word = "binary"
            elif word.endswith("-bit"):
                word = "u" + word[:-4]
            types[m.group(1)] = word
    return enums, values, types


ENUMS, VALUES, DOC_TYPES = _load()


def enum(name):
    """name -> value of one enum (e.g. "nl80211_commands")."""
    return ENUMS[name]


def value(name):
    return VALUES[name]


def names(name, prefix):
    """value -> name of one enum's members that start with prefix (first name wins)."""
    out = {}
    for k, v in ENUMS[name].items():
        if k.startswith(prefix) and not k.startswith("__") and v not in out:
            out[v] = k
    return out


CMD = {k[len("NL80211_CMD_"):]: v for k, v in enum("nl80211_commands").items() if k.startswith("NL80211_CMD_")}
ATTR = {k[len("NL80211_ATTR_"):]: v for k, v in enum("nl80211_attrs").items() if k.startswith("NL80211_ATTR_")}
