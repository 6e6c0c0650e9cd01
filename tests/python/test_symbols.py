"""The shared object exports its initialisation function and nothing else: the core library
is linked in with hidden visibility, so none of its symbols leak into the dynamic table."""

import shutil
import struct
import subprocess
import sys

import pytest
import vantrel_core

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads an ELF shared object")


def defined_dynamic_symbols(path):
    """Names of the defined symbols of the dynamic symbol table of a 64-bit little-endian ELF."""
    data = open(path, "rb").read()
    if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
        pytest.skip("not a 64-bit little-endian ELF file")
    (shoff,) = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum = struct.unpack_from("<HH", data, 0x3A)
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize) for i in range(shnum)]
    names = set()
    for _name, sh_type, _flags, _addr, offset, size, link, _info, _align, entsize in sections:
        if sh_type != 11:  # SHT_DYNSYM
            continue
        strtab_offset = sections[link][4]
        for k in range(1, size // entsize):
            st_name, st_info, _other, st_shndx = struct.unpack_from("<IBBH", data, offset + k * entsize)
            if st_shndx == 0:  # undefined: imported, not exported
                continue
            end = data.index(b"\0", strtab_offset + st_name)
            names.add(data[strtab_offset + st_name : end].decode())
    return names


def test_only_the_init_function_is_exported():
    assert defined_dynamic_symbols(vantrel_core.__file__) == {"PyInit_vantrel_core"}


def test_nm_agrees():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run(
        [nm, "-D", "--defined-only", vantrel_core.__file__], capture_output=True, text=True, check=True
    ).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit_vantrel_core"]
