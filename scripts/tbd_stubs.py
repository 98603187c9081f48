#!/usr/bin/env python3
"""Writes Mach-O stub libraries from an iPhoneOS SDK's text stubs (.tbd), for a linker that
reads only real libraries (lld 13's old Mach-O linker, which links the phone's 32-bit slices).

Usage: tbd_stubs.py SDK OUT ARCH [--min-os 7.0] [--names-sdk NEWER_SDK] LIBRARY...

LIBRARY is an install name (/usr/lib/libSystem.B.dylib, /System/Library/Frameworks/Foundation.
framework/Foundation) or a path under SDK (usr/lib/libc++.tbd). Its stub is written under OUT at
its install name, with the stubs of the public libraries it re-exports; their paths are printed,
one a line, the named library's first.

A stub holds what a linker needs to bind to the library and nothing to run: the install name and
versions, and the architecture's exported symbols (Objective-C classes, metaclasses, instance
variables and exception types spelled as the compiler refers to them) in an export trie and a
symbol table. Where a symbol binds follows Apple's linker:
- a symbol that a library re-exports from a public library (one a program may link itself: in
  /usr/lib, or a public framework's binary) binds to that public library, the one that defines
  it. Foundation re-exports libobjc in the 9.3 SDK, which iOS 7's need not: NSObject binds
  to libobjc. So a stub lists no re-exported library; the public ones are stubs of their own,
  linked beside it.
- a symbol it re-exports from a private part (libSystem's /usr/lib/system/*, AVFoundation's
  libAVFAudio) binds to the library itself: the stub lists the parts' symbols as its own.

Text stubs are read in their four formats (v1 to v4). Linker directives for the minimum system
(`$ld$add$os7.0$sym`, `$ld$hide$os7.0$sym`, `$ld$install_name$os7.0$path`) are applied, others
dropped. An older SDK's stubs (format v1) cannot say what a library served on that system nor
which symbols it re-exports under its own name (libsystem_c's memcpy): with --names-sdk, both are
taken from a newer SDK's stubs (format v4) of the same library and architecture.
"""
import argparse
import struct
import sys
from dataclasses import dataclass, field
from pathlib import Path, PurePosixPath

import yaml

# Mach-O constants (mach-o/loader.h, mach-o/nlist.h).
MH_MAGIC, MH_MAGIC_64 = 0xFEEDFACE, 0xFEEDFACF
MH_DYLIB = 0x6
MH_DYLDLINK, MH_TWOLEVEL, MH_NO_REEXPORTED_DYLIBS = 0x4, 0x80, 0x100000
LC_SEGMENT, LC_SEGMENT_64 = 0x1, 0x19
LC_SYMTAB, LC_DYSYMTAB, LC_ID_DYLIB = 0x2, 0xB, 0xD
LC_DYLD_INFO_ONLY = 0x80000022
N_ABS, N_EXT, N_WEAK_DEF = 0x2, 0x1, 0x80
EXPORT_REGULAR, EXPORT_THREAD_LOCAL, EXPORT_WEAK = 0x0, 0x1, 0x4

# Architecture: (cputype, cpusubtype, 64-bit).
ARCHITECTURES = {
    "armv7": (12, 9, False),
    "armv7s": (12, 11, False),
    "arm64": (0x0100000C, 0, True),
}


class StubError(Exception):
    pass


@dataclass
class Library:
    """One library of a text stub, for one architecture."""
    install_name: str
    current_version: str = "1"
    compatibility_version: str = "1"
    symbols: dict = field(default_factory=dict)  # name -> EXPORT_* flags
    reexports: list = field(default_factory=list)  # install names of re-exported libraries
    served: dict = field(default_factory=dict)  # symbols of others served as its own (v4)
    directives: list = field(default_factory=list)  # $ld$... symbols


class _Loader(yaml.CSafeLoader if hasattr(yaml, "CSafeLoader") else yaml.SafeLoader):
    """YAML that takes the text stubs' document tags (!tapi-tbd-v2, !tapi-tbd) as plain
    mappings, and versions (1290.11) as text."""


_Loader.add_multi_constructor("!", lambda loader, suffix, node: loader.construct_mapping(node))
_Loader.add_constructor("tag:yaml.org,2002:float", lambda loader, node: node.value)


def read_documents(path):
    """Every document of a text stub (an umbrella's file may describe its parts too), each with
    its format version under `_version`."""
    loader = _Loader(Path(path).read_text())
    documents = []
    try:
        while loader.check_node():
            node = loader.get_node()
            doc = loader.construct_document(node)
            if not isinstance(doc, dict) or "install-name" not in doc:
                raise StubError(f"{path}: a document without an install-name")
            tag_version = {"!tapi-tbd-v2": 2, "!tapi-tbd-v3": 3}.get(node.tag, 1)
            doc["_version"] = int(doc.get("tbd-version", tag_version))
            documents.append(doc)
    except yaml.YAMLError as e:
        raise StubError(f"{path}: not a readable text stub ({e})") from e
    finally:
        loader.dispose()
    return documents


