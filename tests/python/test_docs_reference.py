"""The API reference names every public class, method and attribute of the module, and every
picture a page shows exists."""

import pathlib
import re

import pytest
import vantrel_core as vc

DOCS = pathlib.Path(__file__).resolve().parents[2] / "docs"


def documented():
    """{class name or "": set of member names} from the directives of the reference page."""
    names = {"": set()}
    current = ""
    for line in (DOCS / "api.rst").read_text().splitlines():
        m = re.match(r"^(\s*)\.\. py:(class|function|method|staticmethod|attribute):: (\w+)", line)
        if not m:
            continue
        indent, what, name = m.groups()
        if what == "class":
            current = name
            names[current] = set()
        elif what == "function" and not indent:
            names[""].add(name)
        else:
            names[current].add(name)
    return names


def public(obj):
    return {name for name in dir(obj) if not name.startswith("_")}


def test_reference_lists_every_export():
    ref = documented()
    assert set(vc.__all__) == (set(ref) - {""}) | ref[""]


@pytest.mark.parametrize("cls", [vc.GraphStore, vc.PayloadDescriptor, vc.IncrementalReducer], ids=lambda c: c.__name__)
def test_reference_lists_every_member(cls):
    assert documented()[cls.__name__] == public(cls)


@pytest.mark.parametrize("page", sorted(DOCS.glob("*.rst")), ids=lambda p: p.name)
def test_pictures_exist(page):
    for image in re.findall(r"^\.\. image:: (\S+)", page.read_text(), flags=re.M):
        assert (DOCS / image).is_file(), image
