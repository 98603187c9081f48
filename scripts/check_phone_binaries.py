#!/usr/bin/env python3
"""Checks the phone binaries and the package against what the phone expects.

Usage: check_phone_binaries.py SDK SDK_32 DYLIB BUNDLE_BINARY DEB

DYLIB and BUNDLE_BINARY are fat files, each with an armv7, an armv7s and an arm64 slice. Every
slice is checked on its own: its exports or classes, its imports against its SDK's stubs (arm64:
SDK; armv7 and armv7s: SDK_32, with SDK's word on what the libraries served on iOS 7, as
tbd_stubs.py reads them), every call into a stub or through a bound pointer followed to the
import it reaches, the Objective-C image info, the dyld information, the minimum system and the
UUID. Then the slices against one another (the same exports, classes and selectors), the
signatures, also as packed in DEB, and the package.

Prints one line per check and exits 1 when any fails.
"""
import bisect
import plistlib
import re
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

import tbd_stubs
import verify_signature

SOURCE = Path(__file__).resolve().parent.parent
OBJDUMP = "llvm-objdump-16"
LIPO = "llvm-lipo-16"
ARCHITECTURES = ("armv7", "armv7s", "arm64")
MINIMUM_OS = (7, 0, 0)


def names_in(table, kinds):
    """The first argument of every line of `kinds` in one of the project's .def tables."""
    text = (SOURCE / table).read_text()
    return re.findall(r"^(?:" + "|".join(kinds) + r")\(\s*(\w+)", text, re.M)


SHARED_VARIABLES = names_in("tweak/shared_variables.def", ["TW_SETTING", "TW_OBJECT", "TW_STATE"])
MONITOR_IDENTIFIER = "com.example.tonewell"
PANE_CLASSES = names_in("tonewellprefs/pane_classes.def", ["TW_PANE_LIST", "TW_PANE_PAGE"])
DEPENDS = "mobilesubstrate, preferenceloader, firmware (>= 7.0), firmware (<< 8.0)"

failures = []


def report(ok, text):
    print(("ok      " if ok else "FAILED  ") + text)
    if not ok:
        failures.append(text)


def objdump(*args):
    return subprocess.run([OBJDUMP, "--macho", *args], check=True, capture_output=True,
                          text=True).stdout


class Problem(Exception):
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


def _sleb(data, at):
    value, shift = 0, 0
    while True:
        byte = data[at]
        at += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value - (1 << shift) if byte & 0x40 else value, at


def _signed(value, bits):
    return value - (1 << bits) if value & (1 << (bits - 1)) else value


