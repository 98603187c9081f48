"""The phone's package repository (phone_repository.py): the indexes and the depiction it writes,
and Debian's apt reading it back through a file: source, on a package made here."""
import bz2
import gzip
import hashlib
import lzma
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

SCRIPTS = os.environ.get("TONEWELL_SCRIPTS",
                         os.path.join(os.path.dirname(__file__), "..", "scripts"))
sys.path.insert(0, SCRIPTS)
import phone_repository  # noqa: E402

CONTROL = """Package: com.example.tonewell
Name: Tonewell <test>
Version: 0.1.0
Architecture: {architecture}
Description: Louder calls when the phone is in a pocket or a bag.
 A second line.
Maintainer: Tonewell <tonewell-support@example.com>
Depends: mobilesubstrate, firmware (>= 7.0), firmware (<< 8.0)
"""


def paragraph(text):
    return dict(line.split(": ", 1) for line in text.splitlines() if ": " in line)


@unittest.skipUnless(shutil.which("dpkg-deb") and shutil.which("apt-get"),
                     "needs dpkg-deb and apt-get (Debian)")
class RepositoryTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = Path(tempfile.mkdtemp(prefix="tonewell-repository-"))
        cls.deb = cls.package("iphoneos-arm")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    @classmethod
    def package(cls, architecture):
        root = cls.folder / f"root-{architecture}"
        (root / "DEBIAN").mkdir(parents=True)
        (root / "Library").mkdir()
        (root / "Library/Tonewell.txt").write_text("tonewell\n")
        (root / "DEBIAN/control").write_text(CONTROL.format(architecture=architecture))
        deb = cls.folder / f"com.example.tonewell_0.1.0_{architecture}.deb"
        subprocess.run(["dpkg-deb", "--root-owner-group", "-Zgzip", "-b", str(root), str(deb)],
                       check=True, capture_output=True)
        return deb

    def repository(self, url="https://repo.example.org/tonewell"):
        out = self.folder / f"repo-{self.id().split('.')[-1]}"
        phone_repository.write(self.deb, out, url)
        return out

    def test_the_indexes_name_the_package_and_the_release_names_the_indexes(self):
        out = self.repository()
        packages = (out / "Packages").read_bytes()
        self.assertEqual(gzip.decompress((out / "Packages.gz").read_bytes()), packages)
        self.assertEqual(bz2.decompress((out / "Packages.bz2").read_bytes()), packages)
        self.assertEqual(lzma.decompress((out / "Packages.xz").read_bytes()), packages)
        entry = paragraph(packages.decode())
        data = self.deb.read_bytes()
        self.assertEqual(entry["Filename"], f"debs/{self.deb.name}")
        self.assertEqual((out / entry["Filename"]).read_bytes(), data)
        self.assertEqual(entry["Size"], str(len(data)))
        self.assertEqual(entry["SHA256"], hashlib.sha256(data).hexdigest())
        self.assertEqual(entry["MD5Sum"], hashlib.md5(data).hexdigest())
        self.assertEqual(entry["Depends"], "mobilesubstrate, firmware (>= 7.0), firmware (<< 8.0)")
        self.assertIn(" A second line.\n", packages.decode())
        self.assertEqual(entry["Depiction"], "https://repo.example.org/tonewell/depictions/"
                                             "com.example.tonewell.html")

        release = (out / "Release").read_text()
        self.assertIn("Architectures: iphoneos-arm\n", release)
        sha256 = release.split("SHA256:\n")[1].splitlines()
        listed = {line.split()[2]: (line.split()[0], int(line.split()[1])) for line in sha256}
        self.assertEqual(sorted(listed), ["Packages", "Packages.bz2", "Packages.gz",
                                          "Packages.xz"])
        for name, (digest, size) in listed.items():
            content = (out / name).read_bytes()
            self.assertEqual((digest, size), (hashlib.sha256(content).hexdigest(), len(content)))

    def test_the_depiction_page_shows_the_control_fields_escaped(self):
        page = (self.repository() / "depictions/com.example.tonewell.html").read_text()
        self.assertIn("<h1>Tonewell &lt;test&gt;</h1>", page)
        self.assertIn("firmware (&lt;&lt; 8.0)", page)
        self.assertIn("Louder calls when the phone is in a pocket or a bag.", page)
        self.assertNotIn("@", page.replace("tonewell-support@example.com", ""))

    def test_apt_reads_the_repository_and_downloads_the_same_bytes(self):
        out = self.repository()
        ok, line = phone_repository.apt_check(out, self.deb)
        self.assertTrue(ok, line)
        self.assertIn("apt-get update succeeded", line)
        self.assertIn(f"the same {self.deb.stat().st_size} bytes", line)

    def test_a_package_changed_after_indexing_is_not_brought_back(self):
        out = self.repository()
        stored = out / "debs" / self.deb.name
        data = bytearray(stored.read_bytes())
        data[-1] ^= 0xFF
        stored.write_bytes(data)
        ok, line = phone_repository.apt_check(out, self.deb)
        self.assertFalse(ok)
        self.assertIn("apt-get download com.example.tonewell failed", line)

    def test_only_a_package_for_the_phone_is_indexed(self):
        other = self.package("iphoneos-arm64")
        with self.assertRaisesRegex(phone_repository.RepositoryError,
                                    "is for iphoneos-arm64, not iphoneos-arm"):
            phone_repository.write(other, self.folder / "repo-other", "https://x.example/")
        with self.assertRaisesRegex(phone_repository.RepositoryError, "DEBIAN/control: "):
            phone_repository.control_of(self.folder / "root-iphoneos-arm/DEBIAN/control")


if __name__ == "__main__":
    unittest.main()
