"""The 32-bit slices' link (ld_old_macho.py, macho32.py): armv7 code compiled and linked here by
clang through lld 13's old Mach-O linker, against a link SDK written by the test."""
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest
from pathlib import Path

SCRIPTS = os.environ.get("TONEWELL_SCRIPTS",
                         os.path.join(os.path.dirname(__file__), "..", "scripts"))
sys.path.insert(0, SCRIPTS)
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
            symbols:            [ dyld_stub_binder, _puts, _strlen ]
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
ROOT_CLASS = """
    __attribute__((objc_root_class)) @interface {name} @end
    @implementation {name}
    - (int)answer {{ return 42; }}
    @end
    """


def write(folder, files):
    for path, text in files.items():
        target = Path(folder) / path
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(textwrap.dedent(text).lstrip())


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
        write(cls.folder, {"tables.c": TABLES, "more.c": MORE,
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
        self.assertRegex(run.stdout, r"libtables.dylib \(armv7\): [1-9]\d* symbol relocations "
                                     r"of the inputs reach their symbols")
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
        tree = tbd_stubs.StubTree(self.sdk, self.folder / "stubs", "armv7")
        out = self.folder / "unmended.dylib"
        subprocess.run(["ld64.lld.darwinold-13", "-arch", "armv7", "-dylib", "-ios_version_min",
                        "7.0", "-sdk_version", "9.3", "-syslibroot", str(self.folder / "stubs"),
                        "-o", str(out), str(self.tables), str(self.more),
                        *map(str, tree.add("/usr/lib/libSystem.B.dylib"))],
                       check=True, capture_output=True)
        inputs = [macho32.Image(p.read_bytes(), 0, p.name) for p in (self.tables, self.more)]
        checked, _, problems = macho32.check_relocations(inputs, macho32.Image(out.read_bytes()))
        self.assertGreater(checked, 0)
        self.assertTrue(any("the branch to" in p for p in problems), problems)
        self.assertTrue(any("the pointer to _" in p for p in problems), problems)

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
