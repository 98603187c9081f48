#!/usr/bin/env python3
"""The linker of the phone's 32-bit slices (armv7, armv7s): clang calls it as its ld
(--ld-path), and it links with lld 13's Mach-O linker (ld64.lld.darwinold), the one Debian 12
linker that writes 32-bit ARM Mach-O, working round what that linker lacks:

- It reads no text stubs (.tbd): every library named by -l or -framework is replaced by a stub
  library written from the link SDK's text stubs (tbd_stubs.py), with the public libraries it
  re-exports beside it, so each symbol binds to the library that defines it.
- It crashes on an object's Objective-C image info (__DATA,__objc_imageinfo), which iOS 7's
  runtime needs to see once in the image or it skips the image's classes. The inputs are linked
  from copies in which that section is renamed (same length) and emptied; one 8-byte record,
  the one every input agrees on, is linked from an object of its own, and the output's section
  is given its name back.
- It gets relocations wrong in four ways, each mended in the inputs before the link
  (macho32.prepare_object): its 32-bit reader misplaces hidden (private external) symbols and
  resolves relocations to the wrong ones (hidden symbols are made external; the exported-symbols
  list the build gives decides what the output exports); it gives a pointer to a Thumb function
  of the same object the Thumb bit twice; it drops the symbols of the objects' non-lazy pointers
  (each gets a relocation to its symbol); and a PC-relative address into the middle of a piece
  of a section comes out as the piece's start (each such relocation names its piece's start).
  Its Thumb-to-ARM shim is broken too (`add pc, pc`): the build compiles without tail calls,
  which need it.
- It writes no LC_UUID: one is added, the MD5 of the output as the system's linker makes it;
  and it leaves whatever its memory held in the gaps before aligned C strings: they are zeroed
  (macho32.clear_string_padding).
- It ignores -dead_strip_dylibs: a library none of whose symbols is bound is left out by
  linking again without it (a re-exported library that iOS 7 lacks, such as libextension,
  must not be loaded for nothing).
Then the inputs' relocations are followed into the output (macho32.check_relocations): every
branch and pointer to a symbol, and every PC-relative address the code makes, must reach its
place; the link fails otherwise. On success it prints how many were followed.

Options of its own, given through clang as -Wl,OPTION=VALUE:
  --link-sdk=SDK     the SDK whose text stubs the slice links against (iPhoneOS9.3.sdk: the
                     32-bit runtime's symbols, __Unwind_SjLj_* and ___fixdfdi, are there)
  --names-sdk=SDK    a newer SDK whose stubs say what each library served on iOS 7 and
                     re-exports by name (tbd_stubs.py)
  --stub-dir=DIR     keep the stub libraries there (default: a temporary folder)
Everything else is passed on; -syslibroot and the version options are translated.
"""
import os
import plistlib
import subprocess
import sys
import tempfile
from pathlib import Path

import macho32
import tbd_stubs

LINKER = "ld64.lld.darwinold-13"


class LinkError(Exception):
    pass


def copy_input(path, folder, records):
    """A copy of an object or archive made ready for the old linker (macho32.prepare)."""
    out = Path(folder) / f"{len(os.listdir(folder))}-{Path(path).name}"
    out.write_bytes(macho32.prepare(Path(path).read_bytes(), records))
    return str(out)


# Options the old linker does not know; the first is done here, the second needs no doing: the
# stub libraries' install names are no longer than the real ones, and the header keeps room.
IGNORED = ("-dead_strip_dylibs", "-headerpad_max_install_names")


def run_linker(command, out):
    if Path(out).exists():
        os.unlink(out)
    run = subprocess.run(command, capture_output=True, text=True)
    messages = (run.stdout + run.stderr).splitlines()
    if messages:
        print("\n".join(messages), file=sys.stderr)
    # It reports undefined symbols and still exits 0 with no output.
    if run.returncode != 0 or not Path(out).exists():
        if Path(out).exists():
            os.unlink(out)
        raise LinkError(f"{LINKER} failed (exit {run.returncode})")


def sdk_version(sdk):
    """The SDK's version (9.3), which LC_VERSION_MIN_IPHONEOS records beside the minimum."""
    with open(Path(sdk) / "SDKSettings.plist", "rb") as f:
        return str(plistlib.load(f)["Version"])