def _objc_symbols(kind, names, version):
    """The symbols behind a text stub's Objective-C entries. Up to v2 the names keep the C
    underscore (_NSObject); from v3 on they do not."""
    out = []
    for name in names or []:
        name = str(name)
        if version <= 2 and name.startswith("_"):
            name = name[1:]
        if kind == "objc-classes":
            out += [f"_OBJC_CLASS_$_{name}", f"_OBJC_METACLASS_$_{name}"]
        elif kind == "objc-eh-types":
            out.append(f"_OBJC_EHTYPE_$_{name}")
        else:
            out.append(f"_OBJC_IVAR_$_{name}")
    return out


def _symbols_of(section, version):
    """{symbol: flags} of one exports-like section."""
    symbols = {}
    for name in section.get("symbols") or []:
        symbols[str(name)] = EXPORT_REGULAR
    for name in section.get("weak-symbols" if version >= 4 else "weak-def-symbols") or []:
        symbols[str(name)] = EXPORT_WEAK
    for name in section.get("thread-local-symbols") or []:
        symbols[str(name)] = EXPORT_THREAD_LOCAL
    for kind in ("objc-classes", "objc-eh-types", "objc-ivars"):
        for name in _objc_symbols(kind, section.get(kind), version):
            symbols[name] = EXPORT_REGULAR
    return symbols


def library_for(doc, arch):
    """The Library that a text stub's document describes for `arch`, or None if it has no slice
    of it. Linker directives are kept apart, not applied."""
    version = doc["_version"]
    if version >= 4:
        wanted, selector = {f"{arch}-ios", f"{arch}-iphoneos"}, "targets"
    else:
        wanted, selector = {arch}, "archs"
    if not wanted & set(doc.get(selector) or []):
        return None

    def sections(key):
        return [s for s in doc.get(key) or [] if wanted & set(s.get(selector) or [])]

    library = Library(str(doc["install-name"]), str(doc.get("current-version", "1")),
                      str(doc.get("compatibility-version", "1")))
    for section in sections("exports"):
        library.symbols.update(_symbols_of(section, version))
        library.reexports += [str(r) for r in section.get("re-exports") or []]  # up to v3
    for section in sections("reexports"):  # v4: other libraries' symbols it serves
        library.served.update(_symbols_of(section, version))
    for section in sections("reexported-libraries"):  # v4
        library.reexports += [str(r) for r in section.get("libraries") or []]
    for table in (library.symbols, library.served):
        for name in [n for n in table if n.startswith("$ld$")]:
            del table[name]
            library.directives.append(name)
    return library


def apply_directives(library, directives, min_os):
    """Applies the `$ld$add$`, `$ld$hide$` and `$ld$install_name$` directives that name
    `min_os`."""
    for directive in directives:
        parts = directive.split("$", 4)  # '', 'ld', action, 'osX.Y', argument
        if len(parts) != 5 or parts[3] != f"os{min_os}":
            continue
        if parts[2] == "add":
            library.symbols[parts[4]] = EXPORT_REGULAR
        elif parts[2] == "hide":
            library.symbols.pop(parts[4], None)
        elif parts[2] == "install_name":
            library.install_name = parts[4]


def _uleb(value):
    out = bytearray()
    while True:
        byte = value & 0x7F
        value >>= 7
        out.append(byte | (0x80 if value else 0))
        if not value:
            return bytes(out)


def export_trie(symbols):
    """The export trie (dyld's format) of {name: flags}, every symbol at address 0."""
    root = {}
    for name in symbols:
        node = root
        for ch in name:
            node = node.setdefault(ch, {})
        node[None] = symbols[name]

    def compress(node):  # merges edges through nodes with one child and no symbol
        edges = []
        for ch, child in sorted((k, v) for k, v in node.items() if k is not None):
            label = ch
            while None not in child and len(child) == 1:
                (next_ch, child), = child.items()
                label += next_ch
            edges.append((label, compress(child)))
        return {"terminal": node.get(None), "edges": edges}

    nodes = []

    def flatten(node):
        nodes.append(node)
        for _, child in node["edges"]:
            flatten(child)

    flatten(compress(root))
    # A node's offset depends on the sizes of the offsets written before it: repeat until
    # they no longer move.
    offsets = [0] * len(nodes)
    index = {id(n): i for i, n in enumerate(nodes)}
    while True:
        encoded, at, moved = [], 0, False
        for i, node in enumerate(nodes):
            if offsets[i] != at:
                offsets[i], moved = at, True
            if node["terminal"] is None:
                body = b"\0"
            else:
                info = _uleb(node["terminal"]) + _uleb(0)
                body = _uleb(len(info)) + info
            body += bytes([len(node["edges"])])
            for label, child in node["edges"]:
                body += label.encode() + b"\0" + _uleb(offsets[index[id(child)]])
            encoded.append(body)
            at += len(body)
        if not moved:
            return b"".join(encoded)