class MachO:
    """A thin Mach-O file as dyld reads it: its segments, sections, libraries and binds."""

    DYLIB_COMMANDS = (0xC, 0x80000018, 0x8000001F, 0x80000023, 0x20)  # load, weak, reexport,
    # upward, lazy

    def __init__(self, path):
        self.path = Path(path)
        self.data = data = self.path.read_bytes()
        magic = struct.unpack_from("<I", data, 0)[0]
        if magic not in (0xFEEDFACE, 0xFEEDFACF):
            raise Problem(f"{path} is not a thin Mach-O file")
        self.is64 = magic == 0xFEEDFACF
        self.pointer = 8 if self.is64 else 4
        self.cputype, self.cpusubtype, self.filetype, ncmds = struct.unpack_from("<iIII", data, 4)
        at = 32 if self.is64 else 28
        self.commands, self.segments, self.sections, self.dylibs = [], [], [], []
        self.dyld_info = self.symtab = self.dysymtab = self.version_min = self.uuid = None
        for _ in range(ncmds):
            cmd, size = struct.unpack_from("<II", data, at)
            self.commands.append(cmd)
            if cmd in (0x1, 0x19):
                self._segment(at, cmd == 0x19)
            elif cmd in self.DYLIB_COMMANDS:
                name = struct.unpack_from("<I", data, at + 8)[0]
                self.dylibs.append(data[at + name:data.index(b"\0", at + name)].decode())
            elif cmd in (0x22, 0x80000022):
                self.dyld_info = struct.unpack_from("<10I", data, at + 8)
            elif cmd == 0x2:
                self.symtab = struct.unpack_from("<4I", data, at + 8)
            elif cmd == 0xB:
                self.dysymtab = struct.unpack_from("<18I", data, at + 8)
            elif cmd == 0x25:  # LC_VERSION_MIN_IPHONEOS
                version = struct.unpack_from("<I", data, at + 8)[0]
                self.version_min = (version >> 16, version >> 8 & 0xFF, version & 0xFF)
            elif cmd == 0x1B:
                self.uuid = data[at + 8:at + 24]
            at += size

    def _segment(self, at, wide):
        data = self.data
        if wide:
            name, vmaddr, vmsize, fileoff, filesize = struct.unpack_from("<16sQQQQ", data, at + 8)
            nsects, first, size, layout = struct.unpack_from("<I", data, at + 64)[0], at + 72, 80, \
                "<16s16sQQIIIIIII"
        else:
            name, vmaddr, vmsize, fileoff, filesize = struct.unpack_from("<16sIIII", data, at + 8)
            nsects, first, size, layout = struct.unpack_from("<I", data, at + 48)[0], at + 56, 68, \
                "<16s16sIIIIIIIII"
        self.segments.append({"name": name.rstrip(b"\0").decode(), "vmaddr": vmaddr,
                              "vmsize": vmsize, "fileoff": fileoff, "filesize": filesize})
        for i in range(nsects):
            (sectname, segname, addr, sectsize, offset, _, _, _, flags, reserved1,
             reserved2) = struct.unpack_from(layout, data, first + size * i)
            self.sections.append({"segname": segname.rstrip(b"\0").decode(),
                                  "name": sectname.rstrip(b"\0").decode(), "addr": addr,
                                  "size": sectsize, "offset": offset, "type": flags & 0xFF,
                                  "reserved1": reserved1, "reserved2": reserved2})

    def section(self, segname, name):
        found = [s for s in self.sections if s["segname"] == segname and s["name"] == name]
        return found[0] if found else None

    def section_at(self, address):
        return next((s for s in self.sections if s["addr"] <= address < s["addr"] + s["size"]),
                    None)

    def read(self, address, size):
        for seg in self.segments:
            if seg["vmaddr"] <= address and address + size <= seg["vmaddr"] + seg["filesize"]:
                start = seg["fileoff"] + address - seg["vmaddr"]
                return self.data[start:start + size]
        raise Problem(f"address 0x{address:x} is not in the file")

    def word(self, address, size=None):
        return int.from_bytes(self.read(address, size or self.pointer), "little")

    def cstring(self, address):
        section = self.section_at(address)
        if section is None:
            raise Problem(f"no section holds the string at 0x{address:x}")
        start = section["offset"] + address - section["addr"]
        return self.data[start:self.data.index(b"\0", start)].decode(errors="replace")

    def symbols(self):
        """(name, n_type, n_sect, n_desc, n_value) of the symbol table."""
        symoff, nsyms, stroff, _ = self.symtab
        size = 16 if self.is64 else 12
        layout = "<IBBHQ" if self.is64 else "<IBBhI"
        out = []
        for i in range(nsyms):
            strx, n_type, n_sect, n_desc, n_value = struct.unpack_from(layout, self.data,
                                                                      symoff + size * i)
            start = stroff + strx
            name = self.data[start:self.data.index(b"\0", start)].decode(errors="replace")
            out.append((name, n_type, n_sect, n_desc & 0xFFFF, n_value))
        return out

    def indirect_symbol(self, index):
        """The name an indirect-symbol-table entry stands for, or LOCAL / ABSOLUTE."""
        value = struct.unpack_from("<I", self.data, self.dysymtab[12] + 4 * index)[0]
        if value & 0x80000000:
            return "LOCAL"
        if value & 0x40000000:
            return "ABSOLUTE"
        return self.symbols()[value][0] if value < self.symtab[1] else f"#{value}"

    def rebases(self):
        """The addresses dyld slides: the pointers the binary holds to itself."""
        offset, size = self.dyld_info[0], self.dyld_info[1]
        data, at, end = self.data, offset, offset + size
        address, out = 0, []
        while at < end:
            opcode, immediate = data[at] & 0xF0, data[at] & 0x0F
            at += 1
            if opcode == 0x00:
                break
            if opcode == 0x20:
                position, at = _uleb(data, at)
                address = self.segments[immediate]["vmaddr"] + position
            elif opcode == 0x30:
                delta, at = _uleb(data, at)
                address += delta
            elif opcode == 0x40:
                address += immediate * self.pointer
            elif opcode in (0x50, 0x60, 0x70, 0x80):
                count, skip = immediate, 0
                if opcode in (0x60, 0x80):
                    count, at = _uleb(data, at)
                if opcode == 0x70:
                    count = 1
                    skip, at = _uleb(data, at)
                elif opcode == 0x80:
                    skip, at = _uleb(data, at)
                for _ in range(count):
                    out.append(address)
                    address += self.pointer + skip
            elif opcode != 0x10:
                raise Problem(f"unknown rebase opcode 0x{opcode:02x}")
        return out

    def binds(self, which):
        """The binds of the `bind`, `weak` or `lazy` stream: dicts of address, library (an
        install name, or None for the image itself and flat look-ups), symbol, and for lazy
        binds `start`, the entry's offset in the stream, which a stub helper names."""
        index = {"bind": 2, "weak": 4, "lazy": 6}[which]
        offset, size = self.dyld_info[index], self.dyld_info[index + 1]
        data, at, end = self.data, offset, offset + size
        ordinal, symbol, segment, position, start = 0, None, 0, 0, 0
        out = []

        def emit():
            address = self.segments[segment]["vmaddr"] + position
            library = self.dylibs[ordinal - 1] if 0 < ordinal <= len(self.dylibs) else None
            if ordinal > len(self.dylibs):
                raise Problem(f"a bind names library ordinal {ordinal} of {len(self.dylibs)}")
            out.append({"address": address, "library": library, "ordinal": ordinal,
                        "symbol": symbol, "start": start})

        while at < end:
            opcode, immediate = data[at] & 0xF0, data[at] & 0x0F
            at += 1
            if opcode == 0x00:  # DONE: the end, or between lazy binds
                if which != "lazy":
                    break
                start = at - offset
            elif opcode == 0x10:
                ordinal = immediate
            elif opcode == 0x20:
                ordinal, at = _uleb(data, at)
            elif opcode == 0x30:
                ordinal = _signed(immediate | 0xF0, 8) if immediate else 0
            elif opcode == 0x40:
                end_of_name = data.index(b"\0", at)
                symbol, at = data[at:end_of_name].decode(), end_of_name + 1
            elif opcode == 0x50:
                pass
            elif opcode == 0x60:
                _, at = _sleb(data, at)
            elif opcode == 0x70:
                segment = immediate
                position, at = _uleb(data, at)
            elif opcode == 0x80:
                delta, at = _uleb(data, at)
                position = (position + delta) & 0xFFFFFFFFFFFFFFFF
            elif opcode == 0x90:
                emit()
                position += self.pointer
            elif opcode == 0xA0:
                emit()
                delta, at = _uleb(data, at)
                position = (position + self.pointer + delta) & 0xFFFFFFFFFFFFFFFF
            elif opcode == 0xB0:
                emit()
                position += self.pointer + immediate * self.pointer
            elif opcode == 0xC0:
                count, at = _uleb(data, at)
                skip, at = _uleb(data, at)
                for _ in range(count):
                    emit()
                    position += self.pointer + skip
            else:
                raise Problem(f"unknown bind opcode 0x{opcode:02x} in the {which} binds")
        return out


