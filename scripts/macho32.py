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
S_SYMBOL_STUBS, S_ATTR_NO_DEAD_STRIP = 0x8, 0x10000000
ARM_RELOC_VANILLA, ARM_RELOC_BR24, ARM_THUMB_RELOC_BR22 = 0, 5, 6
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

    def __init__(self, data, base=0, name=""):
        self.data, self.base, self.name = data, base, name
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


def patch_object(data, base, records):
    """Prepares the object at data[base] for the old linker: renames and empties its image info
    (keeping the record in `records`), and makes its private external symbols external."""
    if struct.unpack_from("<I", data, base)[0] != MH_MAGIC:
        return
    image = Image(data, base)
    for section in image.sections:
        if section["segname"] == b"__DATA" and section["name"] == IMAGE_INFO:
            start = base + section["offset"]
            records.add(bytes(data[start:start + section["size"]]))
            data[section["header"]:section["header"] + 16] = LINKED_AS
            struct.pack_into("<I", data, section["header"] + 36, 0)
    # The linker's 32-bit reader files a private external symbol (a hidden one) with the
    # locals, though it stands among the externals, and then finds a relocation's symbol by its
    # index as if it did not: a call to a hidden function reaches another symbol (seen: calls of
    # ___clang_call_terminate reached a vtable). Made external, every symbol is filed where it
    # stands; the exported-symbols list, not the objects, decides what the output exports.
    # Its pointer to a symbol (an external relocation) adds the Thumb bit to what the object
    # holds, which for a Thumb function of the same object already has it: a vtable's entry
    # would point 2 bytes into the function. The bit is taken out of the object's value.
    symbols = image.symbols()
    for section in image.sections:
        for address, symbolnum, kind in image.relocations(section):
            name, n_type, _, n_desc, _ = symbols[symbolnum]
            at = base + section["offset"] + address - section["addr"]
            if kind == ARM_RELOC_VANILLA and n_type & N_TYPE == N_SECT and \
                    n_desc & N_ARM_THUMB_DEF and data[at] & 1:
                data[at] &= 0xFE
    if image.symtab is not None:
        symoff, nsyms = image.symtab[0], image.symtab[1]
        for i in range(nsyms):
            n_type = base + symoff + 12 * i + 4
            if data[n_type] & N_STAB == 0 and data[n_type] & N_TYPE != N_UNDF and \
                    data[n_type] & (N_PEXT | N_EXT) == N_PEXT | N_EXT:
                data[n_type] &= ~N_PEXT & 0xFF


def image_info_object(record, cpusubtype):
    """A 32-bit ARM object holding the one image info record, under its linked name."""
    section = struct.pack("<16s16sIIIIIIIII", LINKED_AS, b"__DATA", 0, len(record),
                          28 + 56 + 68, 2, 0, 0, S_ATTR_NO_DEAD_STRIP, 0, 0)
    segment = struct.pack("<II16sIIIIIIII", LC_SEGMENT, 56 + 68, b"", 0, len(record),
                          28 + 56 + 68, len(record), 7, 7, 1, 0) + section
    header = struct.pack("<7I", MH_MAGIC, CPU_TYPE_ARM, cpusubtype, MH_OBJECT, 1, len(segment),
                         0)
    return header + segment + record


def archive_members(data):
    """(offset of the member's data, size) of each member of a BSD or System V ar archive."""
    if not data.startswith(b"!<arch>\n"):
        return
    at = 8
    while at + 60 <= len(data):
        name = bytes(data[at:at + 16]).decode(errors="replace").strip()
        size = int(bytes(data[at + 48:at + 58]).decode().strip())
        start, length = at + 60, size
        if name.startswith("#1/"):  # a BSD long name, stored before the member's data
            skip = int(name[3:])
            start, length = start + skip, size - skip
        yield start, length
        at += 60 + size + (size & 1)


