#!/usr/bin/env python3
"""Signs a phone binary ad hoc, as the phone's kernels of every system read it: a thin Mach-O
file (arm64, armv7 or armv7s) or a fat one, each slice in turn.

Usage: adhoc_sign.py BINARY [IDENTIFIER] [--info-plist PATH]

A bundle's binary is signed with its Info.plist, whose hash fills special slot 1 and whose
CFBundleIdentifier is the identifier when none is given.

lld 16's ad hoc signature has one SHA-256 code directory, which kernels before SHA-256 code
signing (iOS 7 and 8) refuse; lld 13, which links the 32-bit slices, writes none. This writes
what the field's signing tools write instead: a SuperBlob with a SHA-1 code directory in slot 0,
an empty requirements blob in slot 2 and a SHA-256 code directory in the alternate slot 0x1000,
so old kernels find theirs in slot 0 and new ones pick the stronger hash. The signature replaces
the one the linker left at the end of __LINKEDIT, or is added there (with its LC_CODE_SIGNATURE,
in the room after the load commands); LC_CODE_SIGNATURE and __LINKEDIT are adjusted to its size.
A slice must already have its LC_UUID, which the signature covers. A fat file's slices are laid
out again at their alignment. The file is replaced atomically. Signing a signed file again gives
the same bytes.
"""
import argparse
import hashlib
import os
import plistlib
import struct
import sys
import tempfile

MH_MAGIC, MH_MAGIC_64 = 0xFEEDFACE, 0xFEEDFACF
FAT_MAGIC = 0xCAFEBABE
MH_EXECUTE = 0x2
LC_SEGMENT, LC_SEGMENT_64 = 0x1, 0x19
LC_UUID = 0x1B
LC_CODE_SIGNATURE = 0x1D

CSMAGIC_EMBEDDED_SIGNATURE = 0xFADE0CC0
CSMAGIC_CODEDIRECTORY = 0xFADE0C02
CSMAGIC_REQUIREMENTS = 0xFADE0C01
CSSLOT_CODEDIRECTORY = 0
CSSLOT_INFOSLOT = 1
CSSLOT_REQUIREMENTS = 2
CSSLOT_ALTERNATE_CODEDIRECTORIES = 0x1000
CS_ADHOC = 0x2
CS_EXECSEG_MAIN_BINARY = 0x1
CS_HASHTYPE_SHA1 = 1
CS_HASHTYPE_SHA256 = 2
# The version with the executable segment's bounds; older kernels read only the fields they know.
CODEDIRECTORY_VERSION = 0x20400
CODEDIRECTORY_HEADER_SIZE = 88
PAGE_SHIFT = 12
PAGE_SIZE = 1 << PAGE_SHIFT
SPECIAL_SLOTS = 2  # the Info.plist (1) and the requirements (2)
SIGNATURE_ALIGNMENT = 16

HASHES = [(CSSLOT_CODEDIRECTORY, CS_HASHTYPE_SHA1, hashlib.sha1),
          (CSSLOT_ALTERNATE_CODEDIRECTORIES, CS_HASHTYPE_SHA256, hashlib.sha256)]


class SigningError(Exception):
    pass


class Slice:
    """The layout of a thin Mach-O file: word size, load commands and segments."""

    def __init__(self, data):
        if len(data) < 28:
            raise SigningError("not a Mach-O file (thin or fat)")
        magic = struct.unpack_from("<I", data, 0)[0]
        if magic not in (MH_MAGIC, MH_MAGIC_64):
            raise SigningError("not a Mach-O file (thin or fat)")
        self.is64 = magic == MH_MAGIC_64
        self.header_size = 32 if self.is64 else 28
        ncmds, self.sizeofcmds = struct.unpack_from("<II", data, 16)
        offset, end = self.header_size, self.header_size + self.sizeofcmds
        if end > len(data):
            raise SigningError("the load commands run past the end of the file")
        self.commands = []  # (offset, cmd, cmdsize)
        for _ in range(ncmds):
            if offset + 8 > end:
                raise SigningError("a load command runs past the load commands' area")
            cmd, cmdsize = struct.unpack_from("<II", data, offset)
            if cmdsize < 8 or offset + cmdsize > end:
                raise SigningError(f"load command 0x{cmd:x} has a bad size {cmdsize}")
            self.commands.append((offset, cmd, cmdsize))
            offset += cmdsize

    def has(self, wanted):
        return [offset for offset, cmd, _ in self.commands if cmd == wanted]

    def segment(self, data, name):
        """(command offset, vmaddr, vmsize, fileoff, filesize) of a segment."""
        wanted = LC_SEGMENT_64 if self.is64 else LC_SEGMENT
        layout = "<QQQQ" if self.is64 else "<IIII"
        for offset, cmd, _ in self.commands:
            if cmd == wanted and data[offset + 8:offset + 24].rstrip(b"\0").decode() == name:
                return (offset, *struct.unpack_from(layout, data, offset + 24))
        raise SigningError(f"no {name} segment")

    def set_segment_sizes(self, data, command, vmsize, filesize):
        if self.is64:
            struct.pack_into("<Q", data, command + 32, vmsize)
            struct.pack_into("<Q", data, command + 48, filesize)
        else:
            struct.pack_into("<I", data, command + 28, vmsize)
            struct.pack_into("<I", data, command + 36, filesize)

    def first_section_offset(self, data):
        """Where the first section's contents start: the load commands must end before."""
        first = len(data)
        wanted, header, size = (LC_SEGMENT_64, 72, 80) if self.is64 else (LC_SEGMENT, 56, 68)
        for offset, cmd, _ in self.commands:
            if cmd != wanted:
                continue
            nsects = struct.unpack_from("<I", data, offset + header - 8)[0]
            for i in range(nsects):
                section = offset + header + size * i
                at = section + (48 if self.is64 else 40)
                fileoff = struct.unpack_from("<I", data, at)[0]
                flags = struct.unpack_from("<I", data, at + 16)[0]
                if fileoff and flags & 0xFF not in (0x1, 0xC, 0x12):  # zero-fill kinds
                    first = min(first, fileoff)
        return first