def thin_slices(fat, folder):
    """{architecture: MachO} of a fat file's slices, each extracted with llvm-lipo."""
    out = {}
    for arch in ARCHITECTURES:
        path = Path(folder) / f"{Path(fat).name}.{arch}"
        run = subprocess.run([LIPO, fat, "-thin", arch, "-output", str(path)],
                             capture_output=True, text=True)
        if run.returncode == 0:
            out[arch] = MachO(path)
    return out


def check_architectures(fat):
    found = subprocess.run([LIPO, "-archs", fat], check=True, capture_output=True,
                           text=True).stdout.split()
    report(sorted(found) == sorted(ARCHITECTURES),
           f"{Path(fat).name} holds {', '.join(ARCHITECTURES)}"
           + ("" if sorted(found) == sorted(ARCHITECTURES) else f" (has: {', '.join(found)})"))


def exports_of(path):
    return set(re.findall(r"^0x[0-9A-F]+\s+(\S+)", objdump("--exports-trie", str(path)), re.M))


def check_exports(name, arch, binary):
    exported = exports_of(binary.path)
    wanted = ["_" + v for v in SHARED_VARIABLES] + ["_increaseVolumeIfNeeded"]
    missing = [w for w in wanted if w not in exported]
    extra = sorted(exported - set(wanted))
    report(not missing, f"{name} {arch}: exports the {len(SHARED_VARIABLES)} shared variables "
           "and increaseVolumeIfNeeded" + (f" (missing: {', '.join(missing)})" if missing else ""))
    report(not extra, f"{name} {arch}: exports nothing else"
           + (f" (also: {', '.join(extra)})" if extra else ""))


def defined_classes(binary):
    """The Objective-C classes the slice defines (in __objc_data)."""
    data_sections = {i + 1 for i, s in enumerate(binary.sections) if s["name"] == "__objc_data"}
    return {name[len("_OBJC_CLASS_$_"):] for name, n_type, n_sect, _, _ in binary.symbols()
            if name.startswith("_OBJC_CLASS_$_") and n_type & 0x0E == 0x0E
            and n_sect in data_sections}


