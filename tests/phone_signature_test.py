"""The phone binaries' ad hoc signature: the signer (adhoc_sign.py) against the reader
(verify_signature.py), on small binaries linked here without an SDK: arm64 by lld, armv7 by
lld 13's old Mach-O linker (which writes no signature), and fat files of both."""
import glob
import os
import plistlib
import shutil
import subprocess
import sys
import tempfile
import unittest

SCRIPTS = os.environ.get("TONEWELL_SCRIPTS",
                         os.path.join(os.path.dirname(__file__), "..", "scripts"))
sys.path.insert(0, SCRIPTS)
import check_phone_binaries  # noqa: E402
import macho32  # noqa: E402
import tbd_stubs  # noqa: E402
import verify_signature  # noqa: E402

SOURCE = """
int tonewell_answer(void) { return 42; }
/* Spans two pages, so the code limit falls inside the last page. */
const char tonewell_table[7000] = "tonewell";
"""
INFO = {"CFBundleIdentifier": "com.example.tonewell.prefs", "CFBundleExecutable": "Pane"}


OLD_LINKER = "ld64.lld.darwinold-13"


def fat(*slices):
    """A fat file of thin slices, each at a 16 KiB boundary, as llvm-lipo lays them out."""
    header = len(slices).to_bytes(4, "big")
    body, start = b"", 8 + 20 * len(slices)
    for data in slices:
        offset = (start + len(body) + 0x3FFF) // 0x4000 * 0x4000
        body += bytes(offset - start - len(body)) + data
        header += b"".join(int.from_bytes(data[i:i + 4], "little").to_bytes(4, "big")
                           for i in (4, 8))
        header += offset.to_bytes(4, "big") + len(data).to_bytes(4, "big") + (14).to_bytes(4, "big")
    return (0xCAFEBABE).to_bytes(4, "big") + header + body


def linker():
    candidates = [shutil.which(n) for n in ("ld64.lld-16", "ld64.lld-14", "ld64.lld")]
    candidates += sorted(glob.glob("/usr/lib/llvm-*/bin/ld64.lld"), reverse=True)
    return next((c for c in candidates if c), None)


class SignatureTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="tonewell-signature-")
        ld = linker()
        if ld is None:
            raise RuntimeError("no ld64.lld: install lld (scripts/setup-debian.sh does)")
        source = os.path.join(cls.folder, "pane.c")
        with open(source, "w") as f:
            f.write(SOURCE)
        obj = os.path.join(cls.folder, "pane.o")
        subprocess.run(["clang", "-target", "arm64-apple-ios7.0", "-c", source, "-o", obj],
                       check=True)

        def link(name, *kind):
            out = os.path.join(cls.folder, name)
            subprocess.run([ld, "-arch", "arm64", "-platform_version", "ios", "7.0", "7.0",
                            *kind, obj, "-o", out], check=True)
            return out

        cls.dylib = link("linked.dylib", "-dylib", "-install_name", "/t.dylib", "-adhoc_codesign")
        cls.bundle = link("linked.bundle", "-bundle", "-adhoc_codesign")
        cls.unsigned = link("unsigned.dylib", "-dylib", "-install_name", "/u.dylib",
                            "-no_adhoc_codesign")
        # The 32-bit slice as lld 13 writes it (no UUID, no signature), and with the UUID that
        # the phone build's link adds.
        cls.armv7_raw = cls.armv7 = None
        if shutil.which(OLD_LINKER):
            obj32 = os.path.join(cls.folder, "pane32.o")
            subprocess.run(["clang", "-target", "armv7-apple-ios7.0", "-c", source, "-o", obj32],
                           check=True)
            system = os.path.join(cls.folder, "libSystem.B.dylib")  # it wants dyld_stub_binder
            with open(system, "wb") as f:
                f.write(tbd_stubs.stub_bytes(tbd_stubs.Library(
                    "/usr/lib/libSystem.B.dylib", symbols={"dyld_stub_binder": 0}), "armv7"))
            cls.armv7_raw = os.path.join(cls.folder, "raw32.dylib")
            subprocess.run([OLD_LINKER, "-arch", "armv7", "-dylib", "-ios_version_min", "7.0",
                            "-sdk_version", "9.3", "-install_name", "/t.dylib", obj32, system,
                            "-o", cls.armv7_raw], check=True, capture_output=True)
            cls.armv7 = os.path.join(cls.folder, "linked32.dylib")
            with open(cls.armv7_raw, "rb") as f:
                data = macho32.finish_output(bytearray(f.read()))
            with open(cls.armv7, "wb") as f:
                f.write(data)
        cls.info = os.path.join(cls.folder, "Info.plist")
        with open(cls.info, "wb") as f:
            plistlib.dump(INFO, f)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def copy(self, path):
        out = os.path.join(self.folder, f"{self.id().split('.')[-1]}-{os.path.basename(path)}")
        shutil.copyfile(path, out)
        return out

    def sign(self, path, *args):
        return subprocess.run([sys.executable, os.path.join(SCRIPTS, "adhoc_sign.py"), path, *args],
                              capture_output=True, text=True)

    def signed_dylib(self):
        path = self.copy(self.dylib)
        self.assertEqual(self.sign(path, "com.example.tonewell").returncode, 0)
        return path

    def test_the_linkers_sha256_only_signature_is_refused(self):
        lines, problems = verify_signature.verify(self.dylib)
        self.assertIn("SHA-256", lines[0])
        self.assertTrue(lines[0].startswith("slot 0:"))
        self.assertIn("slot 0 holds no SHA-1 code directory: iOS 7 and 8 refuse the binary",
                      problems)
        # The reader agrees with the linker's own page hashes: no page is reported.
        self.assertFalse([p for p in problems if "page" in p])

        check_phone_binaries.failures.clear()
        check_phone_binaries.check_signature(self.dylib, "t.dylib")
        self.assertEqual(len(check_phone_binaries.failures), 1)

    def test_a_signed_dylib_has_both_code_directories_and_every_hash_matches(self):
        path = self.signed_dylib()
        lines, problems = verify_signature.verify(path, "com.example.tonewell")
        self.assertEqual(problems, [])
        self.assertEqual(len(lines), 2)
        self.assertTrue(lines[0].startswith("slot 0: CodeDirectory SHA-1,"), lines[0])
        self.assertTrue(lines[1].startswith("slot 0x1000: CodeDirectory SHA-256,"), lines[1])
        self.assertIn("identifier com.example.tonewell,", lines[0])
        self.assertIn("pages of 4096 bytes, 2 special slots", lines[0])

        check_phone_binaries.failures.clear()
        check_phone_binaries.check_signature(path, "com.example.tonewell")
        self.assertEqual(check_phone_binaries.failures, [])

    def test_a_byte_changed_after_signing_is_caught(self):
        path = self.signed_dylib()
        size = os.path.getsize(path)
        for offset, page in ((40, 0), (4096 + 7, 1)):  # a load command; the data's page
            changed = self.copy(path)
            with open(changed, "r+b") as f:
                f.seek(offset)
                byte = f.read(1)
                f.seek(offset)
                f.write(bytes([byte[0] ^ 0x01]))
            _, problems = verify_signature.verify(changed)
            self.assertTrue(any(f"page {page} " in p for p in problems), (offset, problems))
            self.assertEqual(os.path.getsize(changed), size)

    def test_a_truncated_signature_is_reported_not_raised(self):
        path = self.signed_dylib()
        with open(path, "r+b") as f:
            f.truncate(os.path.getsize(path) - 100)
        _, problems = verify_signature.verify(path)
        self.assertEqual(problems, ["the signature runs past the end of the file"])

    def test_the_wrong_identifier_is_named(self):
        _, problems = verify_signature.verify(self.signed_dylib(), "com.example.other")
        self.assertIn("slot 0: identifier com.example.tonewell, expected com.example.other",
                      problems)

    def test_a_bundle_takes_its_identifier_and_the_hash_of_its_info_plist(self):
        path = self.copy(self.bundle)
        self.assertEqual(self.sign(path, "--info-plist", self.info).returncode, 0)
        lines, problems = verify_signature.verify(path, "com.example.tonewell.prefs", self.info)
        self.assertEqual(problems, [])
        self.assertIn("identifier com.example.tonewell.prefs,", lines[0])

        other = os.path.join(self.folder, "Other.plist")
        with open(other, "wb") as f:
            plistlib.dump({**INFO, "NSPrincipalClass": "Elsewhere"}, f)
        _, problems = verify_signature.verify(path, None, other)
        self.assertIn("slot 0: special slot 1 does not match the Info.plist", problems)
        self.assertIn("slot 0x1000: special slot 1 does not match the Info.plist", problems)

    def test_signing_again_gives_the_same_bytes(self):
        path = self.signed_dylib()
        with open(path, "rb") as f:
            once = f.read()
        self.assertEqual(self.sign(path, "com.example.tonewell").returncode, 0)
        with open(path, "rb") as f:
            self.assertEqual(f.read(), once)

    def test_an_unsigned_binary_gets_a_signature_added(self):
        path = self.copy(self.unsigned)
        size = os.path.getsize(path)
        self.assertEqual(self.sign(path, "com.example.tonewell").returncode, 0)
        lines, problems = verify_signature.verify(path, "com.example.tonewell")
        self.assertEqual(problems, [])
        self.assertEqual(len(lines), 2)
        self.assertGreater(os.path.getsize(path), size)

    def need_armv7(self):
        if self.armv7 is None:
            self.skipTest(f"needs {OLD_LINKER} (lld-13)")

    def test_a_slice_without_a_uuid_is_refused_and_left_alone(self):
        self.need_armv7()
        path = self.copy(self.armv7_raw)
        with open(path, "rb") as f:
            before = f.read()
        run = self.sign(path, "com.example.tonewell")
        self.assertEqual(run.returncode, 1)
        self.assertIn("has no LC_UUID", run.stderr)
        self.assertIn(path, run.stderr)
        with open(path, "rb") as f:
            self.assertEqual(f.read(), before)
        _, problems = verify_signature.verify(path)
        self.assertEqual(problems, ["no LC_CODE_SIGNATURE: the binary is not signed"])

    def test_a_32_bit_slice_is_signed_like_the_arm64_one(self):
        self.need_armv7()
        path = self.copy(self.armv7)
        self.assertEqual(self.sign(path, "com.example.tonewell").returncode, 0)
        lines, problems = verify_signature.verify(path, "com.example.tonewell")
        self.assertEqual(problems, [])
        self.assertTrue(lines[0].startswith("slot 0: CodeDirectory SHA-1,"), lines[0])
        self.assertTrue(lines[1].startswith("slot 0x1000: CodeDirectory SHA-256,"), lines[1])
        with open(path, "rb") as f:
            image = macho32.Image(f.read())
        signature = [at for at, cmd, _ in image.commands if cmd == 0x1D]
        self.assertEqual(len(signature), 1)
        dataoff = int.from_bytes(image.data[signature[0] + 8:signature[0] + 12], "little")
        self.assertEqual(dataoff % 16, 0)
        linkedit = next(s for s in image.segments if s[1] + s[2] == os.path.getsize(path))
        self.assertLessEqual(linkedit[1], dataoff)  # the signature ends __LINKEDIT and the file
        with open(path, "rb") as f:
            once = f.read()
        self.assertEqual(self.sign(path, "com.example.tonewell").returncode, 0)
        with open(path, "rb") as f:
            self.assertEqual(f.read(), once)

    def test_a_fat_file_is_signed_slice_by_slice(self):
        self.need_armv7()
        path = os.path.join(self.folder, "fat.dylib")
        with open(self.armv7, "rb") as a, open(self.dylib, "rb") as b:
            thin = [a.read(), b.read()]
        with open(path, "wb") as f:
            f.write(fat(*thin))
        self.assertEqual(self.sign(path, "com.example.tonewell").returncode, 0)
        lines, problems = verify_signature.verify(path, "com.example.tonewell")
        self.assertEqual(problems, [])
        self.assertEqual([line.split(": ")[0:2] for line in lines],
                         [["armv7", "slot 0"], ["armv7", "slot 0x1000"],
                          ["arm64", "slot 0"], ["arm64", "slot 0x1000"]])
        with open(path, "rb") as f:
            signed = f.read()
        self.assertEqual(self.sign(path, "com.example.tonewell").returncode, 0)
        with open(path, "rb") as f:
            self.assertEqual(f.read(), signed)
        # Each slice at its 16 KiB boundary, and the same bytes as the slice signed alone.
        offset = int.from_bytes(signed[16:20], "big")
        size = int.from_bytes(signed[20:24], "big")
        alone = self.copy(self.armv7)
        self.assertEqual(self.sign(alone, "com.example.tonewell").returncode, 0)
        with open(alone, "rb") as f:
            self.assertEqual(signed[offset:offset + size], f.read())
        self.assertEqual(offset % 0x4000, 0)

        changed = self.copy(path)
        with open(changed, "r+b") as f:
            f.seek(offset + 4096 + 5)  # the second page of the armv7 slice
            byte = f.read(1)
            f.seek(offset + 4096 + 5)
            f.write(bytes([byte[0] ^ 1]))
        _, problems = verify_signature.verify(changed)
        self.assertTrue(problems)
        self.assertTrue(all(p.startswith("armv7: slot") and "page 1 " in p for p in problems),
                        problems)

    def test_a_fat_slice_that_cannot_be_signed_is_named(self):
        self.need_armv7()
        path = os.path.join(self.folder, "fat-raw.dylib")
        with open(self.armv7_raw, "rb") as a, open(self.dylib, "rb") as b:
            data = fat(a.read(), b.read())
        with open(path, "wb") as f:
            f.write(data)
        run = self.sign(path, "com.example.tonewell")
        self.assertEqual(run.returncode, 1)
        self.assertIn("fat slice 0 (cputype 12): the binary has no LC_UUID", run.stderr)
        with open(path, "rb") as f:
            self.assertEqual(f.read(), data)

    def test_a_file_that_is_not_mach_o_is_refused(self):
        path = os.path.join(self.folder, "text.dylib")
        with open(path, "w") as f:
            f.write("not a binary\n")
        run = self.sign(path, "com.example.tonewell")
        self.assertEqual(run.returncode, 1)
        self.assertIn("not a Mach-O file (thin or fat)", run.stderr)


if __name__ == "__main__":
    unittest.main()