def code_directory(data, code_limit, identifier, hash_type, digest, special_hashes, exec_seg,
                   main_binary):
    """One CodeDirectory blob over data[:code_limit]."""
    hash_size = digest().digest_size
    ident = identifier.encode() + b"\0"
    n_code = (code_limit + PAGE_SIZE - 1) // PAGE_SIZE
    ident_offset = CODEDIRECTORY_HEADER_SIZE
    hash_offset = ident_offset + len(ident) + SPECIAL_SLOTS * hash_size
    length = hash_offset + n_code * hash_size
    exec_base, exec_limit = exec_seg
    header = struct.pack(
        ">IIIIIIIIIBBBBIIIIQQQQ",
        CSMAGIC_CODEDIRECTORY, length, CODEDIRECTORY_VERSION, CS_ADHOC, hash_offset, ident_offset,
        SPECIAL_SLOTS, n_code, code_limit, hash_size, hash_type, 0, PAGE_SHIFT, 0,
        0, 0, 0, 0,  # scatter, team identifier, spare, 64-bit code limit: none
        exec_base, exec_limit, CS_EXECSEG_MAIN_BINARY if main_binary else 0)
    assert len(header) == CODEDIRECTORY_HEADER_SIZE
    # Special slots are stored backwards before slot 0: slot N at hash_offset - N * hash_size.
    specials = b"".join(special_hashes.get(slot, bytes(hash_size))
                        for slot in range(SPECIAL_SLOTS, 0, -1))
    pages = b"".join(digest(data[i:min(i + PAGE_SIZE, code_limit)]).digest()
                     for i in range(0, code_limit, PAGE_SIZE))
    blob = header + ident + specials + pages
    assert len(blob) == length
    return blob


def signature(data, code_limit, identifier, info_plist, exec_seg, main_binary):
    requirements = struct.pack(">III", CSMAGIC_REQUIREMENTS, 12, 0)
    blobs = []
    for slot, hash_type, digest in HASHES:
        special = {CSSLOT_REQUIREMENTS: digest(requirements).digest()}
        if info_plist is not None:
            special[CSSLOT_INFOSLOT] = digest(info_plist).digest()
        blobs.append((slot, code_directory(data, code_limit, identifier, hash_type, digest,
                                           special, exec_seg, main_binary)))
    blobs.insert(1, (CSSLOT_REQUIREMENTS, requirements))
    offset = 12 + 8 * len(blobs)
    index, body = b"", b""
    for slot, blob in blobs:
        index += struct.pack(">II", slot, offset + len(body))
        body += blob
    superblob = struct.pack(">III", CSMAGIC_EMBEDDED_SIGNATURE, 12 + len(index) + len(body),
                            len(blobs)) + index + body
    padding = -len(superblob) % SIGNATURE_ALIGNMENT
    return superblob + bytes(padding)