def check_classes(name, arch, binary):
    classes = defined_classes(binary)
    for wanted in PANE_CLASSES:
        report(wanted in classes, f"{name} {arch}: defines the Objective-C class {wanted}")


def selectors(binary):
    """The selectors the slice sends: the names its __objc_selrefs point to."""
    refs = binary.section("__DATA", "__objc_selrefs")
    if refs is None:
        return set()
    return {binary.cstring(binary.word(refs["addr"] + i))
            for i in range(0, refs["size"], binary.pointer)}


def check_load_format(name, arch, binary):
    """What iOS 7's dyld and runtime read: one 8-byte image info, classic rebase and bind
    opcodes, the minimum system, a UUID."""
    infos = [s for s in binary.sections if s["name"] == "__objc_imageinfo"]
    sizes = [s["size"] for s in infos]
    report(sizes == [8] and infos[0]["segname"] == "__DATA",
           f"{name} {arch}: __objc_imageinfo is one 8-byte record in __DATA"
           + ("" if sizes == [8] else f" (sizes: {sizes})"))
    chained = {0x80000034: "LC_DYLD_CHAINED_FIXUPS", 0x80000033: "LC_DYLD_EXPORTS_TRIE"}
    has = [chained[c] for c in binary.commands if c in chained]
    report(0x80000022 in binary.commands and not has,
           f"{name} {arch}: classic dyld information (LC_DYLD_INFO_ONLY, no chained fixups)"
           + (f" (has: {', '.join(has)})" if has else ""))
    version = binary.version_min
    report(version == MINIMUM_OS and 0x32 not in binary.commands,
           f"{name} {arch}: minimum system iOS 7.0 (LC_VERSION_MIN_IPHONEOS)"
           + ("" if version == MINIMUM_OS else f" (has: {version})"))
    report(binary.uuid is not None and any(binary.uuid),
           f"{name} {arch}: has a UUID"
           + (f" ({binary.uuid.hex().upper()})" if binary.uuid else ""))


class Stubs:
    """The SDK's libraries as each slice links against them (tbd_stubs.py's reading)."""

    def __init__(self, sdk, sdk_32):
        self.trees = {"arm64": tbd_stubs.StubTree(sdk, None, "arm64")}
        for arch in ("armv7", "armv7s"):
            self.trees[arch] = tbd_stubs.StubTree(sdk_32, None, arch, names_sdk=sdk)

    def sdk(self, arch):
        return self.trees[arch].sdk

    def served(self, arch, install_name):
        """{symbol: flags} the library serves on iOS 7, or None if the SDK lacks it."""
        tree = self.trees[arch]
        try:
            return tree.stub(install_name).symbols
        except tbd_stubs.StubError:
            return None


def check_imports(name, arch, binary, stubs):
    """Every library loaded is in the slice's SDK and gives it a symbol; every bound symbol is in
    its library's stub."""
    binds = list(bound_pointers(binary).values())
    used = {b["library"] for b in binds}
    served = {}
    for library in binary.dylibs:
        served[library] = stubs.served(arch, library)
        where = tbd_stubs.tbd_for(stubs.sdk(arch), library)
        report(served[library] is not None and library in used,
               f"{name} {arch}: links {library}"
               + (f" (in {stubs.sdk(arch).name}: {where.relative_to(stubs.sdk(arch))})"
                  if where else f" (not in {stubs.sdk(arch).name})")
               + ("" if library in used else ", but binds nothing from it"))
    missing = sorted({f"{b['symbol']} ({b['library']})" for b in binds
                      if b["library"] is None or b["symbol"] not in (served.get(b["library"])
                                                                     or {})})
    symbols = {(b["library"], b["symbol"]) for b in binds}
    report(not missing, f"{name} {arch}: all {len(symbols)} imported symbols are in their "
           f"libraries' stubs ({stubs.sdk(arch).name})"
           + (f"; not found: {', '.join(missing)}" if missing else ""))
    return bound_pointers(binary)


def bound_pointers(binary):
    """{address: bind} of the binary's binds at load time and lazy ones (`lazy`); an address
    bound both ways is bound at load time."""
    binds = [dict(b, lazy=True) for b in binary.binds("lazy")] + \
        [dict(b, lazy=False) for b in binary.binds("bind")]
    return {b["address"]: b for b in binds}


# The 32-bit stub (ARM code): ldr ip, [pc, #4]; add ip, pc, ip; ldr pc, [ip]; .long ptr - (.+12)
ARM_STUB = (0xE59FC004, 0xE08FC00C, 0xE59CF000)


