"""The 32-bit slices' link (ld_old_macho.py, macho32.py): armv7 code compiled and linked here by
clang through lld 13's old Mach-O linker, against a link SDK written by the test."""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import textwrap
import unittest
from pathlib import Path

SCRIPTS = os.environ.get("TONEWELL_SCRIPTS",
                         os.path.join(os.path.dirname(__file__), "..", "scripts"))
sys.path.insert(0, SCRIPTS)
import check_phone_binaries  # noqa: E402
import macho32  # noqa: E402
import tbd_stubs  # noqa: E402

LINKER = os.path.join(SCRIPTS, "ld_old_macho.py")
SDK_SETTINGS = """<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>Version</key><string>9.3</string></dict></plist>
"""
SDK = {
    "usr/lib/libSystem.B.tbd": """
        ---
        archs:                 [ armv7, armv7s ]
        install-name:          /usr/lib/libSystem.B.dylib
        exports:
          - archs:              [ armv7, armv7s ]
            symbols:            [ dyld_stub_binder, _puts, _strlen, _take, _counter, _other,
                                  _ext_one, _ext_two, _ext_three, _ext_four ]
        ...
        """,
    "usr/lib/libobjc.A.tbd": """
        ---
        archs:                 [ armv7, armv7s ]
        install-name:          /usr/lib/libobjc.A.dylib
        exports:
          - archs:              [ armv7, armv7s ]
            symbols:            [ __objc_empty_cache, _objc_msgSend ]
        ...
        """,
    "System/Library/Frameworks/Unused.framework/Unused.tbd": """
        ---
        archs:                 [ armv7, armv7s ]
        install-name:          /System/Library/Frameworks/Unused.framework/Unused
        exports:
          - archs:              [ armv7, armv7s ]
            symbols:            [ _never_called ]
        ...
        """,
}

# Hidden and public functions that call one another within their object, weak ones that every
# object defines, a table of pointers to Thumb functions, and an import.
TABLES = """
    __attribute__((weak, visibility("hidden"))) int zeta(int x) { return x * 5 + 1; }
    int alpha(int x) { return zeta(x) * 2; }
    __attribute__((weak, visibility("hidden"))) int beta(int x) { return alpha(x) + zeta(x); }
    __attribute__((visibility("hidden"))) int (*const table[])(int) = {zeta, beta, alpha};
    extern int puts(const char*);
    int gamma_(int x) { puts("tonewell"); return table[x & 1](x) + beta(x); }
    """
MORE = """
    __attribute__((weak, visibility("hidden"))) int zeta(int x) { return x * 5 + 1; }
    __attribute__((visibility("hidden"))) int delta(int x) { return zeta(x) - 1; }
    int epsilon(int x) { return delta(x) + zeta(x); }
    """
# Other images' data, reached through each object's non-lazy pointers, several per object.
DATA = {"data_a.c": """
    extern int ext_one, ext_two, ext_three;
    int get1(void) { return ext_one; }
    int get2(void) { return ext_two + ext_three; }
    """, "data_b.c": """
    extern int ext_two, ext_four;
    int get3(void) { return ext_two * ext_four; }
    """}
# The address of a Thumb function that reaches other images' data, handed to another image.
ADDRESS_TAKEN = """
    extern void take(void (*)(void*));
    extern int counter, other;
    __attribute__((noinline)) void finish(void* p) { counter += (int)p; other = counter;
                                                     take(finish); }
    void install(void) { take(finish); }
    """
ROOT_CLASS = """
    __attribute__((objc_root_class)) @interface {name} @end
    @implementation {name}
    - (int)answer {{ return 42; }}
    @end
    """


def strings_image(content):
    """A 32-bit ARM object whose only section is a __cstring holding `content`."""
    section = struct.pack("<16s16sIIIIIIIII", b"__cstring", b"__TEXT", 0, len(content),
                          28 + 56 + 68, 3, 0, 0, macho32.S_CSTRING_LITERALS, 0, 0)
    segment = struct.pack("<II16sIIIIIIII", 1, 56 + 68, b"", 0, len(content), 28 + 56 + 68,
                          len(content), 5, 5, 1, 0) + section
    header = struct.pack("<7I", macho32.MH_MAGIC, 12, 9, 1, 1, len(segment), 0)
    return bytearray(header + segment + content)


