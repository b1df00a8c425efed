"""Checks a built executable (Harkwell.exe, Harkwell-list.exe): hardening
flags, imports, version, symbols.

Usage: check_pe.py EXE [--stripped] [--imports NAME.dll]...
Reads the PE file directly, so no toolchain is needed to run it.
"""

import os
import struct
import sys
import unittest

# System DLLs the tool may import; anything else (a C++ runtime DLL, a
# threads DLL) would have to ship beside it.
ALLOWED_IMPORTS = {"kernel32.dll", "msvcrt.dll", "ole32.dll", "mmdevapi.dll",
                   "ucrtbase.dll", "advapi32.dll", "user32.dll"}
IMAGE_FILE_MACHINE_AMD64 = 0x8664
DLL_HIGH_ENTROPY_VA = 0x0020
DLL_DYNAMIC_BASE = 0x0040
DLL_NX_COMPAT = 0x0100
IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_SUBSYSTEM_WINDOWS_CUI = 3
RT_VERSION = 16


class PeImage:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("not an MZ executable")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        (self.machine, sections, _, self.symbol_table, self.symbol_count, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        if self.magic != 0x20B:
            raise ValueError("not a PE32+ image")
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, optional + 68)
        directory_count = struct.unpack_from("<I", data, optional + 108)[0]
        self.directories = [struct.unpack_from("<II", data, optional + 112 + 8 * i)
                            for i in range(directory_count)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            name, vsize, vaddr, rawsize, rawptr = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode(), vaddr, max(vsize, rawsize), rawptr))

    def offset(self, rva):
        for _, vaddr, size, rawptr in self.sections:
            if vaddr <= rva < vaddr + size:
                return rawptr + rva - vaddr
        raise ValueError("RVA 0x%x is in no section" % rva)

    def cstring(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode()

    def imports(self):
        rva, size = self.directories[1]
        names = []
        at = self.offset(rva)
        while True:
            descriptor = struct.unpack_from("<IIIII", self.data, at)
            if descriptor == (0, 0, 0, 0, 0):
                return names
            names.append(self.cstring(descriptor[3]))
            at += 20

    def resource_types(self):
        rva, size = self.directories[2]
        if rva == 0:
            return []
        root = self.offset(rva)
        named, ids = struct.unpack_from("<HH", self.data, root + 12)
        entries = root + 16
        return [struct.unpack_from("<I", self.data, entries + 8 * i)[0]
                for i in range(named, named + ids)]


class CheckExecutable(unittest.TestCase):
    exe = None
    stripped = False
    # System DLLs this executable must import.
    required_imports = []

    @classmethod
    def setUpClass(cls):
        with open(cls.exe, "rb") as f:
            cls.data = f.read()
        cls.image = PeImage(cls.data)

    def test_is_a_64_bit_console_program(self):
        self.assertEqual(IMAGE_FILE_MACHINE_AMD64, self.image.machine)
        self.assertEqual(IMAGE_SUBSYSTEM_WINDOWS_CUI, self.image.subsystem)

    def test_address_randomisation_and_no_execute_data_are_on(self):
        flags = self.image.dll_characteristics
        for name, bit in (("DYNAMIC_BASE", DLL_DYNAMIC_BASE),
                          ("HIGH_ENTROPY_VA", DLL_HIGH_ENTROPY_VA),
                          ("NX_COMPAT", DLL_NX_COMPAT)):
            self.assertTrue(flags & bit, "%s is off (0x%04x)" % (name, flags))
        self.assertFalse(self.image.characteristics & IMAGE_FILE_RELOCS_STRIPPED,
                         "relocations stripped: the image cannot be moved")

    def test_imports_only_system_dlls(self):
        imports = [name.lower() for name in self.image.imports()]
        for name in self.required_imports:
            self.assertIn(name, imports)
        self.assertEqual([], sorted(set(imports) - ALLOWED_IMPORTS), imports)

    def test_carries_a_version_resource(self):
        self.assertIn(RT_VERSION, self.image.resource_types())
        own_name = os.path.basename(self.exe)
        for text in ("FileVersion", "ProductVersion", "FileDescription", "Harkwell", own_name):
            self.assertIn(text.encode("utf-16-le"), self.data)

    def test_release_build_is_stripped(self):
        if not self.stripped:
            self.skipTest("only the release build is stripped")
        self.assertEqual(0, self.image.symbol_count)
        self.assertNotIn(".debug_info", [s[0] for s in self.image.sections])
        self.assertFalse(any(s[0].startswith("/") for s in self.image.sections),
                         "long section names point into a symbol table")


if __name__ == "__main__":
    args = sys.argv[1:]
    CheckExecutable.stripped = "--stripped" in args
    args = [a for a in args if a != "--stripped"]
    while "--imports" in args:
        at = args.index("--imports")
        CheckExecutable.required_imports.append(args[at + 1].lower())
        del args[at:at + 2]
    CheckExecutable.exe = args[0]
    unittest.main(argv=[sys.argv[0], "-v"])
