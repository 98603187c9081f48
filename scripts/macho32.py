"""32-bit ARM Mach-O files as the phone's 32-bit slices are linked (ld_old_macho.py): reading
objects and images, the changes the old linker needs in its inputs and its output, and the
check that each of the inputs' symbol relocations reached its symbol in the output."""
import bisect
import hashlib
import struct

MH_MAGIC = 0xFEEDFACE
MH_OBJECT = 0x1
CPU_TYPE_ARM = 12
LC_SEGMENT, LC_SYMTAB, LC_DYSYMTAB, LC_UUID = 0x1, 0x2, 0xB, 0x1B
LC_LOAD_DYLIB, LC_LOAD_WEAK_DYLIB, LC_REEXPORT_DYLIB, LC_LOAD_UPWARD_DYLIB = \
    0xC, 0x80000018, 0x8000001F, 0x80000023
LC_DYLD_INFO, LC_DYLD_INFO_ONLY = 0x22, 0x80000022
N_STAB, N_PEXT, N_TYPE, N_EXT, N_UNDF, N_SECT = 0xE0, 0x10, 0x0E, 0x01, 0x0, 0xE
N_ARM_THUMB_DEF = 0x0008
S_CSTRING_LITERALS, S_4BYTE_LITERALS, S_8BYTE_LITERALS, S_16BYTE_LITERALS = 0x2, 0x3, 0x4, 0xE
S_NON_LAZY_SYMBOL_POINTERS, S_LAZY_SYMBOL_POINTERS, S_SYMBOL_STUBS = 0x6, 0x7, 0x8
S_ATTR_NO_DEAD_STRIP = 0x10000000
ARM_RELOC_VANILLA, ARM_RELOC_PAIR, ARM_RELOC_BR24, ARM_THUMB_RELOC_BR22 = 0, 1, 5, 6
ARM_RELOC_SECTDIFF, ARM_RELOC_LOCAL_SECTDIFF, ARM_RELOC_HALF_SECTDIFF = 2, 3, 9
INDIRECT_SYMBOL_LOCAL, INDIRECT_SYMBOL_ABS = 0x80000000, 0x40000000

IMAGE_INFO = b"__objc_imageinfo"
# The name the image info is linked under: as long as the real one, so that the section header
# is renamed in place, in the inputs and in the output.
LINKED_AS = b"__objc_imageinfL"
assert len(LINKED_AS) == len(IMAGE_INFO) == 16


class MachOError(Exception):
    pass


def _uleb(data, at):
    value, shift = 0, 0
    while True:
        byte = data[at]
        at += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, at


