"""The German message catalogue covers the texts of the settings, monitoring and download
pages: every msgid that xgettext finds in their handlers (getmuText) and every ML/Ml
marker of their templates has a German msgstr, and no entry is fuzzy."""
import glob
import os
import re
import subprocess

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SOURCES = ["web/pages_net.cpp", "web/pages_moni.cpp", "web/custom.cpp"]
TEMPLATES = (glob.glob(os.path.join(REPO, "romfs/templates/network/*.html")) +
             glob.glob(os.path.join(REPO, "romfs/templates/device/*.html")) +
             [os.path.join(REPO, "romfs/templates/maintenance/backup.html"),
              os.path.join(REPO, "romfs/templates/inc/nav.html")])


def po_entries(path):
    """msgid -> msgstr of a catalogue, and the fuzzy msgids."""
    r = subprocess.run(["msgattrib", "--only-fuzzy", "--no-wrap", path], capture_output=True, text=True,
                       check=True)
    fuzzy = re.findall(r'^msgid "(.*)"$', r.stdout, re.M)
    entries = dict(re.findall(r'^msgid "((?:[^"\\]|\\.)*)"\nmsgstr "((?:[^"\\]|\\.)*)"$',
                              open(path, encoding="utf-8").read(), re.M))
    return entries, [f for f in fuzzy if f]


def source_msgids():
    r = subprocess.run(["xgettext", "-k", "-kgetmuText", "--language=C++", "--no-wrap", "--omit-header",
                        "-o", "-"] + SOURCES, capture_output=True, text=True, check=True, cwd=REPO)
    return [m for m in re.findall(r'^msgid "((?:[^"\\]|\\.)*)"$', r.stdout, re.M) if m]


def template_msgids():
    ids = []
    for path in TEMPLATES:
        ids += re.findall(r'M[Ll]\("((?:[^"\\]|\\.)*)"\)', open(path, encoding="utf-8").read())
    return ids


def test_german_catalogue_has_every_page_text():
    entries, fuzzy = po_entries(os.path.join(REPO, "romfs/locale/de.po"))
    assert fuzzy == []
    ids = source_msgids() + template_msgids()
    assert "Backup monitoring data..." in ids and "Relay control" in ids
    missing = sorted({i for i in ids if not entries.get(i)})
    assert missing == []


def test_catalogues_compile_cleanly():
    for lang in ("de", "en"):
        subprocess.run(["msgfmt", "--check", "-o", "/dev/null", os.path.join(REPO, "romfs/locale/%s.po" % lang)],
                       check=True)