def write(folder, files):
    for path, text in files.items():
        target = Path(folder) / path
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(textwrap.dedent(text).lstrip())


class StringPaddingTest(unittest.TestCase):
    def test_only_the_gaps_between_the_inputs_strings_are_cleared(self):
        inputs = [macho32.Image(strings_image(b"abc\0defgh\0;\0"))]
        # Gaps before "defgh" (no NUL in them), before ";" and at the end; one reads as ";".
        output = strings_image(b"abc\0\xff\xfedefgh\0;\0\x9a;\0\x07")
        self.assertEqual(macho32.clear_string_padding(output, inputs), 4)
        self.assertEqual(bytes(output[-18:]), b"abc\0\0\0defgh\0;\0\0;\0\0")


@unittest.skipUnless(shutil.which("ld64.lld.darwinold-13") and shutil.which("clang"),
                     "needs ld64.lld.darwinold-13 (lld-13) and clang")
class OldLinkerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = Path(tempfile.mkdtemp(prefix="tonewell-link-"))
        cls.sdk = cls.folder / "sdk"
        write(cls.sdk, SDK)
        (cls.sdk / "SDKSettings.plist").write_text(SDK_SETTINGS)
        for name, target in (("libSystem", "libSystem.B.tbd"), ("libobjc", "libobjc.A.tbd")):
            (cls.sdk / "usr/lib" / f"{name}.tbd").symlink_to(target)  # as the SDKs have them
        write(cls.folder, DATA)
        write(cls.folder, {"tables.c": TABLES, "more.c": MORE, "taken.c": ADDRESS_TAKEN,
                           "first.m": ROOT_CLASS.format(name="First"),
                           "second.m": ROOT_CLASS.format(name="Second"),
                           "exports.txt": "_alpha\n_gamma_\n_epsilon\n"})
        cls.tables = cls.compile("tables.c")
        cls.more = cls.compile("more.c")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    @classmethod
    def compile(cls, source, *flags, arch="armv7"):
        out = cls.folder / (Path(source).stem + arch + "".join(flags).replace("-", "_") + ".o")
        subprocess.run(["clang", "-target", f"{arch}-apple-ios7.0", "-O2", *flags, "-c",
                        str(cls.folder / source), "-o", str(out)], check=True)
        return out

    def link(self, name, *inputs, options=(), arch="armv7"):
        out = self.folder / name
        run = subprocess.run(
            ["clang", "-target", f"{arch}-apple-ios7.0", "-dynamiclib", f"--ld-path={LINKER}",
             f"-Wl,--link-sdk={self.sdk}", "-install_name", f"/usr/lib/{name}",
             *map(str, inputs), *options, "-o", str(out)], capture_output=True, text=True)
        return out, run

    def test_a_slice_links_with_every_relocation_reaching_its_symbol(self):
        out, run = self.link("libtables.dylib", self.tables, self.more, options=[
            "-Wl,-dead_strip_dylibs", "-framework", "Unused",
            f"-Wl,-exported_symbols_list,{self.folder / 'exports.txt'}"])
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertRegex(run.stdout, r"libtables.dylib \(armv7\): [1-9]\d* relocations of the "
                                     r"inputs reach their places")
        image = macho32.Image(out.read_bytes())
        self.assertEqual(image.cpusubtype, 9)
        self.assertIn(macho32.LC_UUID, [cmd for _, cmd, _ in image.commands])
        self.assertEqual(image.dylibs, ["/usr/lib/libSystem.B.dylib"])  # Unused left out
        symbols = {name: (value, n_desc) for name, _, _, n_desc, value in image.symbols()}
        table = symbols["_table"][0]
        for i, function in enumerate(["_zeta", "_beta", "_alpha"]):
            address, n_desc = symbols[function]
            self.assertTrue(n_desc & macho32.N_ARM_THUMB_DEF)
            self.assertEqual(image.read32(table + 4 * i), address | 1, function)
        exported = [name for name, n_type, _, _, _ in image.symbols()
                    if n_type & macho32.N_EXT and n_type & macho32.N_TYPE == macho32.N_SECT]
        self.assertEqual(sorted(exported), ["_alpha", "_epsilon", "_gamma_"])

    def test_the_old_linker_alone_misplaces_hidden_symbols_and_thumb_pointers(self):
        _, (checked, _, problems) = self.unmended("unmended.dylib", self.tables, self.more)
        self.assertGreater(checked, 0)
        self.assertTrue(any("the branch to" in p for p in problems), problems)
        self.assertTrue(any("the pointer to _" in p for p in problems), problems)

    def unmended(self, name, *objects):
        """The objects linked by lld 13 alone, and what the relocation check finds there."""
        tree = tbd_stubs.StubTree(self.sdk, self.folder / "stubs", "armv7")
        out = self.folder / name
        subprocess.run(["ld64.lld.darwinold-13", "-arch", "armv7", "-dylib", "-ios_version_min",
                        "7.0", "-sdk_version", "9.3", "-syslibroot", str(self.folder / "stubs"),
                        "-o", str(out), *map(str, objects),
                        *map(str, tree.add("/usr/lib/libSystem.B.dylib"))],
                       check=True, capture_output=True)
        inputs = [macho32.Image(p.read_bytes(), 0, p.name) for p in objects]
        image = macho32.Image(out.read_bytes())
        return image, macho32.check_relocations(inputs, image)

    def test_each_non_lazy_pointer_is_bound_to_its_symbol(self):
        objects = [self.compile("data_a.c"), self.compile("data_b.c")]
        out, run = self.link("libdata.dylib", *objects)
        self.assertEqual(run.returncode, 0, run.stderr)
        bound = sorted(symbol for _, symbol in macho32.Image(out.read_bytes()).binds().values())
        self.assertEqual(bound, ["_ext_four", "_ext_one", "_ext_three", "_ext_two", "_ext_two"])
        # Alone, lld 13 leaves these pointers unbound, and every function reads its object's
        # first one.
        image, (_, _, problems) = self.unmended("libdata-unmended.dylib", *objects)
        self.assertEqual(image.binds(), {})
        self.assertTrue(any("_get2+" in p and "'_ext_two')" in p and "comes out as" in p
                            for p in problems), problems)

    @unittest.skipUnless(shutil.which("llvm-ar-16"), "needs llvm-ar-16 (llvm-16)")
    def test_an_archives_members_are_mended_and_taken_only_when_needed(self):
        archive = self.folder / "libdata.a"
        subprocess.run(["llvm-ar-16", "rcs", str(archive), str(self.compile("data_a.c")),
                        str(self.compile("data_b.c"))], check=True)
        write(self.folder, {"main.c": "int get2(void);\nint use(void) { return get2(); }\n"})
        out, run = self.link("libmain.dylib", self.compile("main.c"), archive)
        self.assertEqual(run.returncode, 0, run.stderr)
        bound = sorted(symbol for _, symbol in macho32.Image(out.read_bytes()).binds().values())
        self.assertEqual(bound, ["_ext_one", "_ext_three", "_ext_two"])  # data_a's, not data_b's
        self.assertRegex(run.stdout, r"[1-9]\d* relocations of the inputs reach their places")

    @unittest.skipUnless(shutil.which("llvm-objdump-16"), "needs llvm-objdump-16 (llvm-16)")
    def test_the_phone_check_refuses_what_lld_13_alone_makes(self):
        # The phone check reads only the binary: it sees the unbound non-lazy pointers, and
        # the broken shim of a tail call into an import, which the mended link does not make.
        tail = self.compile("data_a.c")
        write(self.folder, {"jump.c": "extern int puts(const char*);\n"
                                      "int say(const char* s) { return puts(s); }\n"})
        for objects, expected in (([tail], "is neither bound nor slid"),
                                  ([self.compile("jump.c")], "jumps to pc + pc")):
            image, _ = self.unmended("checked.dylib", *objects)
            binary = check_phone_binaries.MachO(self.folder / "checked.dylib")
            check_phone_binaries.failures.clear()
            check_phone_binaries.check_calls("checked", "armv7", binary,
                                             check_phone_binaries.bound_pointers(binary))
            self.assertEqual(len(check_phone_binaries.failures), 1)
            self.assertIn(expected, check_phone_binaries.failures[0])
        out, run = self.link("libchecked.dylib", tail)
        self.assertEqual(run.returncode, 0, run.stderr)
        binary = check_phone_binaries.MachO(out)
        check_phone_binaries.failures.clear()
        check_phone_binaries.check_calls("checked", "armv7", binary,
                                         check_phone_binaries.bound_pointers(binary))
        self.assertEqual(check_phone_binaries.failures, [])

    def test_the_address_of_a_thumb_function_keeps_bit_0(self):
        taken = self.compile("taken.c", "-fno-optimize-sibling-calls")
        out, run = self.link("libtaken.dylib", taken)
        self.assertEqual(run.returncode, 0, run.stderr)
        inputs = [macho32.Image(taken.read_bytes(), 0, taken.name)]
        data = bytearray(out.read_bytes())
        checked, _, problems = macho32.check_relocations(inputs, macho32.Image(data))
        self.assertGreater(checked, 0)
        self.assertEqual(problems, [])
        # Without bit 0, install would hand over an address that runs finish as ARM code.
        image = macho32.Image(data)
        install = next(value for name, _, _, _, value in image.symbols() if name == "_install")
        text = next(s for s in image.sections if s["name"] == b"__text")
        at = text["offset"] + install - text["addr"]
        while data[at + 1] & 0xFB != 0xF2 or data[at] & 0xF0 != 0x40:  # the first MOVW
            at += 2
        self.assertEqual(data[at + 2] & 1, 1)
        data[at + 2] &= 0xFE
        _, _, problems = macho32.check_relocations(inputs, macho32.Image(data))
        self.assertEqual(len(problems), 1, problems)
        self.assertIn("the address of the Thumb function _finish comes out without bit 0",
                      problems[0])

    def test_objective_c_image_info_reaches_the_output_once(self):
        first, second = self.compile("first.m", arch="armv7s"), \
            self.compile("second.m", arch="armv7s")
        record = next(bytes(image.data[s["offset"]:s["offset"] + s["size"]])
                      for image in [macho32.Image(first.read_bytes())]
                      for s in image.sections if s["name"] == macho32.IMAGE_INFO)
        out, run = self.link("libclasses.dylib", first, second, options=["-lobjc"],
                             arch="armv7s")
        self.assertEqual(run.returncode, 0, run.stderr)
        image = macho32.Image(out.read_bytes())
        infos = [s for s in image.sections if s["name"] == macho32.IMAGE_INFO]
        self.assertEqual([(s["segname"], s["size"]) for s in infos], [(b"__DATA", 8)])
        self.assertEqual(image.read32(infos[0]["addr"] + 4), int.from_bytes(record[4:], "little"))
        self.assertFalse([s for s in image.sections if s["name"] == macho32.LINKED_AS])

        changed = self.folder / "second-changed.o"
        data = bytearray(second.read_bytes())
        info = next(s for s in macho32.Image(data).sections if s["name"] == macho32.IMAGE_INFO)
        data[info["offset"] + 4] ^= 0x02
        changed.write_bytes(data)
        out, run = self.link("libdisagree.dylib", first, changed, options=["-lobjc"],
                             arch="armv7s")
        self.assertNotEqual(run.returncode, 0)
        self.assertIn("the objects disagree on the Objective-C image info", run.stderr)
        self.assertFalse(out.exists())

    def test_a_tail_call_into_an_import_is_refused(self):
        # Such a jump goes through lld 13's Thumb-to-ARM shim, which is broken; the phone build
        # compiles the 32-bit slices without tail calls.
        write(self.folder, {"tail.c": "extern int puts(const char*);\n"
                                      "int say(const char* s) { return puts(s); }\n"})
        tail = self.compile("tail.c")
        out, run = self.link("libtail.dylib", tail)
        self.assertNotEqual(run.returncode, 0)
        self.assertRegex(run.stderr, r"say\+0x[0-9a-f]+: the branch to _puts lands at 0x")
        self.assertFalse(out.exists())
        _, run = self.link("libtail.dylib", self.compile("tail.c", "-fno-optimize-sibling-calls"))
        self.assertEqual(run.returncode, 0, run.stderr)

    def test_libraries_come_only_from_the_link_sdk(self):
        for option, message in (("-lmissing", "-lmissing: no usr/lib/libmissing.tbd in"),
                                ("-framework Absent", "-framework Absent: not in")):
            out, run = self.link("libnone.dylib", self.more, options=option.split())
            self.assertNotEqual(run.returncode, 0)
            self.assertIn(message, run.stderr)
        out, run = self.link("libnone.dylib", self.more, options=["-arch", "arm64"])
        self.assertNotEqual(run.returncode, 0)


if __name__ == "__main__":
    unittest.main()
