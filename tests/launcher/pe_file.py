"""Reads the import table and the resources of a PE32+ file, as the loader and the shell see them."""

import struct

IMPORT_DIRECTORY = 1
RESOURCE_DIRECTORY = 2
DELAY_IMPORT_DIRECTORY = 13


class PeFile:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no DOS header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, sections, _, _, _, optional_size, self.characteristics = struct.unpack_from(
            "<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        if self.magic != 0x20B:
            raise ValueError("not PE32+")
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, optional + 68)
        count = struct.unpack_from("<I", data, optional + 108)[0]
        self.directories = [struct.unpack_from("<II", data, optional + 112 + 8 * i) for i in range(count)]
        table = optional + optional_size
        self.sections = []
        for i in range(sections):
            name, virtual_size, address, raw_size, raw_offset = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((name.rstrip(b"\0"), address, max(virtual_size, raw_size), raw_offset))

    def offset(self, rva):
        for _, address, size, raw_offset in self.sections:
            if address <= rva < address + size:
                return raw_offset + rva - address
        raise ValueError("RVA %#x is in no section" % rva)

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def c_string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imported_dlls(self):
        """The DLL names of the import directory, in table order."""
        return self._dll_names(IMPORT_DIRECTORY, "<IIIII", 3)

    def delay_imported_dlls(self):
        return self._dll_names(DELAY_IMPORT_DIRECTORY, "<IIIIIIII", 1)

    def _dll_names(self, directory, record_format, name_field):
        """The DLL names of an import table: its records up to an all-zero one, each holding the
        RVA of its DLL's name in `name_field`."""
        rva, _ = self.directory(directory)
        names = []
        if rva == 0:
            return names
        at, size = self.offset(rva), struct.calcsize(record_format)
        while True:
            record = struct.unpack_from(record_format, self.data, at)
            if not any(record):
                return names
            names.append(self.c_string(record[name_field]))
            at += size

    def resources(self):
        """{(type, name, language): bytes}; ids are ints, named entries strings."""
        rva, _ = self.directory(RESOURCE_DIRECTORY)
        found = {}
        if rva == 0:
            return found
        base = self.offset(rva)

        def key(value):
            if value & 0x80000000:
                at = base + (value & 0x7FFFFFFF)
                length = struct.unpack_from("<H", self.data, at)[0]
                return self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            return value

        def walk(at, path):
            named, ids = struct.unpack_from("<HH", self.data, at + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
                here = path + (key(name),)
                if target & 0x80000000:
                    walk(base + (target & 0x7FFFFFFF), here)
                else:
                    data_rva, size, _, _ = struct.unpack_from("<IIII", self.data, base + target)
                    start = self.offset(data_rva)
                    found[here] = self.data[start:start + size]

        walk(base, ())
        return found


def read(path):
    with open(path, "rb") as stream:
        return PeFile(stream.read())