def stub_pointer(binary, address):
    """The pointer a stub jumps through, decoded from its instructions."""
    if not binary.is64:
        words = struct.unpack("<4I", binary.read(address, 16))
        if words[:3] != ARM_STUB:
            raise Problem(f"the stub at 0x{address:x} is not the expected ARM code")
        return (address + 12 + words[3]) & 0xFFFFFFFF
    adrp, ldr, br = struct.unpack("<3I", binary.read(address, 12))
    if adrp & 0x9F00001F != 0x90000010 or ldr & 0xFFC003FF != 0xF9400210 or br != 0xD61F0200:
        raise Problem(f"the stub at 0x{address:x} is not adrp/ldr/br through x16")
    page = _signed((adrp >> 5 & 0x7FFFF) << 2 | (adrp >> 29 & 3), 21) << 12
    return (address & ~0xFFF) + page + (ldr >> 10 & 0xFFF) * 8


def helper_offset(binary, entry, helper):
    """The lazy-bind offset a stub helper entry hands to the common part, which it must reach."""
    if not binary.is64:
        load, branch, offset = struct.unpack("<3I", binary.read(entry, 12))
        target = entry + 12 + _signed(branch & 0xFFFFFF, 24) * 4
        if load != 0xE59FC000 or branch & 0xFF000000 != 0xEA000000 or target != helper["addr"]:
            raise Problem(f"the stub helper entry at 0x{entry:x} is not the expected ARM code")
        return offset
    load, branch, offset = struct.unpack("<3I", binary.read(entry, 12))
    target = entry + 4 + _signed(branch & 0x3FFFFFF, 26) * 4
    if load != 0x18000050 or branch & 0xFC000000 != 0x14000000 or target != helper["addr"]:
        raise Problem(f"the stub helper entry at 0x{entry:x} is not ldr w16 / b")
    return offset


def binder_pointer(binary, helper, cache=False):
    """The pointer through which the stub helper's common part calls dyld_stub_binder, or with
    `cache` the word it hands dyld to keep its own data in (32-bit only)."""
    start = helper["addr"]
    if not binary.is64:
        # str ip,[sp,#-4]!; ldr ip,L1; add ip,pc,ip; str ip,[sp,#-4]!; ldr ip,L2; add ip,pc,ip;
        # ldr pc,[ip]; L1: .long cache-(.+8); L2: .long binder-(.+8)
        words = struct.unpack("<9I", binary.read(start, 36))
        if words[1:3] != (0xE59FC010, 0xE08FC00C) or \
                words[4:7] != (0xE59FC008, 0xE08FC00C, 0xE59CF000):
            raise Problem("the stub helper's common part is not the expected ARM code")
        return (start + (16 + words[7] if cache else 28 + words[8])) & 0xFFFFFFFF
    # adrp x17, cache; add x17, x17, cache; stp x16, x17, [sp, #-16]!; adrp x16, binder;
    # ldr x16, [x16, binder]; br x16
    words = struct.unpack("<6I", binary.read(start, 24))
    if words[3] & 0x9F00001F != 0x90000010 or words[4] & 0xFFC003FF != 0xF9400210 or \
            words[5] != 0xD61F0200:
        raise Problem("the stub helper's common part is not adrp/ldr/br through x16")
    page = _signed((words[3] >> 5 & 0x7FFFF) << 2 | (words[3] >> 29 & 3), 21) << 12
    return ((start + 12) & ~0xFFF) + page + (words[4] >> 10 & 0xFFF) * 8


def functions(binary):
    """Sorted (address, thumb) of the functions in __text."""
    text = [i + 1 for i, s in enumerate(binary.sections) if s["name"] == "__text"]
    starts = {}
    for _, n_type, n_sect, n_desc, n_value in binary.symbols():
        if n_type & 0xE0 == 0 and n_type & 0x0E == 0x0E and n_sect in text:
            starts[n_value] = bool(n_desc & 0x0008)  # N_ARM_THUMB_DEF
    return sorted(starts.items())


CONDITIONS = "(?:eq|ne|cs|hs|cc|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le|al)?"
BRANCH = re.compile(rf"^(?:b|bl|blx|cbz|cbnz|tbz|tbnz){CONDITIONS}(?:\.w|\.n)?$|^b\.[a-z]{{2}}$")
CALL = re.compile(rf"^blx?{CONDITIONS}(?:\.w)?$")