def _version_number(text):
    """A dylib version "a.b.c" as a load command packs it."""
    parts = [int(p) for p in str(text).split(".")] + [0, 0]
    if parts[0] > 0xFFFF or parts[1] > 0xFF or parts[2] > 0xFF:
        raise StubError(f"version {text} does not fit a load command")
    return parts[0] << 16 | parts[1] << 8 | parts[2]


def stub_bytes(library, arch):
    """A Mach-O dylib of `arch` that exports `library`'s symbols."""
    if arch not in ARCHITECTURES:
        raise StubError(f"unknown architecture {arch}")
    cputype, cpusubtype, is64 = ARCHITECTURES[arch]
    word = 8 if is64 else 4
    header_size, segment_size = (32, 72) if is64 else (28, 56)
    names = sorted(library.symbols)

    install_name = library.install_name.encode() + b"\0"
    id_size = (24 + len(install_name) + word - 1) // word * word
    id_dylib = struct.pack("<6I", LC_ID_DYLIB, id_size, 24, 2,
                           _version_number(library.current_version),
                           _version_number(library.compatibility_version))
    id_dylib += install_name.ljust(id_size - 24, b"\0")
    commands_size = 2 * segment_size + id_size + 48 + 24 + 80
    text_size = (header_size + commands_size + 0xFFF) // 0x1000 * 0x1000

    trie = export_trie(library.symbols)
    trie += bytes(-len(trie) % word)
    strings, offsets = bytearray(b" \0"), []
    for name in names:
        offsets.append(len(strings))
        strings += name.encode() + b"\0"
    strings += bytes(-len(strings) % word)
    nlist = b""
    for name, offset in zip(names, offsets):
        desc = N_WEAK_DEF if library.symbols[name] & EXPORT_WEAK else 0
        nlist += struct.pack("<IBBHQ" if is64 else "<IBBHI", offset, N_ABS | N_EXT, 0, desc, 0)
    trie_offset = text_size
    symbols_offset = trie_offset + len(trie)
    strings_offset = symbols_offset + len(nlist)
    linkedit_size = len(trie) + len(nlist) + len(strings)

    def segment(name, address, size, protection):
        vmsize = (size + 0xFFF) // 0x1000 * 0x1000
        if is64:
            return struct.pack("<II16sQQQQIIII", LC_SEGMENT_64, segment_size, name, address,
                               vmsize, address, size, protection, protection, 0, 0)
        return struct.pack("<II16sIIIIIIII", LC_SEGMENT, segment_size, name, address, vmsize,
                           address, size, protection, protection, 0, 0)

    commands = segment(b"__TEXT", 0, text_size, 5)
    commands += segment(b"__LINKEDIT", text_size, linkedit_size, 1)
    commands += id_dylib
    commands += struct.pack("<12I", LC_DYLD_INFO_ONLY, 48, 0, 0, 0, 0, 0, 0, 0, 0,
                            trie_offset, len(trie))
    commands += struct.pack("<6I", LC_SYMTAB, 24, symbols_offset, len(names), strings_offset,
                            len(strings))
    commands += struct.pack("<20I", LC_DYSYMTAB, 80, 0, 0, 0, len(names), len(names), 0,
                            *([0] * 12))
    assert len(commands) == commands_size
    header = struct.pack("<7I", MH_MAGIC_64 if is64 else MH_MAGIC, cputype, cpusubtype,
                         MH_DYLIB, 6, commands_size,
                         MH_DYLDLINK | MH_TWOLEVEL | MH_NO_REEXPORTED_DYLIBS)
    header += bytes(header_size - len(header))
    return (header + commands).ljust(text_size, b"\0") + trie + nlist + strings


def tbd_for(sdk, install_name):
    """The text stub of `sdk` that stands for an installed library, or None."""
    relative = PurePosixPath(install_name).relative_to("/")
    candidates = [Path(sdk) / relative.with_suffix(".tbd")]
    if relative.suffix == "":  # a framework binary: .../X.framework/X
        candidates.insert(0, Path(sdk) / (str(relative) + ".tbd"))
    return next((c for c in candidates if c.exists()), None)


def is_public(install_name):
    """Whether a program may link the library itself: a library directly in /usr/lib, or a
    public framework's binary."""
    parts = PurePosixPath(install_name).parts
    if parts[:-1] == ("/", "usr", "lib"):
        return True
    return (len(parts) in (6, 8) and parts[1:4] == ("System", "Library", "Frameworks")
            and parts[4] == parts[-1] + ".framework"
            and (len(parts) == 6 or parts[5] == "Versions"))