def sign_thin(data, identifier, info_plist=None):
    """The bytes of a thin Mach-O file signed; `data` is a bytearray holding it."""
    layout = Slice(data)
    if not layout.has(LC_UUID):
        raise SigningError("the binary has no LC_UUID (the signature covers it: the linker must "
                           "write it first)")
    signatures = layout.has(LC_CODE_SIGNATURE)
    if len(signatures) > 1:
        raise SigningError("the binary has more than one LC_CODE_SIGNATURE")
    link_command, _, link_vmsize, link_fileoff, link_filesize = layout.segment(data, "__LINKEDIT")
    link_end = link_fileoff + link_filesize
    if signatures:
        sig_command = signatures[0]
        dataoff, datasize = struct.unpack_from("<II", data, sig_command + 8)
        if dataoff + datasize != link_end or link_end > len(data):
            raise SigningError("the signature is not at the end of __LINKEDIT")
        if dataoff % SIGNATURE_ALIGNMENT:
            raise SigningError("the signature's offset is not 16-byte aligned")
    else:
        # Added after __LINKEDIT's contents, which must end the file, and named by a new load
        # command in the room the linker left before the first section.
        if link_end != len(data):
            raise SigningError("__LINKEDIT does not end the file")
        sig_command = layout.header_size + layout.sizeofcmds
        if sig_command + 16 > layout.first_section_offset(data) or any(
                data[sig_command:sig_command + 16]):
            raise SigningError("no room after the load commands for LC_CODE_SIGNATURE")
        dataoff = (link_end + SIGNATURE_ALIGNMENT - 1) // SIGNATURE_ALIGNMENT * SIGNATURE_ALIGNMENT
        data += bytes(dataoff - link_end)
        data[sig_command:sig_command + 16] = struct.pack("<IIII", LC_CODE_SIGNATURE, 16, dataoff, 0)
        ncmds = struct.unpack_from("<I", data, 16)[0]
        struct.pack_into("<II", data, 16, ncmds + 1, layout.sizeofcmds + 16)
    _, _, _, text_fileoff, text_filesize = layout.segment(data, "__TEXT")
    main_binary = struct.unpack_from("<I", data, 12)[0] == MH_EXECUTE

    # The load commands are covered by the page hashes: size them for the new signature first.
    probe = signature(bytes(dataoff), dataoff, identifier, info_plist,
                      (text_fileoff, text_filesize), main_binary)
    new_size = len(probe)
    new_filesize = dataoff + new_size - link_fileoff
    if not layout.is64:
        new_vmsize = (new_filesize + 0xFFF) // 0x1000 * 0x1000  # 32-bit ARM pages: 4 KiB
    elif link_vmsize % 0x4000 == 0:
        new_vmsize = (new_filesize + 0x3FFF) // 0x4000 * 0x4000
    else:
        new_vmsize = max(link_vmsize - link_filesize + new_filesize, new_filesize)
    del data[dataoff:]
    struct.pack_into("<II", data, sig_command + 8, dataoff, new_size)
    layout.set_segment_sizes(data, link_command, new_vmsize, new_filesize)
    blob = signature(data, dataoff, identifier, info_plist, (text_fileoff, text_filesize),
                     main_binary)
    assert len(blob) == new_size
    data += blob
    return data


def sign(data, identifier, info_plist=None):
    """The bytes of `data` signed, a bytearray holding a thin or a fat Mach-O file."""
    if len(data) < 8 or struct.unpack_from(">I", data, 0)[0] != FAT_MAGIC:
        return sign_thin(data, identifier, info_plist)
    count = struct.unpack_from(">I", data, 4)[0]
    if count == 0 or 8 + 20 * count > len(data):
        raise SigningError("a fat header without slices, or running past the file")
    slices = []
    for i in range(count):
        cputype, subtype, offset, size, align = struct.unpack_from(">5I", data, 8 + 20 * i)
        if offset + size > len(data) or align > 16:
            raise SigningError(f"fat slice {i} runs past the end of the file")
        try:
            signed = sign_thin(bytearray(data[offset:offset + size]), identifier, info_plist)
        except SigningError as e:
            raise SigningError(f"fat slice {i} (cputype {cputype}): {e}") from e
        slices.append((cputype, subtype, align, signed))
    header, body = bytearray(struct.pack(">II", FAT_MAGIC, count)), bytearray()
    start = 8 + 20 * count
    for cputype, subtype, align, signed in slices:
        offset = (start + len(body) + (1 << align) - 1) >> align << align
        body += bytes(offset - start - len(body)) + signed
        header += struct.pack(">5I", cputype, subtype, offset, len(signed), align)
    return header + body


def write_atomically(path, data):
    folder = os.path.dirname(os.path.abspath(path))
    mode = os.stat(path).st_mode & 0o7777
    fd, temporary = tempfile.mkstemp(dir=folder, prefix=os.path.basename(path) + ".")
    try:
        with os.fdopen(fd, "wb") as out:
            out.write(data)
            out.flush()
            os.fsync(out.fileno())
        os.chmod(temporary, mode)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("binary")
    parser.add_argument("identifier", nargs="?")
    parser.add_argument("--info-plist", help="the bundle's Info.plist, hashed in special slot 1")
    args = parser.parse_args()
    try:
        with open(args.binary, "rb") as f:
            data = bytearray(f.read())
        info, identifier = None, args.identifier
        if args.info_plist:
            with open(args.info_plist, "rb") as f:
                info = f.read()
            identifier = identifier or plistlib.loads(info).get("CFBundleIdentifier")
        if not identifier:
            raise SigningError("no identifier given, and no CFBundleIdentifier to take it from")
        write_atomically(args.binary, sign(data, identifier, info))
    except (OSError, ValueError, plistlib.InvalidFileException, SigningError) as e:
        print(f"adhoc_sign: {args.binary}: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
