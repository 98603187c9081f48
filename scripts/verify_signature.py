#!/usr/bin/env python3
"""Reads a Mach-O binary's embedded code signatures and checks them as the phone's kernels
would: a thin file (arm64, armv7, armv7s) or each slice of a fat one.

Usage: verify_signature.py BINARY [--identifier ID] [--info-plist PATH]

Re-hashes every page the code directories cover and every special slot they fill, and requires
what both old and new kernels need: a SHA-1 code directory in slot 0 (iOS 7 and 8 read only
that one) and a SHA-256 code directory in the alternate slot 0x1000, covering the file up to the
signature. Each slice must also carry a UUID. Prints one line per code directory (a fat file's
prefixed with the slice's architecture) and per problem; exits 1 when there is a problem.

This reader shares no code with the signer (adhoc_sign.py), so that each checks the other.
"""
import argparse
import hashlib
import sys

HASH_TYPES = {1: ("SHA-1", hashlib.sha1, 20), 2: ("SHA-256", hashlib.sha256, 32)}
SLOT_NAMES = {0: "slot 0", 2: "slot 2 (requirements)", 5: "slot 5 (entitlements)",
              0x1000: "slot 0x1000", 0x10000: "slot 0x10000 (CMS signature)"}


def u32be(data, at):
    return int.from_bytes(data[at:at + 4], "big")


def u32le(data, at):
    return int.from_bytes(data[at:at + 4], "little")


class Problem(Exception):
    pass


ARCHITECTURES = {(12, 9): "armv7", (12, 11): "armv7s", (0x0100000C, 0): "arm64"}


def find_signature(data):
    """(dataoff, datasize) of LC_CODE_SIGNATURE; checks it ends the file and __LINKEDIT, and
    that the slice has an LC_UUID."""
    magic = u32le(data, 0)
    if magic not in (0xFEEDFACF, 0xFEEDFACE):
        raise Problem("not a Mach-O file")
    wide = magic == 0xFEEDFACF
    ncmds, at = u32le(data, 16), 32 if wide else 28
    signature, linkedit, uuid = None, None, False
    for _ in range(ncmds):
        cmd, size = u32le(data, at), u32le(data, at + 4)
        if cmd == 0x1D:
            signature = (u32le(data, at + 8), u32le(data, at + 12))
        elif cmd == 0x1B:
            uuid = any(data[at + 8:at + 24])
        elif cmd in (0x19, 0x1) and data[at + 8:at + 24].rstrip(b"\0") == b"__LINKEDIT":
            if wide:
                linkedit = (int.from_bytes(data[at + 40:at + 48], "little"),
                            int.from_bytes(data[at + 48:at + 56], "little"))
            else:
                linkedit = (u32le(data, at + 32), u32le(data, at + 36))
        at += size
    if signature is None:
        raise Problem("no LC_CODE_SIGNATURE: the binary is not signed")
    if not uuid:
        raise Problem("no LC_UUID (or an empty one)")
    dataoff, datasize = signature
    if dataoff + datasize > len(data):
        raise Problem("the signature runs past the end of the file")
    if linkedit is None or dataoff + datasize > linkedit[0] + linkedit[1]:
        raise Problem("the signature lies outside __LINKEDIT")
    return dataoff, datasize


def slices(data):
    """(architecture name or None for a thin file, the slice's bytes) of each slice."""
    if int.from_bytes(data[0:4], "big") != 0xCAFEBABE:
        return [(None, data)]
    out = []
    for i in range(int.from_bytes(data[4:8], "big")):
        entry = data[8 + 20 * i:28 + 20 * i]
        cputype, subtype, offset, size = (int.from_bytes(entry[j:j + 4], "big")
                                          for j in range(0, 16, 4))
        if offset + size > len(data):
            raise Problem(f"fat slice {i} runs past the end of the file")
        name = ARCHITECTURES.get((cputype, subtype & 0xFFFFFF), f"cputype {cputype}/{subtype}")
        out.append((name, data[offset:offset + size]))
    return out


def read_blobs(data, dataoff, datasize):
    """{slot: blob bytes} of the embedded signature SuperBlob."""
    sig = data[dataoff:dataoff + datasize]
    if u32be(sig, 0) != 0xFADE0CC0:
        raise Problem(f"the signature is not an embedded-signature SuperBlob "
                      f"(magic 0x{u32be(sig, 0):08x})")
    length, count = u32be(sig, 4), u32be(sig, 8)
    if length > len(sig):
        raise Problem("the SuperBlob is longer than LC_CODE_SIGNATURE says")
    blobs = {}
    for i in range(count):
        slot, offset = u32be(sig, 12 + 8 * i), u32be(sig, 16 + 8 * i)
        blob_length = u32be(sig, offset + 4)
        if offset + blob_length > length:
            raise Problem(f"the blob of slot 0x{slot:x} runs past the SuperBlob")
        blobs[slot] = sig[offset:offset + blob_length]
    return blobs


