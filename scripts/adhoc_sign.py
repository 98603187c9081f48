#!/usr/bin/env python3
"""Signs an arm64 Mach-O binary ad hoc, as the phone's kernels of every system read it.

Usage: adhoc_sign.py BINARY [IDENTIFIER] [--info-plist PATH]

A bundle's binary is signed with its Info.plist, whose hash fills special slot 1 and whose
CFBundleIdentifier is the identifier when none is given.

The linker's ad hoc signature has one SHA-256 code directory, which kernels before SHA-256
code signing (iOS 7 and 8) refuse. This writes what the field's signing tools write instead: a
SuperBlob with a SHA-1 code directory in slot 0, an empty requirements blob in slot 2 and a
SHA-256 code directory in the alternate slot 0x1000, so old kernels find theirs in slot 0 and
new ones pick the stronger hash. The signature replaces the one the linker left at the end of
__LINKEDIT; LC_CODE_SIGNATURE and __LINKEDIT are adjusted to its size. The file is replaced
atomically. Signing a signed file again gives the same bytes.
"""
import argparse
import hashlib
import os
import plistlib
import struct
import sys
import tempfile

MH_MAGIC_64 = 0xFEEDFACF
MH_EXECUTE = 0x2
LC_SEGMENT_64 = 0x19
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


def load_commands(data):
    """(offset, cmd, cmdsize) of every load command of a thin 64-bit Mach-O."""
    if len(data) < 32 or struct.unpack_from("<I", data, 0)[0] != MH_MAGIC_64:
        raise SigningError("not a thin 64-bit little-endian Mach-O file")
    ncmds, sizeofcmds = struct.unpack_from("<II", data, 16)
    offset, end = 32, 32 + sizeofcmds
    if end > len(data):
        raise SigningError("the load commands run past the end of the file")
    commands = []
    for _ in range(ncmds):
        if offset + 8 > end:
            raise SigningError("a load command runs past the load commands' area")
        cmd, cmdsize = struct.unpack_from("<II", data, offset)
        if cmdsize < 8 or offset + cmdsize > end:
            raise SigningError(f"load command 0x{cmd:x} has a bad size {cmdsize}")
        commands.append((offset, cmd, cmdsize))
        offset += cmdsize
    return commands


def segment(data, commands, name):
    for offset, cmd, _ in commands:
        if cmd == LC_SEGMENT_64:
            segname = data[offset + 8:offset + 24].rstrip(b"\0").decode()
            if segname == name:
                vmaddr, vmsize, fileoff, filesize = struct.unpack_from("<QQQQ", data, offset + 24)
                return offset, vmaddr, vmsize, fileoff, filesize
    raise SigningError(f"no {name} segment")


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


def sign(data, identifier, info_plist=None):
    """The bytes of `data` signed; `data` is a bytearray holding the linked binary."""
    commands = load_commands(data)
    signatures = [c for c in commands if c[1] == LC_CODE_SIGNATURE]
    if len(signatures) != 1:
        raise SigningError("the binary has no LC_CODE_SIGNATURE to replace (link it with "
                           "-adhoc_codesign)")
    sig_command = signatures[0][0]
    dataoff, datasize = struct.unpack_from("<II", data, sig_command + 8)
    link_command, _, link_vmsize, link_fileoff, link_filesize = segment(data, commands,
                                                                        "__LINKEDIT")
    if dataoff + datasize != link_fileoff + link_filesize or dataoff + datasize > len(data):
        raise SigningError("the signature is not at the end of __LINKEDIT")
    if dataoff % SIGNATURE_ALIGNMENT:
        raise SigningError("the signature's offset is not 16-byte aligned")
    _, _, _, text_fileoff, text_filesize = segment(data, commands, "__TEXT")
    filetype = struct.unpack_from("<I", data, 12)[0]
    main_binary = filetype == MH_EXECUTE

    # The load commands are covered by the page hashes: size them for the new signature first.
    probe = signature(bytes(dataoff), dataoff, identifier, info_plist,
                      (text_fileoff, text_filesize), main_binary)
    new_size = len(probe)
    new_filesize = dataoff + new_size - link_fileoff
    if link_vmsize % 0x4000 == 0:
        new_vmsize = (new_filesize + 0x3FFF) // 0x4000 * 0x4000
    else:
        new_vmsize = max(link_vmsize - link_filesize + new_filesize, new_filesize)
    del data[dataoff:]
    struct.pack_into("<I", data, sig_command + 12, new_size)
    struct.pack_into("<QQQQ", data, link_command + 24,
                     struct.unpack_from("<Q", data, link_command + 24)[0], new_vmsize,
                     link_fileoff, new_filesize)
    blob = signature(data, dataoff, identifier, info_plist, (text_fileoff, text_filesize),
                     main_binary)
    assert len(blob) == new_size
    data += blob
    return data


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
