"""The stub-library generator (tbd_stubs.py) on SDKs written here: what each text-stub format
says, where a symbol binds, and stubs that lld 13's old Mach-O linker reads and binds to."""
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

OLD_LINKER = "ld64.lld.darwinold-13"

# An older SDK, its stubs in the formats v1 to v3, as iPhoneOS9.3.sdk has them.
OLD_SDK = {
    "usr/lib/libSystem.B.tbd": """
        ---
        archs:                 [ armv7, armv7s, arm64 ]
        platform:              ios
        install-name:          /usr/lib/libSystem.B.dylib
        current-version:       1226.10.1
        compatibility-version: 1
        exports:
          - archs:              [ armv7, armv7s, arm64 ]
            re-exports:         [ /usr/lib/system/libsystem_c.dylib,
                                  /usr/lib/system/liblaunch.dylib ]
            symbols:            [ _libSystem_atfork_child, dyld_stub_binder ]
        ...
        """,
    "usr/lib/system/libsystem_c.tbd": """
        ---
        archs:                 [ armv7, armv7s, arm64 ]
        platform:              ios
        install-name:          /usr/lib/system/libsystem_c.dylib
        current-version:       1082.50.1
        compatibility-version: 1
        exports:
          - archs:              [ armv7, armv7s ]
            symbols:            [ ___fixdfdi ]
          - archs:              [ armv7, armv7s, arm64 ]
            symbols:            [ _strlen, _puts ]
            weak-def-symbols:   [ _weak_in_libc ]
            thread-local-symbols: [ _errno_tls ]
        ...
        """,
    "usr/lib/libobjc.A.tbd": """
        ---
        archs:                 [ armv7, armv7s, arm64 ]
        platform:              ios
        install-name:          /usr/lib/libobjc.A.dylib
        current-version:       228
        compatibility-version: 1
        exports:
          - archs:              [ armv7, armv7s, arm64 ]
            symbols:            [ _objc_msgSend, __objc_empty_cache ]
            objc-classes:       [ _NSObject ]
            objc-ivars:         [ _NSObject.isa ]
        ...
        """,
    "System/Library/Frameworks/Foundation.framework/Foundation.tbd": """
        --- !tapi-tbd-v2
        archs:                 [ armv7, armv7s, arm64 ]
        platform:              ios
        install-name:          /System/Library/Frameworks/Foundation.framework/Foundation
        current-version:       1290
        compatibility-version: 300
        exports:
          - archs:              [ armv7, armv7s, arm64 ]
            re-exports:
              [ /System/Library/Frameworks/CoreFoundation.framework/CoreFoundation,
                /usr/lib/libobjc.A.dylib ]
            symbols:            [ _NSLog ]
            objc-classes:       [ _NSString ]
        ...
        """,
    "System/Library/Frameworks/CoreFoundation.framework/CoreFoundation.tbd": """
        --- !tapi-tbd-v3
        archs:                 [ armv7, armv7s, arm64 ]
        platform:              ios
        install-name:          /System/Library/Frameworks/CoreFoundation.framework/CoreFoundation
        current-version:       1290.11
        compatibility-version: 150
        exports:
          - archs:              [ armv7, armv7s, arm64 ]
            symbols:            [ _CFRelease ]
            objc-classes:       [ NSArray ]
            objc-eh-types:      [ NSException ]
        ...
        """,
    "System/Library/Frameworks/CFNetwork.framework/CFNetwork.tbd": """
        ---
        archs:                 [ armv7, armv7s, arm64 ]
        platform:              ios
        install-name:          /System/Library/Frameworks/CFNetwork.framework/CFNetwork
        exports:
          - archs:              [ armv7, armv7s, arm64 ]
            objc-classes:       [ _NSURLRequest ]
        ...
        """,
}