def objects_in(data, name):
    """The Mach-O objects of an object file or archive, as Images."""
    if data.startswith(b"!<arch>\n"):
        return [Image(data, start, f"{name}({i})") for i, (start, _) in
                enumerate(archive_members(data))
                if struct.unpack_from("<I", data, start)[0] == MH_MAGIC]
    return [Image(data, 0, name)]


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


def check_relocations(inputs, output):
    """(count checked, count skipped, problems): each external relocation of the inputs
    (branches and pointers to a symbol) followed to where it lands in the output, which must be
    that symbol, or a stub or bound pointer of it for an import. A site is found by the symbol it
    lies in, when that name is unique; the others are counted as skipped."""
    out_symbols, thumb = {}, {}
    for name, n_type, _, n_desc, value in output.symbols():
        if n_type & N_STAB == 0 and n_type & N_TYPE == N_SECT:
            out_symbols.setdefault(name, []).append(value)
            thumb[name] = bool(n_desc & N_ARM_THUMB_DEF)
    stubs = {}
    for section in output.sections:
        if section["flags"] & 0xFF == S_SYMBOL_STUBS:
            size = section["reserved2"]
            for k in range(section["size"] // size):
                index = output.indirect_symbol(section["reserved1"] + k)
                if index is not None:
                    stubs[section["addr"] + k * size] = output.symbols()[index][0]
    binds = output.binds()
    seen = {}
    for image in inputs:
        for name, n_type, n_sect, _, _ in image.symbols():
            if n_type & N_STAB == 0 and n_type & N_TYPE == N_SECT:
                seen[name] = seen.get(name, 0) + 1
    checked, skipped, problems = 0, 0, []
    for image in inputs:
        symbols = image.symbols()
        by_section = {}
        for name, n_type, n_sect, _, value in symbols:
            if n_type & N_STAB == 0 and n_type & N_TYPE == N_SECT:
                by_section.setdefault(n_sect, []).append((value, name))
        for number, section in enumerate(image.sections, 1):
            starts = sorted(by_section.get(number, []))
            addresses = [a for a, _ in starts]
            for site, symbolnum, kind in image.relocations(section):
                if kind not in (ARM_RELOC_VANILLA, ARM_RELOC_BR24, ARM_THUMB_RELOC_BR22):
                    continue
                holder = bisect.bisect_right(addresses, site) - 1
                if holder < 0:
                    continue
                start, holder_name = starts[holder]
                if holder_name not in out_symbols:
                    continue  # not in the output: a member the link did not take
                if seen.get(holder_name) != 1 or len(out_symbols[holder_name]) != 1:
                    skipped += 1  # several inputs or places share the name
                    continue
                out_site = out_symbols[holder_name][0] + site - start
                at_input = image.base + section["offset"] + site - section["addr"]
                target = symbols[symbolnum][0]
                defined = out_symbols.get(target)
                where = f"{image.name}: {holder_name}+0x{site - start:x}"
                if kind == ARM_RELOC_VANILLA:
                    addend = struct.unpack_from("<I", image.data, at_input)[0]
                    value = output.read32(out_site)
                    if defined and thumb.get(target):  # a Thumb function's address has bit 0
                        ok = value == ((defined[0] + (addend & ~1)) | 1) & 0xFFFFFFFF
                    elif defined:
                        ok = value == (defined[0] + addend) & 0xFFFFFFFF
                    else:
                        ok = binds.get(out_site, (None, None))[1] == target
                    if not ok:
                        problems.append(f"{where}: the pointer to {target} holds 0x{value:x}")
                else:
                    addend, _ = branch_target(image.data, at_input, site, kind)
                    at_output = next(fileoff + out_site - vmaddr
                                     for vmaddr, fileoff, size in output.segments
                                     if vmaddr <= out_site < vmaddr + size)
                    landed, _ = branch_target(output.data, at_output, out_site, kind)
                    if defined:
                        ok = landed == defined[0] + addend
                    else:
                        ok = stubs.get(landed) == target
                    if not ok:
                        problems.append(f"{where}: the branch to {target} lands at 0x{landed:x}")
                checked += 1
    return checked, skipped, problems