class Image:
    """A 32-bit Mach-O file (object or library) that starts at data[base]."""

    def __init__(self, data, base=0, name="", size=None):
        self.data, self.base, self.name = data, base, name
        self.size = len(data) - base if size is None else size
        if struct.unpack_from("<I", data, base)[0] != MH_MAGIC:
            raise MachOError(f"{name}: not a 32-bit Mach-O file")
        (_, _, self.cpusubtype, self.filetype, ncmds, self.sizeofcmds,
         _) = struct.unpack_from("<7I", data, base)
        self.commands, self.sections, self.segments, self.dylibs = [], [], [], []
        self.symtab = self.dysymtab = self.dyld_info = None
        at = base + 28
        for _ in range(ncmds):
            cmd, size = struct.unpack_from("<II", data, at)
            self.commands.append((at, cmd, size))
            if cmd == LC_SEGMENT:
                name_, vmaddr, vmsize, fileoff, filesize, _, _, nsects, _ = \
                    struct.unpack_from("<16sIIIIIIII", data, at + 8)
                self.segments.append((vmaddr, fileoff, filesize))
                for i in range(nsects):
                    header = at + 56 + 68 * i
                    fields = struct.unpack_from("<16s16sIIIIIIIII", data, header)
                    self.sections.append({
                        "header": header, "name": fields[0].rstrip(b"\0"),
                        "segname": fields[1].rstrip(b"\0"), "addr": fields[2],
                        "size": fields[3], "offset": fields[4], "reloff": fields[6],
                        "nreloc": fields[7], "flags": fields[8], "reserved1": fields[9],
                        "reserved2": fields[10]})
            elif cmd == LC_SYMTAB:
                self.symtab = struct.unpack_from("<4I", data, at + 8)
            elif cmd == LC_DYSYMTAB:
                self.dysymtab = struct.unpack_from("<18I", data, at + 8)
            elif cmd in (LC_DYLD_INFO, LC_DYLD_INFO_ONLY):
                self.dyld_info = struct.unpack_from("<10I", data, at + 8)
            elif cmd in (LC_LOAD_DYLIB, LC_LOAD_WEAK_DYLIB, LC_REEXPORT_DYLIB,
                         LC_LOAD_UPWARD_DYLIB):
                offset = struct.unpack_from("<I", data, at + 8)[0]
                end = data.index(b"\0", at + offset)
                self.dylibs.append(bytes(data[at + offset:end]).decode())
            at += size

    def symbols(self):
        """(name, n_type, n_sect, n_desc, n_value) of every symbol, in the table's order."""
        if getattr(self, "_symbols", None) is None:
            self._symbols = self._read_symbols()
        return self._symbols

    def _read_symbols(self):
        if self.symtab is None:
            return []
        symoff, nsyms, stroff, _ = self.symtab
        out = []
        for i in range(nsyms):
            strx, n_type, n_sect, n_desc, n_value = struct.unpack_from(
                "<IBBHI", self.data, self.base + symoff + 12 * i)
            start = self.base + stroff + strx
            name = bytes(self.data[start:self.data.index(b"\0", start)]).decode(errors="replace")
            out.append((name, n_type, n_sect, n_desc, n_value))
        return out

    def read32(self, address):
        """The word at a virtual address."""
        for vmaddr, fileoff, filesize in self.segments:
            if vmaddr <= address and address + 4 <= vmaddr + filesize:
                return struct.unpack_from("<I", self.data,
                                          self.base + fileoff + address - vmaddr)[0]
        raise MachOError(f"{self.name}: address 0x{address:x} is not in the file")

    def relocations(self, section):
        """(address, symbol index, type) of a section's external, non-scattered relocations."""
        out = []
        for i in range(section["nreloc"]):
            r_address, info = struct.unpack_from("<iI", self.data,
                                                 self.base + section["reloff"] + 8 * i)
            if r_address < 0:  # scattered: refers to an address, not a symbol
                continue
            symbolnum, extern, kind = info & 0xFFFFFF, info >> 27 & 1, info >> 28
            if extern:
                out.append((section["addr"] + r_address, symbolnum, kind))
        return out

    def indirect_symbol(self, index):
        value = struct.unpack_from("<I", self.data, self.base + self.dysymtab[12] + 4 * index)[0]
        return None if value & (INDIRECT_SYMBOL_LOCAL | INDIRECT_SYMBOL_ABS) else value

    def binds(self):
        """{address: (library install name or None, symbol)} of the bind and lazy-bind streams."""
        out = {}
        if self.dyld_info is None:
            return out
        for offset, size in ((self.dyld_info[2], self.dyld_info[3]),
                             (self.dyld_info[6], self.dyld_info[7])):
            data, at, end = self.data, self.base + offset, self.base + offset + size
            ordinal, symbol, address = 0, None, 0
            while at < end:
                opcode, immediate = data[at] & 0xF0, data[at] & 0x0F
                at += 1
                if opcode == 0x10:  # SET_DYLIB_ORDINAL_IMM
                    ordinal = immediate
                elif opcode == 0x20:  # SET_DYLIB_ORDINAL_ULEB
                    ordinal, at = _uleb(data, at)
                elif opcode == 0x30:  # SET_DYLIB_SPECIAL_IMM: the image itself, flat look-up
                    ordinal = 0
                elif opcode == 0x40:  # SET_SYMBOL_TRAILING_FLAGS_IMM
                    end_of_name = data.index(b"\0", at)
                    symbol, at = bytes(data[at:end_of_name]).decode(), end_of_name + 1
                elif opcode in (0x60, 0x80):  # SET_ADDEND_SLEB, ADD_ADDR_ULEB
                    delta, at = _uleb(data, at)
                    if opcode == 0x80:
                        address = (address + delta) & 0xFFFFFFFF
                elif opcode == 0x70:  # SET_SEGMENT_AND_OFFSET_ULEB
                    offset_in_segment, at = _uleb(data, at)
                    address = self.segments[immediate][0] + offset_in_segment
                elif opcode in (0x90, 0xA0, 0xB0, 0xC0):
                    count, skip = 1, 0
                    if opcode == 0xA0:
                        skip, at = _uleb(data, at)
                    elif opcode == 0xB0:
                        skip = immediate * 4
                    elif opcode == 0xC0:
                        count, at = _uleb(data, at)
                        skip, at = _uleb(data, at)
                    for _ in range(count):
                        library = self.dylibs[ordinal - 1] if 0 < ordinal <= len(self.dylibs) \
                            else None
                        out[address] = (library, symbol)
                        address = (address + 4 + skip) & 0xFFFFFFFF
        return out


def sections_of(data, base=0):
    """(header offset, segname, sectname) of each section of the 32-bit Mach-O at data[base]."""
    return [(s["header"], s["segname"], s["name"]) for s in Image(data, base).sections]