def check_code_directory(data, slot, cd, blobs, info_plist, identifier, problems):
    """One line describing the code directory; its problems appended to `problems`."""
    name = SLOT_NAMES.get(slot, f"slot 0x{slot:x}")
    if u32be(cd, 0) != 0xFADE0C02:
        problems.append(f"{name} holds no code directory")
        return f"{name}: not a code directory"
    version, hash_offset, ident_offset = u32be(cd, 8), u32be(cd, 16), u32be(cd, 20)
    n_special, n_code, code_limit = u32be(cd, 24), u32be(cd, 28), u32be(cd, 32)
    hash_size, hash_type, page_shift = cd[36], cd[37], cd[39]
    kind, digest, size = HASH_TYPES.get(hash_type, (f"hash type {hash_type}", None, 0))
    ident = cd[ident_offset:cd.index(b"\0", ident_offset)].decode(errors="replace")
    line = (f"{name}: CodeDirectory {kind}, version 0x{version:x}, identifier {ident}, "
            f"{n_code} pages of {1 << page_shift} bytes, {n_special} special slots")
    if digest is None or hash_size != size:
        problems.append(f"{name}: hash type {hash_type} with {hash_size}-byte hashes")
        return line
    if identifier is not None and ident != identifier:
        problems.append(f"{name}: identifier {ident}, expected {identifier}")
    page = 1 << page_shift
    if n_code != (code_limit + page - 1) // page:
        problems.append(f"{name}: {n_code} page hashes for a code limit of {code_limit}")
    for i in range(n_code):
        start = i * page
        stored = cd[hash_offset + i * hash_size:hash_offset + (i + 1) * hash_size]
        if digest(data[start:min(start + page, code_limit)]).digest() != stored:
            problems.append(f"{name}: page {i} (bytes {start}-{min(start + page, code_limit)})"
                            " does not match its hash")
    specials = {2: blobs.get(2), 1: info_plist}
    for special in range(1, n_special + 1):
        stored = cd[hash_offset - special * hash_size:hash_offset - (special - 1) * hash_size]
        expected = specials.get(special)
        if expected is None:
            if any(stored) and special != 1:
                problems.append(f"{name}: special slot {special} is filled, but nothing to "
                                "check it against")
            continue
        if digest(expected).digest() != stored:
            what = "Info.plist" if special == 1 else "requirements blob"
            problems.append(f"{name}: special slot {special} does not match the {what}")
    return line


def verify_slice(data, identifier, info_plist):
    """(lines, problems) for the signature of one thin Mach-O file."""
    lines, problems = [], []
    try:
        dataoff, datasize = find_signature(data)
        blobs = read_blobs(data, dataoff, datasize)
    except Problem as e:
        return lines, [str(e)]
    except (IndexError, ValueError) as e:
        return lines, [f"the load commands or the signature cannot be read ({e})"]
    for slot in sorted(blobs):
        blob = blobs[slot]
        if u32be(blob, 0) == 0xFADE0C02:
            try:
                lines.append(check_code_directory(data, slot, blob, blobs, info_plist,
                                                  identifier, problems))
                if u32be(blob, 32) != dataoff:
                    problems.append(f"{SLOT_NAMES.get(slot, hex(slot))}: covers {u32be(blob, 32)}"
                                    f" bytes, but the signature starts at {dataoff}")
            except (IndexError, ValueError) as e:
                problems.append(f"slot 0x{slot:x}: the code directory cannot be read ({e})")
    if 0 not in blobs or len(blobs[0]) < 38 or blobs[0][37] != 1:
        problems.append("slot 0 holds no SHA-1 code directory: iOS 7 and 8 refuse the binary")
    if 0x1000 not in blobs or len(blobs[0x1000]) < 38 or blobs[0x1000][37] != 2:
        problems.append("slot 0x1000 holds no SHA-256 code directory")
    if 2 not in blobs:
        problems.append("no requirements blob in slot 2")
    return lines, problems


def verify(path, identifier=None, info_plist_path=None):
    """(lines, problems) for the signatures of the binary at `path`: a fat file's are prefixed
    with each slice's architecture."""
    with open(path, "rb") as f:
        data = f.read()
    info_plist = None
    if info_plist_path:
        with open(info_plist_path, "rb") as f:
            info_plist = f.read()
    try:
        parts = slices(data)
    except Problem as e:
        return [], [str(e)]
    lines, problems = [], []
    for name, part in parts:
        slice_lines, slice_problems = verify_slice(part, identifier, info_plist)
        prefix = f"{name}: " if name else ""
        lines += [prefix + line for line in slice_lines]
        problems += [prefix + problem for problem in slice_problems]
    return lines, problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("binary")
    parser.add_argument("--identifier")
    parser.add_argument("--info-plist")
    args = parser.parse_args()
    lines, problems = verify(args.binary, args.identifier, args.info_plist)
    for line in lines:
        print(line)
    for problem in problems:
        print(f"FAILED  {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
