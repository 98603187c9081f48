"""The phone binaries' ad hoc signature: the signer (adhoc_sign.py) against the reader
(verify_signature.py), on small arm64 binaries linked here with lld, without an SDK."""
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
import verify_signature  # noqa: E402

SOURCE = """
int tonewell_answer(void) { return 42; }
/* Spans two pages, so the code limit falls inside the last page. */
const char tonewell_table[7000] = "tonewell";
"""
INFO = {"CFBundleIdentifier": "com.example.tonewell.prefs", "CFBundleExecutable": "Pane"}


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

    def test_a_binary_without_a_signature_to_replace_is_refused_and_left_alone(self):
        path = self.copy(self.unsigned)
        with open(path, "rb") as f:
            before = f.read()
        run = self.sign(path, "com.example.tonewell")
        self.assertEqual(run.returncode, 1)
        self.assertIn("has no LC_CODE_SIGNATURE to replace", run.stderr)
        self.assertIn(path, run.stderr)
        with open(path, "rb") as f:
            self.assertEqual(f.read(), before)
        _, problems = verify_signature.verify(path)
        self.assertEqual(problems, ["no LC_CODE_SIGNATURE: the binary is not signed"])

    def test_a_file_that_is_not_mach_o_is_refused(self):
        path = os.path.join(self.folder, "text.dylib")
        with open(path, "w") as f:
            f.write("not a binary\n")
        run = self.sign(path, "com.example.tonewell")
        self.assertEqual(run.returncode, 1)
        self.assertIn("not a thin 64-bit little-endian Mach-O file", run.stderr)


if __name__ == "__main__":
    unittest.main()