class Arguments:
    """What clang asks of its linker, sorted: the inputs, the libraries, and the rest."""

    # Options followed by a value that is passed on as it is.
    VALUED = {"-o", "-arch", "-dylib_install_name", "-install_name", "-exported_symbols_list",
              "-unexported_symbols_list", "-current_version", "-compatibility_version",
              "-bundle_loader", "-e", "-rpath"}

    def __init__(self, argv):
        self.options = {}  # our own: --link-sdk and the like
        self.items = []  # ("arg", text) | ("input", path) | ("library", kind, name)
        self.framework_dirs, self.compile_sdk, self.out, self.arch = [], None, None, None
        args, i = list(argv), 0
        while i < len(args):
            a = args[i]
            if a.startswith("--") and "=" in a:
                key, value = a.split("=", 1)
                self.options[key] = value
            elif a in self.VALUED:
                if a == "-o":
                    self.out = args[i + 1]
                elif a == "-arch":
                    self.arch = args[i + 1]
                self.items += [("arg", a), ("arg", args[i + 1])]
                i += 1
            elif a == "-syslibroot":
                self.compile_sdk = args[i + 1]
                i += 1
            elif a in ("-iphoneos_version_min", "-ios_version_min"):
                self.items += [("arg", "-ios_version_min"), ("arg", args[i + 1])]
                i += 1
            elif a == "-platform_version":  # PLATFORM MIN SDK
                self.items += [("arg", "-ios_version_min"), ("arg", args[i + 2])]
                i += 3
            elif a == "-framework":
                self.items.append(("library", "framework", args[i + 1]))
                i += 1
            elif a == "-force_load":
                self.items += [("arg", a), ("input", args[i + 1])]
                i += 1
            elif a.startswith("-F"):
                self.framework_dirs.append(a[2:])
            elif a.startswith("-L"):  # every library comes from the link SDK's stubs
                pass
            elif a.startswith("-l"):
                if a == "-lc++":
                    # The link SDK's stub of libc++ does not list what libc++ re-exports from
                    # libc++abi: the C++ runtime binds to libc++abi, which defines it, taken
                    # first.
                    self.items.append(("library", "library", "c++abi"))
                self.items.append(("library", "library", a[2:]))
            elif not a.startswith("-") and a.endswith((".o", ".a")):
                self.items.append(("input", a))
            elif a not in IGNORED:
                self.items.append(("arg", a))
            i += 1
        self.dead_strip_dylibs = "-dead_strip_dylibs" in args


def library_paths(arguments, tree, kind, name):
    """The stubs that stand for -lNAME or -framework NAME."""
    link_sdk = tree.sdk
    if kind == "library":
        tbd = link_sdk / "usr/lib" / f"lib{name}.tbd"
        if not tbd.exists():
            raise LinkError(f"-l{name}: no usr/lib/lib{name}.tbd in {link_sdk}")
        return [str(p) for p in tree.add(str(tbd.relative_to(link_sdk)))]
    dirs = []
    for d in arguments.framework_dirs:  # a folder of the compile SDK: the link SDK's one
        if arguments.compile_sdk and Path(d).is_relative_to(arguments.compile_sdk):
            d = str(link_sdk / Path(d).relative_to(arguments.compile_sdk))
        dirs.append(d)
    dirs.append(str(link_sdk / "System/Library/Frameworks"))
    for d in dirs:
        tbd = Path(d) / f"{name}.framework" / f"{name}.tbd"
        if tbd.exists() and tbd.is_relative_to(link_sdk):
            return [str(p) for p in tree.add(str(tbd.relative_to(link_sdk)))]
    raise LinkError(f"-framework {name}: not in {', '.join(dirs)}")


def main(argv):
    arguments = Arguments(argv)
    if "--link-sdk" not in arguments.options:
        raise LinkError("no --link-sdk=SDK (-Wl,--link-sdk=...) to take the libraries' stubs from")
    if arguments.out is None or arguments.arch not in ("armv7", "armv7s"):
        raise LinkError(f"links 32-bit ARM slices only (-arch {arguments.arch})")
    link_sdk = Path(arguments.options["--link-sdk"])
    out, arch = arguments.out, arguments.arch

    with tempfile.TemporaryDirectory(prefix="ld_old_macho-") as folder:
        stub_dir = Path(arguments.options.get("--stub-dir") or Path(folder) / "stubs")
        tree = tbd_stubs.StubTree(link_sdk, stub_dir, arch, "7.0",
                                  arguments.options.get("--names-sdk"))
        records = set()
        command = [LINKER, "-syslibroot", str(stub_dir), "-sdk_version", sdk_version(link_sdk)]
        stubs = {}  # stub path -> install name
        for item in arguments.items:
            if item[0] == "input":
                command.append(copy_input(item[1], folder, records))
            elif item[0] == "library":
                for path in library_paths(arguments, tree, item[1], item[2]):
                    if path not in stubs:
                        stubs[path] = "/" + str(Path(path).relative_to(stub_dir))
                        command.append(path)
            else:
                command.append(item[1])
        if len(records) > 1:
            raise LinkError("the objects disagree on the Objective-C image info: "
                            + ", ".join(r.hex() for r in sorted(records)))
        if records:
            record_object = Path(folder) / "objc_image_info.o"
            record_object.write_bytes(macho32.image_info_object(
                records.pop(), tbd_stubs.ARCHITECTURES[arch][1]))
            command.insert(5, str(record_object))
        run_linker(command, out)
        if arguments.dead_strip_dylibs:
            bound = {library for library, _ in macho32.Image(Path(out).read_bytes()).binds()
                     .values()}
            unused = set(stubs.values()) - bound
            if unused:
                run_linker([a for a in command if stubs.get(a) not in unused], out)
        inputs = [image for item in arguments.items if item[0] == "input"
                  for image in macho32.objects_in(Path(item[1]).read_bytes(), item[1])]
        data = bytearray(Path(out).read_bytes())
        macho32.clear_string_padding(data, inputs)
        data = macho32.finish_output(data)
        checked, skipped, problems = macho32.check_relocations(inputs,
                                                               macho32.Image(data, 0, out))
    if problems:
        os.unlink(out)
        raise LinkError(f"{len(problems)} of {checked} relocations of the inputs do not reach "
                        "their place in the output: " + "; ".join(problems[:5]))
    Path(out).write_bytes(data)
    print(f"ld_old_macho: {Path(out).name} ({arch}): {checked} relocations of the inputs reach "
          f"their places ({skipped} not told apart: their names are held twice in the output)")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except (OSError, LinkError, tbd_stubs.StubError, macho32.MachOError) as e:
        print(f"ld_old_macho: {e}", file=sys.stderr)
        sys.exit(1)