# A newer SDK (format v4): what Foundation served on iOS 7.0, and libsystem_c's memcpy, which it
# serves from another part under its own name.
NEW_SDK = {
    "usr/lib/libSystem.B.tbd": """
        --- !tapi-tbd
        tbd-version:     4
        targets:         [ armv7-ios, armv7s-ios, arm64-ios ]
        install-name:    '/usr/lib/libSystem.B.dylib'
        reexported-libraries:
          - targets:         [ armv7-ios, armv7s-ios, arm64-ios ]
            libraries:       [ '/usr/lib/system/libsystem_c.dylib' ]
        exports:
          - targets:         [ armv7-ios, armv7s-ios, arm64-ios ]
            symbols:         [ '$ld$hide$os7.0$_libSystem_atfork_child' ]
        --- !tapi-tbd
        tbd-version:     4
        targets:         [ armv7-ios, armv7s-ios, arm64-ios ]
        install-name:    '/usr/lib/system/libsystem_c.dylib'
        exports:
          - targets:         [ arm64-ios ]
            symbols:         [ _only_on_arm64 ]
        reexports:
          - targets:         [ armv7-ios, armv7s-ios, arm64-ios ]
            symbols:         [ _memcpy ]
        ...
        """,
    "System/Library/Frameworks/Foundation.framework/Foundation.tbd": """
        --- !tapi-tbd
        tbd-version:     4
        targets:         [ armv7-ios, armv7s-ios, arm64-ios ]
        install-name:    '/System/Library/Frameworks/Foundation.framework/Foundation'
        exports:
          - targets:         [ armv7-ios, armv7s-ios ]
            symbols:         [ '$ld$add$os7.0$_OBJC_CLASS_$_NSURLRequest',
                               '$ld$add$os6.1$_OBJC_CLASS_$_NSOnlyOnSix',
                               '$ld$hide$os7.0$_NSLog' ]
          - targets:         [ armv7-ios, armv7s-ios, arm64-ios ]
            objc-classes:    [ NSString ]
        ...
        """,
}


def write_sdk(root, files):
    for path, text in files.items():
        target = Path(root) / path
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_text(textwrap.dedent(text).lstrip())
    return Path(root)


def trie_entries(data, start, size):
    """{name: flags} of an export trie, read apart from the writer."""
    out = {}

    def uleb(at):
        value, shift = 0, 0
        while True:
            byte = data[at]
            value, shift, at = value | (byte & 0x7F) << shift, shift + 7, at + 1
            if byte < 0x80:
                return value, at

    def walk(node, prefix):
        info_size, at = uleb(start + node)
        if info_size:
            out[prefix], _ = uleb(at)
        at += info_size
        children, at = data[at], at + 1
        for _ in range(children):
            end = data.index(b"\0", at)
            label, at = data[at:end].decode(), end + 1
            child, at = uleb(at)
            walk(child, prefix + label)

    walk(0, "")
    return out


class TextStubTest(unittest.TestCase):
    def test_each_format_names_symbols_as_the_compiler_refers_to_them(self):
        def library(text, arch="armv7"):
            with tempfile.NamedTemporaryFile("w", suffix=".tbd") as f:
                f.write(textwrap.dedent(text).lstrip())
                f.flush()
                return tbd_stubs.library_for(tbd_stubs.read_documents(f.name)[0], arch)

        v1 = library(OLD_SDK["usr/lib/libobjc.A.tbd"])
        self.assertEqual(v1.current_version, "228")
        self.assertIn("_OBJC_CLASS_$_NSObject", v1.symbols)
        self.assertIn("_OBJC_METACLASS_$_NSObject", v1.symbols)
        self.assertIn("_OBJC_IVAR_$_NSObject.isa", v1.symbols)
        self.assertNotIn("_OBJC_CLASS_$__NSObject", v1.symbols)
        v2 = library(OLD_SDK["System/Library/Frameworks/Foundation.framework/Foundation.tbd"])
        self.assertIn("_OBJC_CLASS_$_NSString", v2.symbols)
        self.assertEqual(v2.reexports[1], "/usr/lib/libobjc.A.dylib")
        v3 = library(OLD_SDK["System/Library/Frameworks/CoreFoundation.framework/"
                             "CoreFoundation.tbd"])
        self.assertEqual(v3.current_version, "1290.11")  # text, not the float 1290.11
        self.assertIn("_OBJC_CLASS_$_NSArray", v3.symbols)
        self.assertIn("_OBJC_EHTYPE_$_NSException", v3.symbols)
        libc = library(OLD_SDK["usr/lib/system/libsystem_c.tbd"])
        self.assertEqual(libc.symbols["_weak_in_libc"], tbd_stubs.EXPORT_WEAK)
        self.assertEqual(libc.symbols["_errno_tls"], tbd_stubs.EXPORT_THREAD_LOCAL)
        self.assertIn("___fixdfdi", libc.symbols)
        self.assertNotIn("___fixdfdi", library(OLD_SDK["usr/lib/system/libsystem_c.tbd"],
                                               "arm64").symbols)
        v4 = library(NEW_SDK["System/Library/Frameworks/Foundation.framework/Foundation.tbd"])
        self.assertIn("_OBJC_CLASS_$_NSString", v4.symbols)
        self.assertEqual(len(v4.directives), 3)  # kept apart, not symbols
        self.assertIsNone(library(OLD_SDK["usr/lib/libobjc.A.tbd"], "x86_64"))

    def test_directives_apply_to_the_minimum_system_only(self):
        library = tbd_stubs.Library("/usr/lib/libx.dylib", symbols={"_kept": 0, "_gone": 0})
        tbd_stubs.apply_directives(library, [
            "$ld$add$os7.0$_added", "$ld$add$os6.1$_not_on_seven", "$ld$hide$os7.0$_gone",
            "$ld$hide$os8.0$_kept", "$ld$install_name$os7.0$/usr/lib/libold.dylib",
            "$ld$weak$os7.0$_kept"], "7.0")
        self.assertEqual(sorted(library.symbols), ["_added", "_kept"])
        self.assertEqual(library.install_name, "/usr/lib/libold.dylib")

    def test_a_malformed_text_stub_is_refused_with_its_path(self):
        with tempfile.NamedTemporaryFile("w", suffix=".tbd") as f:
            f.write("---\narchs: [ armv7\n")
            f.flush()
            with self.assertRaisesRegex(tbd_stubs.StubError, f.name):
                tbd_stubs.read_documents(f.name)


class StubTreeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = Path(tempfile.mkdtemp(prefix="tonewell-stubs-"))
        cls.old = write_sdk(cls.folder / "old", OLD_SDK)
        cls.new = write_sdk(cls.folder / "new", NEW_SDK)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def tree(self, arch="armv7", out=None, names_sdk=None):
        return tbd_stubs.StubTree(self.old, out, arch, "7.0", names_sdk)

    def test_public_reexports_are_stubs_of_their_own_and_private_parts_are_flattened(self):
        out = self.folder / f"out-{self.id()}"
        tree = self.tree(out=out)
        paths = tree.add("/System/Library/Frameworks/Foundation.framework/Foundation")
        self.assertEqual([p.relative_to(out).as_posix() for p in paths], [
            "System/Library/Frameworks/Foundation.framework/Foundation",
            "System/Library/Frameworks/CoreFoundation.framework/CoreFoundation",
            "usr/lib/libobjc.A.dylib"])
        foundation = tree.stub("/System/Library/Frameworks/Foundation.framework/Foundation")
        self.assertEqual(sorted(foundation.symbols), ["_NSLog", "_OBJC_CLASS_$_NSString",
                                                      "_OBJC_METACLASS_$_NSString"])
        system = tree.stub("/usr/lib/libSystem.B.dylib")
        self.assertIn("_strlen", system.symbols)  # from its private part libsystem_c
        self.assertEqual(system.symbols["_weak_in_libc"], tbd_stubs.EXPORT_WEAK)
        self.assertEqual(tree.unknown, {"/usr/lib/system/liblaunch.dylib"})
        self.assertEqual(tree.add("usr/lib/libSystem.B.tbd"), [out / "usr/lib/libSystem.B.dylib"])
        with self.assertRaisesRegex(tbd_stubs.StubError, "no text stub"):
            tree.add("/usr/lib/libnothere.dylib")

    def test_the_newer_sdk_says_what_a_library_served_on_ios_7(self):
        tree = self.tree(names_sdk=self.new)
        system = tree.stub("/usr/lib/libSystem.B.dylib")
        self.assertIn("_memcpy", system.symbols)  # re-exported by name by libsystem_c
        self.assertNotIn("_only_on_arm64", system.symbols)
        self.assertNotIn("_libSystem_atfork_child", system.symbols)  # hidden on 7.0
        foundation = tree.stub("/System/Library/Frameworks/Foundation.framework/Foundation")
        self.assertIn("_OBJC_CLASS_$_NSURLRequest", foundation.symbols)  # moved later
        self.assertNotIn("_OBJC_CLASS_$_NSOnlyOnSix", foundation.symbols)
        self.assertNotIn("_NSLog", foundation.symbols)
        self.assertNotIn("_memcpy", self.tree().stub("/usr/lib/libSystem.B.dylib").symbols)

    def test_a_stub_is_a_library_of_its_architecture_with_every_symbol_in_its_trie(self):
        for arch, magic, cputype, subtype in (("armv7", 0xFEEDFACE, 12, 9),
                                              ("armv7s", 0xFEEDFACE, 12, 11)):
            tree = self.tree(arch, out=self.folder / f"out-{arch}")
            path = tree.add("/usr/lib/libSystem.B.dylib")[0]
            data = path.read_bytes()
            self.assertEqual(int.from_bytes(data[0:4], "little"), magic)
            self.assertEqual((int.from_bytes(data[4:8], "little"),
                              int.from_bytes(data[8:12], "little")), (cputype, subtype))
            image = macho32.Image(data)
            self.assertEqual(image.filetype, 6)  # MH_DYLIB
            entries = trie_entries(data, image.dyld_info[8], image.dyld_info[9])
            self.assertEqual(entries, tree.stub("/usr/lib/libSystem.B.dylib").symbols)
            self.assertEqual(sorted(s[0] for s in image.symbols()), sorted(entries))
        arm64 = tbd_stubs.stub_bytes(tbd_stubs.Library("/usr/lib/libz.dylib", symbols={"_a": 0}),
                                     "arm64")
        self.assertEqual(int.from_bytes(arm64[0:4], "little"), 0xFEEDFACF)

    def test_the_trie_stays_a_tree_with_shared_prefixes_and_long_names(self):
        names = {f"_{'x' * 200}{i}": 0 for i in range(200)}
        names.update({"_a": 0, "_ab": tbd_stubs.EXPORT_WEAK, "_abc": 0, "_b": 0})
        trie = tbd_stubs.export_trie(names)
        self.assertEqual(trie_entries(trie, 0, len(trie)), names)
        self.assertEqual(tbd_stubs.export_trie({}), b"\0\0")

    @unittest.skipUnless(shutil.which(OLD_LINKER) and shutil.which("clang"),
                         f"needs {OLD_LINKER} (lld-13) and clang")
    def test_the_old_linker_binds_each_symbol_to_the_library_that_defines_it(self):
        source = self.folder / "uses.c"
        source.write_text(textwrap.dedent("""
            extern char OBJC_CLASS_$_NSObject[], OBJC_CLASS_$_NSString[], OBJC_CLASS_$_NSArray[];
            extern unsigned long strlen(const char*);
            extern void CFRelease(void*);
            void* uses[] = {OBJC_CLASS_$_NSObject, OBJC_CLASS_$_NSString, OBJC_CLASS_$_NSArray};
            int use(void* p) { CFRelease(p); return strlen((const char*)p + 1); }
            """))
        obj = self.folder / "uses.o"
        subprocess.run(["clang", "-target", "armv7-apple-ios7.0", "-O1", "-c", str(source), "-o",
                        str(obj)], check=True)
        out = self.folder / "out-link"
        tree = self.tree(out=out)
        stubs = tree.add("/System/Library/Frameworks/Foundation.framework/Foundation") + \
            tree.add("/usr/lib/libSystem.B.dylib")
        linked = self.folder / "uses.dylib"
        subprocess.run([OLD_LINKER, "-arch", "armv7", "-dylib", "-ios_version_min", "7.0",
                        "-sdk_version", "9.3", "-syslibroot", str(out), "-o", str(linked),
                        str(obj), *map(str, stubs)], check=True, capture_output=True)
        binds = {symbol: library for library, symbol in
                 macho32.Image(linked.read_bytes()).binds().values()}
        self.assertEqual(binds, {
            "_OBJC_CLASS_$_NSObject": "/usr/lib/libobjc.A.dylib",
            "_OBJC_CLASS_$_NSString":
                "/System/Library/Frameworks/Foundation.framework/Foundation",
            "_OBJC_CLASS_$_NSArray":
                "/System/Library/Frameworks/CoreFoundation.framework/CoreFoundation",
            "_CFRelease": "/System/Library/Frameworks/CoreFoundation.framework/CoreFoundation",
            "_strlen": "/usr/lib/libSystem.B.dylib",
            "dyld_stub_binder": "/usr/lib/libSystem.B.dylib"})


if __name__ == "__main__":
    unittest.main()