def check_calls(name, arch, binary, bound):
    """Every branch into a stub lands on a stub, in the stub's instruction set, and the stub
    reaches, through its pointer and the lazy binder, the import its pointer is bound to; every
    pointer the binary binds is a bound symbol slot; every call lands on a function."""
    problems = []
    stubs = next((s for s in binary.sections if s["type"] == 0x8), None)  # S_SYMBOL_STUBS
    helper = binary.section("__TEXT", "__stub_helper")
    lazy = binary.binds("lazy")
    lazy_at = {b["start"]: b for b in lazy}
    stub_count = 0
    if stubs is not None:
        size = stubs["reserved2"]
        stub_count = stubs["size"] // size
        try:
            binder = binder_pointer(binary, helper) if helper else None
            if binder is not None and (bound.get(binder) or {}).get("symbol") != \
                    "dyld_stub_binder":
                problems.append("the stub helper does not call through dyld_stub_binder")
        except Problem as e:
            problems.append(str(e))
        for k in range(stub_count):
            address = stubs["addr"] + k * size
            try:
                pointer = stub_pointer(binary, address)
                slot = binary.section_at(pointer)
                named = binary.indirect_symbol(stubs["reserved1"] + k)
                bind = bound.get(pointer)
                if slot is None or slot["type"] not in (0x6, 0x7):
                    problems.append(f"stub {named} jumps through 0x{pointer:x}, no symbol pointer")
                elif bind is None:
                    problems.append(f"stub {named} jumps through 0x{pointer:x}, which is not bound")
                elif bind["symbol"] != named:
                    problems.append(f"stub {named} jumps through the pointer of {bind['symbol']}")
                elif bind["lazy"] and helper is not None:  # bound on first call by the helper
                    entry = binary.word(pointer)
                    via = lazy_at.get(helper_offset(binary, entry, helper))
                    if via is None or via["address"] != pointer or via["symbol"] != named:
                        problems.append(f"stub {named}: its helper binds "
                                        f"{via and via['symbol']} at {via and hex(via['address'])}")
            except Problem as e:
                problems.append(str(e))
    # Every symbol pointer slot is bound to the symbol the indirect table names.
    slots = 0
    for section in binary.sections:
        if section["type"] not in (0x6, 0x7):
            continue
        for k in range(section["size"] // binary.pointer):
            address = section["addr"] + k * binary.pointer
            named = binary.indirect_symbol(section["reserved1"] + k)
            if named in ("LOCAL", "ABSOLUTE"):
                continue
            slots += 1
            bind = bound.get(address)
            if bind is None or bind["symbol"] != named:
                problems.append(f"the pointer for {named} at 0x{address:x} is bound to "
                                f"{bind and bind['symbol']}")
    # Every word of the pointer sections is bound or slid: a pointer that is neither holds
    # what the linker wrote, which the image's code cannot use.
    rebased = set(binary.rebases())
    if helper is not None and not binary.is64:  # dyld's own word, which it writes itself
        try:
            rebased.add(binder_pointer(binary, helper, cache=True))
        except Problem:
            pass  # reported above
    words = 0
    for section in binary.sections:
        if section["name"] in ("__nl_symbol_ptr", "__got", "__la_symbol_ptr"):
            for address in range(section["addr"], section["addr"] + section["size"],
                                 binary.pointer):
                words += 1
                if address not in bound and address not in rebased:
                    problems.append(f"the pointer at 0x{address:x} ({section['name']}) is "
                                    "neither bound nor slid")
    # Every bind lands in a writable pointer of __DATA (or __DATA_CONST).
    for address, bind in bound.items():
        section = binary.section_at(address)
        if section is None or not section["segname"].startswith("__DATA"):
            problems.append(f"{bind['symbol']} is bound at 0x{address:x}, outside __DATA")

    calls = branches = 0
    starts = functions(binary)
    addresses = [a for a, _ in starts]
    text = binary.section("__TEXT", "__text")
    # Raw targets, not symbols; the 32-bit code uses NEON and VFPv4 (armv7s), which objdump
    # decodes only when told, or it reads on out of step.
    features = [] if binary.is64 else ["--mattr=+neon,+vfp4,+d32"]
    disassembly = objdump("-d", "--no-symbolic-operands", *features, str(binary.path))
    for line in disassembly.splitlines():
        parts = line.split("\t")
        if len(parts) < 3 or not parts[0].strip().endswith(":"):
            continue
        mnemonic = parts[-2].strip() if len(parts) >= 4 else parts[1].strip()
        operands = parts[-1]
        if mnemonic == "add" and operands.replace(" ", "") == "pc,pc":
            # lld 13's Thumb-to-ARM shim: `add pc, pc` where `add ip, pc` is meant.
            problems.append(f"the instruction at {parts[0].strip()} jumps to pc + pc")
        if not BRANCH.match(mnemonic):
            continue
        # The target is the last number before the comment (tbz x0, #3, 0x40c8 ; ...).
        numbers = re.findall(r"0x([0-9a-f]+)", re.split(r"[;@]", operands)[0])
        if not numbers:
            continue
        site, target = int(parts[0].strip()[:-1], 16), int(numbers[-1], 16)
        caller = bisect.bisect_right(addresses, site) - 1
        caller_thumb = starts[caller][1] if caller >= 0 else False
        if stubs and stubs["addr"] <= target < stubs["addr"] + stubs["size"]:
            branches += 1
            if (target - stubs["addr"]) % stubs["reserved2"]:
                problems.append(f"the branch at 0x{site:x} lands inside a stub (0x{target:x})")
            elif not binary.is64 and caller_thumb and not mnemonic.startswith("blx"):
                problems.append(f"the Thumb branch at 0x{site:x} ({mnemonic}) into an ARM stub "
                                "does not switch the instruction set")
            continue
        if not CALL.match(mnemonic):
            # A jump: within its function, or a tail call to another in the same instruction set.
            end = addresses[caller + 1] if 0 <= caller < len(addresses) - 1 else \
                (text["addr"] + text["size"] if text else 0)
            if caller >= 0 and not addresses[caller] <= target < end:
                callee = bisect.bisect_left(addresses, target)
                if callee == len(addresses) or addresses[callee] != target:
                    problems.append(f"the jump at 0x{site:x} leaves its function for 0x{target:x}")
                elif not binary.is64 and starts[callee][1] != caller_thumb:
                    problems.append(f"the jump at 0x{site:x} enters 0x{target:x} in the wrong "
                                    "instruction set")
            continue
        calls += 1
        if not (text and text["addr"] <= target < text["addr"] + text["size"]):
            problems.append(f"the call at 0x{site:x} goes to 0x{target:x}, outside the code")
            continue
        callee = bisect.bisect_left(addresses, target)
        if callee == len(addresses) or addresses[callee] != target:
            problems.append(f"the call at 0x{site:x} lands inside a function (0x{target:x})")
        elif not binary.is64 and caller_thumb != (starts[callee][1] != mnemonic.startswith("blx")):
            problems.append(f"the call at 0x{site:x} ({mnemonic}) enters 0x{target:x} in the "
                            "wrong instruction set")
    # Every pointer the binary holds into its code (vtables, method lists, blocks) points at a
    # function, with bit 0 set exactly for a Thumb one.
    pointers = 0
    thumb_at = dict(starts)
    for address in binary.rebases():
        value = binary.word(address)
        if not (text and text["addr"] <= value & ~1 < text["addr"] + text["size"]):
            continue
        pointers += 1
        function = value & ~1 if not binary.is64 else value
        if function not in thumb_at:
            problems.append(f"the pointer at 0x{address:x} holds 0x{value:x}, inside a function")
        elif not binary.is64 and bool(value & 1) != thumb_at[function]:
            problems.append(f"the pointer at 0x{address:x} holds 0x{value:x}: the Thumb bit "
                            "does not match the function")
    shown = problems[:8] + ([f"and {len(problems) - 8} more"] if len(problems) > 8 else [])
    report(not problems, f"{name} {arch}: {branches} branches into {stub_count} stubs and "
           f"{slots} named pointers reach their imports; the {words} pointers of the pointer "
           f"sections are bound or slid; {calls} calls and {pointers} pointers land on "
           "functions"
           + (f"; {'; '.join(shown)}" if problems else ""))


def check_alike(name, found, what):
    """The same `what` in every slice: {architecture: set}."""
    first = found[ARCHITECTURES[-1]]
    differ = {arch: (sorted(v - first), sorted(first - v)) for arch, v in found.items()
              if v != first}
    report(not differ, f"{name}: the same {len(first)} {what} in every slice"
           + "".join(f"; {arch} also {extra[:5]}, lacks {lacks[:5]}"
                     for arch, (extra, lacks) in differ.items()))


def check_binary(fat, stubs, monitor):
    name = Path(fat).name
    check_architectures(fat)
    with tempfile.TemporaryDirectory(prefix="tonewell-slices-") as folder:
        slices = thin_slices(fat, folder)
        exports, classes, selector_sets, infos, uuids = {}, {}, {}, {}, {}
        for arch, binary in slices.items():
            if monitor:
                check_exports(name, arch, binary)
            else:
                check_classes(name, arch, binary)
            bound = check_imports(name, arch, binary, stubs)
            check_calls(name, arch, binary, bound)
            check_load_format(name, arch, binary)
            exports[arch] = exports_of(binary.path)
            classes[arch] = defined_classes(binary)
            selector_sets[arch] = selectors(binary)
            info = binary.section("__DATA", "__objc_imageinfo")
            infos[arch] = {binary.read(info["addr"], info["size"]).hex()} if info else set()
            uuids[arch] = binary.uuid
        if set(slices) == set(ARCHITECTURES):
            check_alike(name, exports, "exports")
            check_alike(name, classes, "Objective-C classes")
            check_alike(name, selector_sets, "selectors")
            check_alike(name, infos, "Objective-C image info")
            report(len(set(uuids.values())) == len(uuids), f"{name}: each slice its own UUID")


def check_signature(binary, identifier, info_plist=None, where=""):
    """The code directories, each slot's hash type, and every page and special slot re-hashed."""
    lines, problems = verify_signature.verify(binary, identifier, info_plist)
    for line in lines:
        print(f"        {line}")
    report(not problems, f"{Path(binary).name}{where} is signed ad hoc with SHA-1 (slot 0) and "
           f"SHA-256 (slot 0x1000) code directories, identifier {identifier}"
           + (f"; {'; '.join(problems)}" if problems else ""))


def check_layout(deb):
    listing = subprocess.run(["dpkg-deb", "-c", deb], check=True, capture_output=True,
                             text=True).stdout
    print(listing, end="")
    files = sorted(line.split()[-1].lstrip(".") for line in listing.splitlines()
                   if not line.startswith("d"))
    expected = sorted([
        "/Library/MobileSubstrate/DynamicLibraries/Tonewell.dylib",
        "/Library/MobileSubstrate/DynamicLibraries/Tonewell.plist",
        "/Library/PreferenceBundles/TonewellPrefs.bundle/Info.plist",
        "/Library/PreferenceBundles/TonewellPrefs.bundle/TonewellPrefs",
        "/Library/PreferenceBundles/TonewellPrefs.bundle/TonewellPrefs.plist",
        "/Library/PreferenceBundles/TonewellPrefs.bundle/TonewellPrefs.png",
        "/Library/PreferenceBundles/TonewellPrefs.bundle/TonewellPrefs@2x.png",
        "/Library/PreferenceLoader/Preferences/TonewellPrefs.plist",
    ])
    report(files == expected, f"{Path(deb).name} holds exactly the expected {len(expected)} files"
           + ("" if files == expected else f" (has: {files})"))
    with tempfile.TemporaryDirectory() as unpacked:
        subprocess.run(["dpkg-deb", "-x", deb, unpacked], check=True)
        root = Path(unpacked)
        monitor = root / "Library/MobileSubstrate/DynamicLibraries/Tonewell.dylib"
        check_architectures(str(monitor))
        check_signature(monitor, MONITOR_IDENTIFIER, where=" (packed)")
        bundle = root / "Library/PreferenceBundles/TonewellPrefs.bundle"
        check_architectures(str(bundle / "TonewellPrefs"))
        check_signature(bundle / "TonewellPrefs", bundle_identifier(bundle / "Info.plist"),
                        bundle / "Info.plist", where=" (packed)")
    control = subprocess.run(["dpkg-deb", "-f", deb, "Architecture", "Depends"], check=True,
                             capture_output=True, text=True).stdout
    fields = dict(line.split(": ", 1) for line in control.splitlines() if ": " in line)
    wanted = {"Architecture": "iphoneos-arm", "Depends": DEPENDS}
    report(fields == wanted, f"control: Architecture iphoneos-arm, Depends {DEPENDS}"
           + ("" if fields == wanted else f" (has: {fields})"))


def bundle_identifier(info_plist):
    with open(info_plist, "rb") as f:
        return plistlib.load(f)["CFBundleIdentifier"]


def main():
    sdk, sdk_32, dylib, bundle, deb = sys.argv[1:6]
    stubs = Stubs(sdk, sdk_32)
    try:
        check_binary(dylib, stubs, monitor=True)
        check_binary(bundle, stubs, monitor=False)
    except (Problem, tbd_stubs.StubError, struct.error, IndexError, ValueError) as e:
        report(False, f"the binaries cannot be read: {e}")
    info_plist = SOURCE / "tonewellprefs/Resources/Info.plist"
    check_signature(dylib, MONITOR_IDENTIFIER)
    check_signature(bundle, bundle_identifier(info_plist), info_plist)
    check_layout(deb)
    print(f"{len(failures)} check(s) failed" if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