class StubTree:
    """The stub libraries of one architecture, written under `out` at their install names."""

    def __init__(self, sdk, out, arch, min_os="7.0", names_sdk=None):
        if arch not in ARCHITECTURES:
            raise StubError(f"unknown architecture {arch}")
        self.sdk, self.arch, self.min_os = Path(sdk), arch, min_os
        self.out = Path(out) if out else None  # None: read only, nothing written
        self.names_sdk = Path(names_sdk) if names_sdk else None
        self.libraries = {}  # install name -> Library, directives applied; None if unknown
        self.newer = {}  # install name -> Library of the newer SDK
        self.written = {}  # install name -> Library as its stub exports it
        self.unknown = set()  # re-exported libraries the SDK has no text stub for

    def _index_newer(self, install_name):
        path = self.names_sdk and tbd_for(self.names_sdk, install_name)
        for doc in read_documents(path) if path else []:
            library = library_for(doc, self.arch)
            if library is not None:
                self.newer.setdefault(library.install_name, library)

    def library(self, install_name, path=None):
        """The Library of an install name as this system serves it, or None if the SDK has no
        text stub for it."""
        if install_name in self.libraries:
            return self.libraries[install_name]
        path = path or tbd_for(self.sdk, install_name)
        if path is None:
            self.libraries[install_name] = None
            return None
        self._index_newer(install_name)
        for doc in read_documents(path):
            library = library_for(doc, self.arch)
            if library is None:  # a part the architecture lacks; the library itself is checked
                continue
            named = library.install_name
            directives = list(library.directives)
            served = dict(library.served)
            newer = self.newer.get(named)
            if newer is not None:
                served.update(newer.served)
                directives += newer.directives
            for name, flags in served.items():
                library.symbols.setdefault(name, flags)
            apply_directives(library, directives, self.min_os)
            self.libraries.setdefault(named, library)
        if install_name not in self.libraries:
            raise StubError(f"{path} describes no {self.arch} library {install_name}")
        return self.libraries[install_name]

    def _gather(self, library, symbols, public, seen):
        """Adds what `library` serves to `symbols` and the public libraries it re-exports to
        `public`."""
        for name, flags in library.symbols.items():
            symbols.setdefault(name, flags)
        for name in library.reexports:
            if name in seen:
                continue
            seen.add(name)
            if is_public(name):
                public.append(name)
                continue
            part = self.library(name)
            if part is None:  # nothing is known of what it exports, so nothing binds to it
                self.unknown.add(name)
            else:
                self._gather(part, symbols, public, seen)

    def stub(self, install_name):
        """The Library a stub stands for: what the library serves, its private parts' symbols
        included, and the public libraries it re-exports (in `reexports`)."""
        if install_name not in self.written:
            source = self.library(install_name)
            if source is None:
                raise StubError(f"{install_name}: no text stub in {self.sdk}")
            stub = Library(source.install_name, source.current_version,
                           source.compatibility_version)
            self._gather(source, stub.symbols, stub.reexports, {install_name})
            self.written[install_name] = stub
        return self.written[install_name]

    def add(self, what):
        """Writes the stub of an install name or an SDK-relative .tbd path, and those of the
        public libraries it re-exports; returns their paths, the named library's first."""
        if str(what).endswith(".tbd"):
            path = self.sdk / what
            if not path.exists():
                raise StubError(f"{what}: not in {self.sdk}")
            install_name = str(read_documents(path)[0]["install-name"])
            self.library(install_name, path)
        else:
            install_name = str(what)
        paths, pending = [], [install_name]
        while pending:
            name = pending.pop(0)
            target = self.path_of(name)
            if not target.exists() or name not in self.written:
                stub = self.stub(name)
                target.parent.mkdir(parents=True, exist_ok=True)
                target.write_bytes(stub_bytes(stub, self.arch))
            paths.append(target)
            pending += [r for r in self.written[name].reexports
                        if self.path_of(r) not in paths and r not in pending]
        return paths

    def path_of(self, install_name):
        return self.out / PurePosixPath(install_name).relative_to("/")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("sdk")
    parser.add_argument("out")
    parser.add_argument("arch", choices=sorted(ARCHITECTURES))
    parser.add_argument("--min-os", default="7.0")
    parser.add_argument("--names-sdk", help="a newer SDK whose text stubs (v4) say what each "
                        "library served on the minimum system and re-exports by name")
    parser.add_argument("libraries", nargs="+")
    args = parser.parse_args()
    try:
        tree = StubTree(args.sdk, args.out, args.arch, args.min_os, args.names_sdk)
        for library in args.libraries:
            for path in tree.add(library):
                print(path)
    except (OSError, StubError) as e:
        print(f"tbd_stubs: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
