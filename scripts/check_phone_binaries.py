#!/usr/bin/env python3
"""Checks the arm64 deliverables and the package against what the phone expects.

Usage: check_phone_binaries.py SDK DYLIB BUNDLE_BINARY DEB PREFIX

The binaries are checked as built, and their signatures also as packed in DEB.

Prints one line per check and exits 1 when any fails.
"""
import plistlib
import re
import subprocess
import sys
import tempfile
from pathlib import Path

import verify_signature

SOURCE = Path(__file__).resolve().parent.parent


def names_in(table, kinds):
    """The first argument of every line of `kinds` in one of the project's .def tables."""
    text = (SOURCE / table).read_text()
    return re.findall(r"^(?:" + "|".join(kinds) + r")\(\s*(\w+)", text, re.M)


SHARED_VARIABLES = names_in("tweak/shared_variables.def", ["TW_SETTING", "TW_OBJECT", "TW_STATE"])
MONITOR_IDENTIFIER = "com.example.tonewell"
PANE_CLASSES = names_in("tonewellprefs/pane_classes.def", ["TW_PANE_LIST", "TW_PANE_PAGE"])


def objdump(*args):
    return subprocess.run(["llvm-objdump", "--macho", *args], check=True,
                          capture_output=True, text=True).stdout


failures = []


def report(ok, text):
    print(("ok      " if ok else "FAILED  ") + text)
    if not ok:
        failures.append(text)


def check_exports(dylib):
    exported = set(re.findall(r"^0x[0-9A-F]+\s+(\S+)", objdump("--exports-trie", dylib), re.M))
    wanted = ["_" + v for v in SHARED_VARIABLES] + ["_increaseVolumeIfNeeded"]
    missing = [w for w in wanted if w not in exported]
    extra = sorted(exported - set(wanted))
    report(not missing, f"{Path(dylib).name} exports the {len(SHARED_VARIABLES)} shared variables "
           f"and increaseVolumeIfNeeded" + (f" (missing: {', '.join(missing)})" if missing else ""))
    report(not extra, f"{Path(dylib).name} exports nothing else"
           + (f" (also: {', '.join(extra)})" if extra else ""))


def check_classes(binary):
    symbols = objdump("--syms", binary)
    for name in PANE_CLASSES:
        defined = re.search(r"__DATA\S*,__objc_data _OBJC_CLASS_\$_" + re.escape(name) + r"$",
                            symbols, re.M)
        report(bool(defined), f"{Path(binary).name} defines the Objective-C class {name}")


def check_signature(binary, identifier, info_plist=None, where=""):
    """The code directories, each slot's hash type, and every page and special slot re-hashed."""
    lines, problems = verify_signature.verify(binary, identifier, info_plist)
    for line in lines:
        print(f"        {line}")
    report(not problems, f"{Path(binary).name}{where} is signed ad hoc with SHA-1 (slot 0) and "
           f"SHA-256 (slot 0x1000) code directories, identifier {identifier}"
           + (f"; {'; '.join(problems)}" if problems else ""))


def check_load_format(binary):
    """What iOS 7's dyld and runtime read: one 8-byte image info, classic rebase/bind opcodes."""
    sections = objdump("--section-headers", binary)
    sizes = re.findall(r"__objc_imageinfo\s+([0-9a-fA-F]+)", sections)
    report(sizes == ["00000008"], f"{Path(binary).name}: __objc_imageinfo is one 8-byte record"
           + ("" if sizes == ["00000008"] else f" (sizes: {sizes})"))
    commands = set(re.findall(r"^\s+cmd (LC_\w+)", objdump("--private-headers", binary), re.M))
    chained = commands & {"LC_DYLD_CHAINED_FIXUPS", "LC_DYLD_EXPORTS_TRIE"}
    report("LC_DYLD_INFO_ONLY" in commands and not chained,
           f"{Path(binary).name}: classic dyld information (LC_DYLD_INFO_ONLY, no chained fixups)"
           + (f" (has: {', '.join(sorted(chained))})" if chained else ""))


def stub_for(sdk, install_name):
    """The .tbd stub of the SDK that stands for an installed library."""
    path = Path(install_name)
    candidates = [sdk / path.relative_to("/").with_suffix(".tbd")]
    if path.suffix == "":  # a framework binary: .../X.framework/X
        candidates.append(sdk / (str(path.relative_to("/")) + ".tbd"))
    return next((c for c in candidates if c.exists()), None)


