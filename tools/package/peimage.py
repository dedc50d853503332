#!/usr/bin/env python3
"""Tool: reads the facts of a PE32+ image that the driver package's checks
need (checksum, characteristics, sections, debug and exception directories,
the COFF symbol table), and the identity of a PDB.

  peimage.py describe IMAGE    one 'key value' line per fact
  peimage.py pdb PDB           'pdb GUID AGE' from the PDB's information stream
"""
import struct
import sys

SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
DEBUG_TYPE_CODEVIEW = 2


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        self.pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[self.pe:self.pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        coff = self.pe + 4
        (_, self.section_count, self.timestamp, self.symbol_table, self.symbol_count, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, coff)
        self.optional = coff + 20
        if struct.unpack_from("<H", data, self.optional)[0] != 0x20B:
            raise ValueError("not PE32+")
        self.checksum_offset = self.optional + 64
        self.dll_characteristics = struct.unpack_from("<H", data, self.optional + 70)[0]
        directory_count = struct.unpack_from("<I", data, self.optional + 108)[0]
        self.directories = [struct.unpack_from("<II", data, self.optional + 112 + 8 * i) for i in range(directory_count)]
        self.sections = []
        table = self.optional + optional_size
        for i in range(self.section_count):
            name, vsize, va, raw_size, raw_ptr = struct.unpack_from("<8sIIII", data, table + 40 * i)
            flags = struct.unpack_from("<I", data, table + 40 * i + 36)[0]
            self.sections.append((name.rstrip(b"\0").decode(), va, vsize, raw_ptr, raw_size, flags))

    def stored_checksum(self):
        return struct.unpack_from("<I", self.data, self.checksum_offset)[0]

    def computed_checksum(self):
        """The loader's algorithm: 16-bit one's-complement-style sum of the
        file with the checksum field taken as zero, plus the file length."""
        data = bytearray(self.data)
        data[self.checksum_offset:self.checksum_offset + 4] = b"\0\0\0\0"
        if len(data) % 2:
            data.append(0)
        total = 0
        for (word,) in struct.iter_unpack("<H", data):
            total += word
            total = (total & 0xFFFF) + (total >> 16)
        total = (total & 0xFFFF) + (total >> 16)
        return (total + len(self.data)) & 0xFFFFFFFF

    def file_offset(self, rva):
        for _, va, vsize, raw_ptr, raw_size, _ in self.sections:
            if va <= rva < va + max(vsize, raw_size):
                return raw_ptr + rva - va
        raise ValueError("RVA %#x is in no section" % rva)

    def codeview(self):
        """(GUID text, age, PDB name) of the CodeView debug entry, or None."""
        rva, size = self.directories[6]
        for i in range(size // 28):
            entry = struct.unpack_from("<IIHHIIII", self.data, self.file_offset(rva) + 28 * i)
            kind, data_size, raw_ptr = entry[4], entry[5], entry[7]
            record = self.data[raw_ptr:raw_ptr + data_size]
            if kind == DEBUG_TYPE_CODEVIEW and record[:4] == b"RSDS":
                g = record[4:20]
                d1, d2, d3 = struct.unpack_from("<IHH", g)
                guid = "%08X-%04X-%04X-%s-%s" % (d1, d2, d3, g[8:10].hex().upper(), g[10:16].hex().upper())
                age = struct.unpack_from("<I", record, 20)[0]
                return guid, age, record[24:].split(b"\0")[0].decode()
        return None

    def functions(self):
        """(begin, end) RVAs of the exception directory's function entries."""
        rva, size = self.directories[3]
        base = self.file_offset(rva) if size else 0
        return [struct.unpack_from("<II", self.data, base + 12 * i)[:2] for i in range(size // 12)]


def describe(image):
    print("length", len(image.data))
    print("checksum-stored %#010x" % image.stored_checksum())
    print("checksum-computed %#010x" % image.computed_checksum())
    print("dll-characteristics %#06x" % image.dll_characteristics)
    print("coff-symbols", image.symbol_count)
    for name, va, vsize, _, _, flags in image.sections:
        access = ("w" if flags & SCN_MEM_WRITE else "-") + ("x" if flags & SCN_MEM_EXECUTE else "-")
        print("section %s %#x %#x %s" % (name, va, vsize, access))
    view = image.codeview()
    if view:
        print("codeview %s %d %s" % view)
    for begin, end in image.functions():
        print("function %#x %#x" % (begin, end))


def pdb_identity(data):
    """(GUID text, age) from the PDB information stream (stream 1) of an
    MSF 7.00 file."""
    if not data.startswith(b"Microsoft C/C++ MSF 7.00\r\n\x1aDS\0\0\0"):
        raise ValueError("not an MSF 7.00 file")
    block_size, _, _, directory_bytes, _, block_map = struct.unpack_from("<IIIIII", data, 32)
    block = lambda n: data[n * block_size:(n + 1) * block_size]
    map_count = (directory_bytes + block_size - 1) // block_size
    directory_blocks = struct.unpack_from("<%dI" % map_count, data, block_map * block_size)
    directory = b"".join(block(n) for n in directory_blocks)[:directory_bytes]
    stream_count = struct.unpack_from("<I", directory)[0]
    sizes = struct.unpack_from("<%dI" % stream_count, directory, 4)
    # Stream 1's block numbers follow stream 0's.
    skip = (sizes[0] + block_size - 1) // block_size if sizes[0] != 0xFFFFFFFF else 0
    first = struct.unpack_from("<I", directory, 4 + 4 * stream_count + 4 * skip)[0]
    info = block(first)
    age = struct.unpack_from("<I", info, 8)[0]
    d1, d2, d3 = struct.unpack_from("<IHH", info, 12)
    guid = "%08X-%04X-%04X-%s-%s" % (d1, d2, d3, info[20:22].hex().upper(), info[22:28].hex().upper())
    return guid, age


def main(argv):
    if len(argv) != 3 or argv[1] not in ("describe", "pdb"):
        sys.stderr.write(__doc__)
        return 2
    with open(argv[2], "rb") as f:
        data = f.read()
    if argv[1] == "pdb":
        print("pdb %s %d" % pdb_identity(data))
    else:
        describe(Image(data))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