def local_name(image, name, n_type, n_sect):
    """The name a symbol of the input `image` has in the output. Local labels of data, which
    objects name alike (GCC_except_table0, _OBJC_SELECTOR_REFERENCES_, __MergedGlobals), are
    told apart by the object they come from, so that the link's check finds each one; functions
    keep their names."""
    code = 0x80000400  # S_ATTR_PURE_INSTRUCTIONS | S_ATTR_SOME_INSTRUCTIONS
    if n_type & (N_EXT | N_STAB) or n_type & N_TYPE != N_SECT or \
            image.sections[n_sect - 1]["flags"] & code:
        return name
    if getattr(image, "_tag", None) is None:
        start = image.base
        image._tag = hashlib.sha1(bytes(image.data[start:start + image.size])).hexdigest()[:8]
    return f"{name}.{image._tag}"


def prepare_object(data, records):
    """The object `data` made ready for the old linker: its image info renamed and emptied (the
    record kept in `records`), its private external symbols made external, the Thumb bit taken
    out of its pointers to its own Thumb functions, and its non-lazy pointers given
    relocations. Returns the new bytes (they may be longer)."""
    data = bytearray(data)
    if struct.unpack_from("<I", data, 0)[0] != MH_MAGIC:
        return data
    image = Image(bytes(data))
    # The exception tables' labels get their object's tag (local_name), in a string table
    # moved to the end of the file.
    if image.symtab is not None:
        symoff, nsyms, stroff, strsize = image.symtab
        strings = bytearray(data[stroff:stroff + strsize])
        for i, (name, n_type, n_sect, _, _) in enumerate(image.symbols()):
            renamed = local_name(image, name, n_type, n_sect)
            if renamed != name:
                struct.pack_into("<I", data, symoff + 12 * i, len(strings))
                strings += renamed.encode() + b"\0"
        if len(strings) != strsize:
            data += bytes(-len(data) % 4)
            symtab = next(at for at, cmd, _ in image.commands if cmd == LC_SYMTAB)
            struct.pack_into("<II", data, symtab + 16, len(data), len(strings))
            data += strings
    image = Image(data)
    for section in image.sections:
        if section["segname"] == b"__DATA" and section["name"] == IMAGE_INFO:
            start = section["offset"]
            records.add(bytes(data[start:start + section["size"]]))
            data[section["header"]:section["header"] + 16] = LINKED_AS
            struct.pack_into("<I", data, section["header"] + 36, 0)
    # Its pointer to a symbol (an external relocation) adds the Thumb bit to what the object
    # holds, which for a Thumb function of the same object already has it: a vtable's entry
    # would point 2 bytes into the function. The bit is taken out of the object's value.
    symbols = image.symbols()
    for section in image.sections:
        for address, symbolnum, kind in image.relocations(section):
            _, n_type, _, n_desc, _ = symbols[symbolnum]
            at = section["offset"] + address - section["addr"]
            if kind == ARM_RELOC_VANILLA and n_type & N_TYPE == N_SECT and \
                    n_desc & N_ARM_THUMB_DEF and data[at] & 1:
                data[at] &= 0xFE
    # The linker's 32-bit reader files a private external symbol (a hidden one) with the
    # locals, though it stands among the externals, and then finds a relocation's symbol by its
    # index as if it did not: a call to a hidden function reaches another symbol (seen: calls of
    # ___clang_call_terminate reached a vtable). Made external, every symbol is filed where it
    # stands; the exported-symbols list, not the objects, decides what the output exports.
    if image.symtab is not None:
        symoff, nsyms = image.symtab[0], image.symtab[1]
        for i in range(nsyms):
            n_type = symoff + 12 * i + 4
            if data[n_type] & N_STAB == 0 and data[n_type] & N_TYPE != N_UNDF and \
                    data[n_type] & (N_PEXT | N_EXT) == N_PEXT | N_EXT:
                data[n_type] &= ~N_PEXT & 0xFF
    # A PC-relative address (MOVW/MOVT of `A - B`, or `.long A - B`) it makes from the start of
    # the piece of section that holds A, forgetting where in that piece A lies: every
    # non-lazy pointer of an object came out as its first. Each such relocation is made to name
    # the start of its piece instead, which leaves the difference in the instructions to carry
    # the rest.
    for section in image.sections:
        for i in range(section["nreloc"]):
            at = section["reloff"] + 8 * i
            first, target = struct.unpack_from("<II", data, at)
            if first & 0x80000000 and first >> 24 & 0xF in (
                    ARM_RELOC_HALF_SECTDIFF, ARM_RELOC_SECTDIFF, ARM_RELOC_LOCAL_SECTDIFF):
                struct.pack_into("<I", data, at + 4, _piece_start(image, target))
    # It reads the indirect symbols that name the symbol of each non-lazy pointer
    # (__nl_symbol_ptr, through which the code reaches other images' data and functions) and
    # then drops them: the pointers came out zero, neither bound nor slid. Each named pointer
    # is given an external relocation to its symbol, and the section becomes plain data, which
    # the linker binds or slides like any pointer.
    for section in image.sections:
        if section["flags"] & 0xFF != S_NON_LAZY_SYMBOL_POINTERS:
            continue
        added = b""
        for k in range(section["size"] // 4):
            index = image.indirect_symbol(section["reserved1"] + k)
            if index is not None:
                added += struct.pack("<II", 4 * k, index | 2 << 25 | 1 << 27)  # long, extern
        existing = bytes(data[section["reloff"]:section["reloff"] + 8 * section["nreloc"]])
        data += bytes(-len(data) % 4)
        struct.pack_into("<II", data, section["header"] + 48, len(data),
                         section["nreloc"] + len(added) // 8)
        data += existing + added
        struct.pack_into("<I", data, section["header"] + 56, section["flags"] & ~0xFF)
    return data


def _piece_start(image, address):
    """Where the piece of section that holds `address` starts, as the old linker cuts sections:
    C strings one by one, fixed-size literals by their size, C string objects by 16 bytes, and
    the rest at its symbols."""
    section = next((s for s in image.sections
                    if s["addr"] <= address < s["addr"] + s["size"]), None)
    if section is None:
        return address
    kind = section["flags"] & 0xFF
    if kind == S_CSTRING_LITERALS:
        start = image.base + section["offset"]
        at = start + address - section["addr"]
        while at > start and image.data[at - 1] != 0:
            at -= 1
        return section["addr"] + at - start
    size = {S_4BYTE_LITERALS: 4, S_8BYTE_LITERALS: 8, S_16BYTE_LITERALS: 16}.get(kind)
    if section["name"] == b"__cfstring":
        size = 16
    if size:
        return address - (address - section["addr"]) % size
    number = image.sections.index(section) + 1
    starts = [value for name, n_type, n_sect, _, value in image.symbols()
              if n_type & N_STAB == 0 and n_type & N_TYPE == N_SECT and n_sect == number
              and value <= address]
    return max(starts, default=section["addr"])


def prepare(data, records):
    """An object file or an archive of objects made ready for the old linker
    (prepare_object)."""
    if not data.startswith(b"!<arch>\n"):
        return prepare_object(data, records)
    members = []
    for header, name, start, length in _members(data):
        content = bytes(data[start:start + length])
        if not name.startswith("__.SYMDEF"):
            content = bytes(prepare_object(content, records))
        members.append((header, name, content))
    return _archive(members)


def _members(data):
    """(header offset, name, data offset, size) of each member of a BSD or System V ar
    archive."""
    at = 8
    while at + 60 <= len(data):
        name = bytes(data[at:at + 16]).decode(errors="replace").strip()
        size = int(bytes(data[at + 48:at + 58]).decode().strip())
        start, length = at + 60, size
        if name.startswith("#1/"):  # a BSD long name, stored before the member's data
            skip = int(name[3:])
            name = bytes(data[start:start + skip]).rstrip(b"\0").decode(errors="replace")
            start, length = start + skip, size - skip
        yield at, name, start, length
        at += 60 + size + (size & 1)


def _archive(members):
    """A BSD archive of (old header offset, name, content), its symbol table (__.SYMDEF, the
    first member) pointing at the members' new places."""
    def entry(name, content):
        encoded = name.encode() + b"\0"
        encoded += bytes(-(60 + len(encoded)) % 8)  # the content starts 8-byte aligned
        header = f"#1/{len(encoded):<13}{0:<12}{0:<6}{0:<6}{644:<8}" \
                 f"{len(encoded) + len(content):<10}`\n".encode()
        body = header + encoded + content
        return body + (b"\n" if len(body) % 2 else b"")

    moved, at = {}, 8
    for old, name, content in members:
        moved[old] = at
        at += len(entry(name, content))
    out = bytearray(b"!<arch>\n")
    for old, name, content in members:
        if name.startswith("__.SYMDEF"):
            table = bytearray(content)
            size = struct.unpack_from("<I", table, 0)[0]
            for i in range(size // 8):
                offset = 4 + 8 * i + 4
                struct.pack_into("<I", table, offset, moved[struct.unpack_from("<I", table,
                                                                               offset)[0]])
            content = bytes(table)
        out += entry(name, content)
    return bytes(out)


def image_info_object(record, cpusubtype):
    """A 32-bit ARM object holding the one image info record, under its linked name."""
    section = struct.pack("<16s16sIIIIIIIII", LINKED_AS, b"__DATA", 0, len(record),
                          28 + 56 + 68, 2, 0, 0, S_ATTR_NO_DEAD_STRIP, 0, 0)
    segment = struct.pack("<II16sIIIIIIII", LC_SEGMENT, 56 + 68, b"", 0, len(record),
                          28 + 56 + 68, len(record), 7, 7, 1, 0) + section
    header = struct.pack("<7I", MH_MAGIC, CPU_TYPE_ARM, cpusubtype, MH_OBJECT, 1, len(segment),
                         0)
    return header + segment + record


def objects_in(data, name):
    """The Mach-O objects of an object file or archive, as Images."""
    if data.startswith(b"!<arch>\n"):
        return [Image(data, start, f"{name}({member})", size)
                for _, member, start, size in _members(data)
                if struct.unpack_from("<I", data, start)[0] == MH_MAGIC]
    return [Image(data, 0, name)]


def clear_string_padding(data, inputs):
    """Zeroes what lies between the C strings of the output `data` (a bytearray), which the old
    linker leaves as it found it in memory where a string is aligned; the strings are those of
    the inputs. A string of the output is never touched; a gap's bytes that happen to read as
    one of the inputs' strings are left as they are. Returns how many bytes it cleared."""
    known = set()
    for image in inputs:
        for section in image.sections:
            if section["flags"] & 0xFF == S_CSTRING_LITERALS:
                start = image.base + section["offset"]
                content = bytes(image.data[start:start + section["size"]])
                for piece in content.split(b"\0")[:-1]:
                    known.add(piece)
    cleared = 0
    for section in Image(data).sections:
        if section["flags"] & 0xFF != S_CSTRING_LITERALS:
            continue
        at, end = section["offset"], section["offset"] + section["size"]
        while at < end:
            stop = data.find(b"\0", at, end)
            if stop >= 0 and bytes(data[at:stop]) in known:
                at = stop + 1
            else:
                data[at] = 0
                cleared += 1
                at += 1
    return cleared


def finish_output(data):
    """Gives the output's image info its name back and adds an LC_UUID, the MD5 of the output
    as Apple's linker makes it; `data` is a bytearray."""
    image = Image(data)
    for section in image.sections:
        if section["segname"] == b"__DATA" and section["name"] == LINKED_AS:
            data[section["header"]:section["header"] + 16] = IMAGE_INFO
    if any(cmd == LC_UUID for _, cmd, _ in image.commands):
        return data
    first_section = min((s["offset"] for s in image.sections if s["offset"] and s["size"]),
                        default=len(data))
    end = 28 + image.sizeofcmds
    if end + 24 > first_section or any(data[end:end + 24]):
        raise MachOError("no room after the load commands for LC_UUID")
    data[end:end + 24] = struct.pack("<II16s", LC_UUID, 24, bytes(16))
    struct.pack_into("<II", data, 16, len(image.commands) + 1, image.sizeofcmds + 24)
    digest = bytearray(hashlib.md5(data).digest())
    digest[6] = (digest[6] & 0x0F) | 0x30  # an MD5-based (version 3) UUID, as ld64 writes
    digest[8] = (digest[8] & 0x3F) | 0x80
    data[end + 8:end + 24] = digest
    return data


def _signed(value, bits):
    return value - (1 << bits) if value & (1 << (bits - 1)) else value


def branch_target(data, at, site, kind):
    """(target, switches to the other instruction set) of the branch at file offset `at`,
    virtual address `site`."""
    if kind == ARM_THUMB_RELOC_BR22:
        first, second = struct.unpack_from("<HH", data, at)
        s = first >> 10 & 1
        i1, i2 = ~(second >> 13 ^ s) & 1, ~(second >> 11 ^ s) & 1
        offset = _signed(s << 24 | i1 << 23 | i2 << 22 | (first & 0x3FF) << 12
                         | (second & 0x7FF) << 1, 25)
        to_arm = second & 0xD000 == 0xC000  # BLX
        return ((site + 4) & ~3 if to_arm else site + 4) + offset, to_arm
    word = struct.unpack_from("<I", data, at)[0]
    to_thumb = word >> 28 == 0xF  # BLX (immediate)
    offset = _signed((word & 0xFFFFFF) << 2, 26) + ((word >> 23 & 2) if to_thumb else 0)
    return site + 8 + offset, to_thumb


def _half(data, at, thumb):
    """The 16-bit immediate of the MOVW or MOVT at file offset `at`."""
    if thumb:
        first, second = struct.unpack_from("<HH", data, at)
        return (first & 0xF) << 12 | (first >> 10 & 1) << 11 | (second >> 12 & 7) << 8 | \
            second & 0xFF
    word = struct.unpack_from("<I", data, at)[0]
    return (word >> 16 & 0xF) << 12 | word & 0xFFF


class _Places:
    """What an address of an image stands for, the same way in an input and in the output: a
    place in a named symbol, a C string, or a pointer slot by what it holds (the import a
    non-lazy pointer names, the selector or class a reference names)."""

    SLOTS = (b"__nl_symbol_ptr", b"__got", b"__objc_selrefs", b"__objc_classrefs",
             b"__objc_superrefs")

    def __init__(self, image, unique, binds=None, rename=None):
        self.image, self.binds = image, binds or {}
        symbols = image.symbols()
        self.starts = {}  # section number -> sorted [(address, name)]
        self.names = {}
        for name, n_type, n_sect, n_desc, value in symbols:
            if n_type & N_STAB == 0 and n_type & N_TYPE == N_SECT:
                name = rename(image, name, n_type, n_sect) if rename else name
                self.starts.setdefault(n_sect, []).append((value, name))
                self.names.setdefault(name, []).append((value, bool(n_desc & N_ARM_THUMB_DEF)))
        for entries in self.starts.values():
            entries.sort()
        self.unique = unique
        self.slot_symbols = {}  # an input's slot address -> the symbol its relocation names
        self.slot_targets = {}  # an input's slot address -> the address its relocation names
        if image.filetype == MH_OBJECT:
            for section in image.sections:
                if section["name"] in self.SLOTS:
                    for at, symbolnum, kind in image.relocations(section):
                        self.slot_symbols[at] = symbols[symbolnum][0]

    def section_number(self, address):
        return next((i for i, s in enumerate(self.image.sections, 1)
                     if s["addr"] <= address < s["addr"] + s["size"]), None)

    def file_offset(self, address):
        number = self.section_number(address)
        if number is None:
            return None
        section = self.image.sections[number - 1]
        return self.image.base + section["offset"] + address - section["addr"]

    def holder(self, address, any_name=False):
        """(name, offset) of the symbol the address lies in, if its name is unique (or
        `any_name`), else None."""
        number = self.section_number(address)
        entries = self.starts.get(number, [])
        i = bisect.bisect_right(entries, (address, "\uffff")) - 1
        if i < 0 or not (any_name or self.unique(entries[i][1])):
            return None
        return entries[i][1], address - entries[i][0]

    def address_of(self, name, offset):
        places = self.names.get(name, [])
        return places[0][0] + offset if len(places) == 1 else None

    def cstring(self, address):
        at = self.file_offset(address)
        return None if at is None else bytes(self.image.data[at:self.image.data.index(b"\0", at)])

    def meaning(self, address):
        number = self.section_number(address)
        if number is None:
            return None
        section = self.image.sections[number - 1]
        if section["name"] in (b"__cstring", b"__objc_methname", b"__objc_classname"):
            return ("string", self.cstring(address))
        if section["name"] in self.SLOTS:
            return ("slot", section["name"] if section["name"] != b"__got" else
                    b"__nl_symbol_ptr", self.slot(section, address))
        place = self.holder(address)
        return ("symbol", *place) if place else None

    def slot(self, section, address):
        """What a pointer slot holds, by name."""
        image = self.image
        if section["flags"] & 0xFF in (S_NON_LAZY_SYMBOL_POINTERS, S_LAZY_SYMBOL_POINTERS):
            index = image.indirect_symbol(section["reserved1"] +
                                          (address - section["addr"]) // 4)
            if index is not None:
                return image.symbols()[index][0]
        if image.filetype == MH_OBJECT:
            if address in self.slot_symbols:
                return self.slot_symbols[address]
            target = struct.unpack_from("<I", image.data, self.file_offset(address))[0]
        else:
            if address in self.binds:
                return self.binds[address][1]
            target = image.read32(address)
            if target == image.segments[0][0] and image.segments[0][1] == 0:
                return "___dso_handle"  # the image's own header, which the linker names so
        if section["name"] == b"__objc_selrefs":
            return self.cstring(target)
        place = self.holder(target)
        return place[0] if place else None


def _scattered_pairs(image, section):
    """(site, high half, Thumb, A, B, other half) of a section's HALF_SECTDIFF relocations:
    MOVW (low) or MOVT (high) of A - B, the other half of the value kept in the pair."""
    out, entries = [], []
    for i in range(section["nreloc"]):
        entries.append(struct.unpack_from("<II", image.data,
                                          image.base + section["reloff"] + 8 * i))
    for (first, value), (pair, pair_value) in zip(entries, entries[1:]):
        if first & 0x80000000 and first >> 24 & 0xF == ARM_RELOC_HALF_SECTDIFF and \
                pair & 0x80000000 and pair >> 24 & 0xF == ARM_RELOC_PAIR:
            length = first >> 28 & 3
            out.append((section["addr"] + (first & 0xFFFFFF), bool(length & 1),
                        bool(length & 2), value, pair_value, pair & 0xFFFF))
    return out


def _difference_pairs(image, section):
    """(site, A, B) of a section's SECTDIFF and LOCAL_SECTDIFF relocations: a word of A - B."""
    out, entries = [], []
    for i in range(section["nreloc"]):
        entries.append(struct.unpack_from("<II", image.data,
                                          image.base + section["reloff"] + 8 * i))
    for (first, value), (pair, pair_value) in zip(entries, entries[1:]):
        if first & 0x80000000 and first >> 24 & 0xF in (ARM_RELOC_SECTDIFF,
                                                        ARM_RELOC_LOCAL_SECTDIFF) and \
                first >> 28 & 3 == 2 and pair & 0x80000000 and \
                pair >> 24 & 0xF == ARM_RELOC_PAIR:
            out.append((section["addr"] + (first & 0xFFFFFF), value, pair_value))
    return out


def _stubs(output):
    """{stub address: symbol} of an output's symbol stubs."""
    stubs = {}
    for section in output.sections:
        if section["flags"] & 0xFF == S_SYMBOL_STUBS:
            size = section["reserved2"]
            for k in range(section["size"] // size):
                index = output.indirect_symbol(section["reserved1"] + k)
                if index is not None:
                    stubs[section["addr"] + k * size] = output.symbols()[index][0]
    return stubs


def check_relocations(inputs, output):
    """(count checked, count skipped, problems): the inputs' relocations followed to where they
    land in the output. Each external relocation (a branch or pointer to a symbol) must reach
    that symbol, in the right instruction set, or a stub or bound pointer of it for an import;
    each MOVW/MOVT pair that makes a PC-relative address (HALF_SECTDIFF) must make the address
    of the same place: the same symbol and offset, C string, or pointer slot (the image's own
    header for ___dso_handle), and a Thumb function's address with bit 0 set.

    A site is found by the symbol it lies in. A symbol several inputs define (a weak one) is in
    the output once, from one of them: its sites are right if one input's copy is. Sites and
    targets whose names the output holds more than once are counted as skipped."""
    thumb_inputs = {}
    for image in inputs:
        for name, n_type, n_sect, n_desc, _ in image.symbols():
            if n_type & N_STAB == 0 and n_type & N_TYPE == N_SECT:
                thumb_inputs[local_name(image, name, n_type, n_sect)] = \
                    bool(n_desc & N_ARM_THUMB_DEF)
    binds = output.binds()
    out = _Places(output, lambda name: True, binds)
    out_unique = {name for name, places in out.names.items() if len(places) == 1}
    out.unique = places_unique = out_unique.__contains__
    stubs = _stubs(output)
    copies, skipped = {}, 0  # copies: holder name -> [(problems, checked, problems)]

    def result(image, holder):
        entry = (image.name, holder[0])
        if entry not in results:
            results[entry] = [0, []]
        return results[entry]

    def function_or_place(places, address):
        """(what the address stands for, whether it has the Thumb bit, for a Thumb function's
        start, else None). A Thumb function's address is made with bit 0 set, to be called."""
        if address & 1:
            meaning = places.meaning(address - 1)
            if meaning and meaning[0] == "symbol" and meaning[2] == 0 and \
                    thumb_inputs.get(meaning[1]):
                return meaning, True
        meaning = places.meaning(address)
        if meaning and meaning[0] == "symbol" and meaning[2] == 0 and \
                thumb_inputs.get(meaning[1]):
            return meaning, False
        return meaning, None

    results = {}
    for image in inputs:
        places = _Places(image, places_unique, rename=local_name)
        symbols = image.symbols()
        for section in image.sections:
            for site, symbolnum, kind in image.relocations(section):
                if kind not in (ARM_RELOC_VANILLA, ARM_RELOC_BR24, ARM_THUMB_RELOC_BR22):
                    continue
                holder = places.holder(site, any_name=True)
                if holder is None or holder[0] not in out.names:
                    continue  # not in the output: a member the link did not take
                if holder[0] not in out_unique:
                    skipped += 1
                    continue
                out_site = out.address_of(*holder)
                at_input = places.file_offset(site)
                target = symbols[symbolnum][0]
                defined = out.names.get(target)
                where = f"{image.name}: {holder[0]}+0x{holder[1]:x}"
                entry = result(image, holder)
                entry[0] += 1
                if kind == ARM_RELOC_VANILLA:
                    addend = struct.unpack_from("<I", image.data, at_input)[0]
                    value = output.read32(out_site)
                    if defined and defined[0][1]:  # a Thumb function's address has bit 0 set
                        ok = value == ((defined[0][0] + (addend & ~1)) | 1) & 0xFFFFFFFF
                    elif defined:
                        ok = value == (defined[0][0] + addend) & 0xFFFFFFFF
                    else:
                        ok = binds.get(out_site, (None, None))[1] == target
                    if not ok:
                        entry[1].append(f"{where}: the pointer to {target} holds 0x{value:x}")
                    continue
                addend, _ = branch_target(image.data, at_input, site, kind)
                landed, switches = branch_target(output.data, out.file_offset(out_site),
                                                 out_site, kind)
                if not (landed == defined[0][0] + addend if defined else
                        stubs.get(landed) == target):
                    entry[1].append(f"{where}: the branch to {target} lands at 0x{landed:x}")
                elif kind == ARM_THUMB_RELOC_BR22 and \
                        switches == bool(defined and thumb_inputs.get(target)):
                    # Into a Thumb function from Thumb code, the same set; into an ARM stub, BLX.
                    entry[1].append(f"{where}: the branch to {target} "
                                    + ("switches to ARM" if switches else "stays in Thumb"))
            halves = {}
            for site, high, thumb, a, b, _ in _scattered_pairs(image, section):
                halves.setdefault((a, b), {})[high] = (site, thumb)
            for (a, b), pair in halves.items():
                if len(pair) != 2:
                    continue
                (low_site, thumb), (high_site, _) = pair[False], pair[True]
                sites = [places.holder(low_site, True), places.holder(high_site, True)]
                if None in sites or sites[0][0] not in out.names:
                    continue  # not in the output: a member the link did not take
                # The code makes the address as the CPU reads it at the ADD (B): PC + the
                # halves, PC being B + 4 in Thumb code, B + 8 in ARM code.
                bias = 4 if thumb else 8
                value = _half(image.data, places.file_offset(high_site), thumb) << 16 | \
                    _half(image.data, places.file_offset(low_site), thumb)
                meaning = function_or_place(places, (b + bias + value) & 0xFFFFFFFF)[0]
                anchor = places.holder(b, True)
                if meaning is None or None in meaning or anchor is None or \
                        not all(place[0] in out_unique for place in sites + [anchor]):
                    skipped += 1
                    continue
                out_low, out_high = (out.file_offset(out.address_of(*place)) for place in sites)
                made = _half(output.data, out_high, thumb) << 16 | \
                    _half(output.data, out_low, thumb)
                landed = (out.address_of(*anchor) + bias + made) & 0xFFFFFFFF
                entry = result(image, sites[0])
                entry[0] += 1
                reached, thumb_bit = function_or_place(out, landed)
                if reached != meaning:
                    entry[1].append(f"{image.name}: {sites[0][0]}+0x{sites[0][1]:x}: the address "
                                    f"of {meaning} comes out as 0x{landed:x} ({reached})")
                elif thumb_bit is False:
                    entry[1].append(f"{image.name}: {sites[0][0]}+0x{sites[0][1]:x}: the address "
                                    f"of the Thumb function {meaning[1]} comes out without bit "
                                    "0: a call through it would run the function as ARM code")
            for site, a, b in _difference_pairs(image, section):
                holder = places.holder(site, True)
                if holder is None or holder[0] not in out.names:
                    continue  # not in the output: a member the link did not take
                meaning, anchor = function_or_place(places, a)[0], places.holder(b, True)
                if meaning is None or None in meaning or anchor is None or \
                        not all(place[0] in out_unique for place in (holder, anchor)):
                    skipped += 1
                    continue
                # What the word adds to A - B (PC's lead, an addend) it adds in the output too.
                extra = struct.unpack_from("<I", image.data, places.file_offset(site))[0] - (a - b)
                value = output.read32(out.address_of(*holder))
                landed = (out.address_of(*anchor) + value - extra) & 0xFFFFFFFF
                entry = result(image, holder)
                entry[0] += 1
                reached = function_or_place(out, landed)[0]
                if reached != meaning:
                    entry[1].append(f"{image.name}: {holder[0]}+0x{holder[1]:x}: the difference "
                                    f"to {meaning} comes out as 0x{landed:x} ({reached})")
    for (_, holder), (count, problems) in results.items():
        copies.setdefault(holder, []).append((len(problems), count, problems))
    checked, found = 0, []
    for holder, results_of_copies in copies.items():
        _, count, problems = min(results_of_copies)  # the copy the output holds is right
        checked += count
        found += problems
    return checked, skipped, found