def bound_symbols(binary):
    """(library, symbol) for every symbol the binary takes from another library."""
    text = objdump("--bind", "--lazy-bind", "--weak-bind", binary)
    pairs = set()
    for line in text.splitlines():
        fields = line.split()
        if len(fields) >= 2 and fields[-1].startswith("_") and not fields[-2].startswith("0x"):
            pairs.add((fields[-2], fields[-1]))
        elif len(fields) >= 2 and fields[-1].startswith("_"):
            pairs.add((None, fields[-1]))
    return pairs


def tbd_names(symbol):
    """How a symbol appears in a .tbd: plain, or as an Objective-C class or instance variable."""
    for prefix in ("_OBJC_CLASS_$_", "_OBJC_METACLASS_$_", "_OBJC_EHTYPE_$_"):
        if symbol.startswith(prefix):
            return [symbol[len(prefix):], symbol]
    if symbol.startswith("_OBJC_IVAR_$_"):
        return [symbol[len("_OBJC_IVAR_$_"):], symbol]
    return [symbol]


def check_imports(sdk, binary):
    libraries = re.findall(r"^\s+(/\S+) \(compatibility", objdump("--dylibs-used", binary), re.M)
    own = objdump("--dylib-id", binary).split("\n")[1:]
    libraries = [lib for lib in libraries if lib not in "\n".join(own)]
    stubs = {}
    for lib in libraries:
        stub = stub_for(sdk, lib)
        report(stub is not None, f"{Path(binary).name} links {lib}"
               + (f" (in the SDK: {stub.relative_to(sdk)})" if stub else " (not in the SDK)"))
        if stub:
            stubs[lib] = stub.read_text(errors="replace")
    short = {Path(lib).name.split(".")[0]: lib for lib in libraries}
    unresolved = []
    symbols = bound_symbols(binary)
    for library, symbol in sorted(symbols, key=lambda p: p[1]):
        texts = [stubs[short[library]]] if library in short and short[library] in stubs else \
            list(stubs.values())
        if not any(re.search(r"(?<![\w$.])" + re.escape(n) + r"(?![\w$])", t)
                   for n in tbd_names(symbol) for t in texts):
            unresolved.append(f"{symbol} ({library})")
    report(not unresolved, f"{Path(binary).name}: all {len(symbols)} imported symbols are in "
           "those libraries' stubs" + (f"; not found: {', '.join(unresolved)}" if unresolved else ""))


def check_layout(deb, prefix):
    listing = subprocess.run(["dpkg-deb", "-c", deb], check=True, capture_output=True,
                             text=True).stdout
    print(listing, end="")
    files = sorted(line.split()[-1].lstrip(".") for line in listing.splitlines()
                   if not line.startswith("d"))
    expected = sorted(prefix + f for f in [
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
        root = Path(unpacked + prefix)
        check_signature(root / "Library/MobileSubstrate/DynamicLibraries/Tonewell.dylib",
                        MONITOR_IDENTIFIER, where=" (packed)")
        bundle = root / "Library/PreferenceBundles/TonewellPrefs.bundle"
        check_signature(bundle / "TonewellPrefs", bundle_identifier(bundle / "Info.plist"),
                        bundle / "Info.plist", where=" (packed)")
    control = subprocess.run(["dpkg-deb", "-f", deb, "Architecture", "Depends"], check=True,
                             capture_output=True, text=True).stdout
    fields = dict(line.split(": ", 1) for line in control.splitlines() if ": " in line)
    architecture = "iphoneos-arm64" if prefix else "iphoneos-arm"
    report(fields.get("Architecture") == architecture and
           fields.get("Depends") == "mobilesubstrate, preferenceloader",
           f"control: Architecture {architecture}, Depends mobilesubstrate, preferenceloader"
           + ("" if fields.get("Architecture") == architecture else f" (has: {fields})"))


def bundle_identifier(info_plist):
    with open(info_plist, "rb") as f:
        return plistlib.load(f)["CFBundleIdentifier"]


def main():
    sdk, dylib, bundle, deb, prefix = sys.argv[1:6]
    sdk = Path(sdk)
    check_exports(dylib)
    check_classes(bundle)
    for binary in (dylib, bundle):
        check_imports(sdk, binary)
        check_load_format(binary)
    info_plist = Path(bundle).parent / "Info.plist"
    check_signature(dylib, MONITOR_IDENTIFIER)
    check_signature(bundle, bundle_identifier(info_plist), info_plist)
    check_layout(deb, prefix)
    print(f"{len(failures)} check(s) failed" if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
