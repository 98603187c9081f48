#!/usr/bin/env python3
"""Writes the package repository the phone's package manager reads, and has Debian's apt read
it back.

Usage: phone_repository.py DEB OUT [--url URL]    writes the repository in OUT
       phone_repository.py --check OUT DEB        apt-get update and download from OUT

OUT becomes a flat repository (`deb URL ./`): the package under debs/, its index Packages with
the compressed forms package managers fetch (.gz, .bz2, .xz), a Release file with every index's
size and hashes, and a depiction page under depictions/ that the index names (Depiction:, at
URL, where the repository is to be published). The repository is not signed: the phone's
package manager asks before taking an unsigned source, and apt is told to trust it.

--check points apt at OUT with a `file:` source for the phone's architecture (iphoneos-arm),
in a scratch folder of its own (state, cache, sources, configuration), so the host's apt is
left as it was; apt-get update must succeed and apt-get download must bring back DEB's bytes.
It prints one line and exits 1 when apt fails or the bytes differ.
"""
import argparse
import bz2
import email.utils
import gzip
import hashlib
import html
import lzma
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent
DEPICTION = SOURCE / "packaging" / "depiction.html"
DEFAULT_URL = "https://www.example.com/tonewell/repo/"
ARCHITECTURE = "iphoneos-arm"
HASHES = (("MD5Sum", hashlib.md5), ("SHA1", hashlib.sha1), ("SHA256", hashlib.sha256))


class RepositoryError(Exception):
    pass


def control_of(deb):
    """The control paragraph of a .deb, as dpkg-deb reads it (its field order kept)."""
    run = subprocess.run(["dpkg-deb", "-f", str(deb)], capture_output=True, text=True)
    if run.returncode != 0:
        raise RepositoryError(f"{deb}: {run.stderr.strip() or 'not a Debian package'}")
    fields, name = {}, None
    for line in run.stdout.splitlines():
        if line.startswith((" ", "\t")) and name:
            fields[name] += "\n" + line
        elif ": " in line:
            name, value = line.split(": ", 1)
            fields[name] = value
    return fields


def depiction(fields):
    summary, _, rest = fields.get("Description", "").partition("\n")
    text = " ".join(line.strip() for line in rest.splitlines() if line.strip() != ".")
    values = {"NAME": fields.get("Name", fields["Package"]), "VERSION": fields["Version"],
              "PACKAGE": fields["Package"], "SUMMARY": summary, "DESCRIPTION": text,
              "DEPENDS": fields.get("Depends", ""), "MAINTAINER": fields.get("Maintainer", "")}
    page = DEPICTION.read_text()
    for key, value in values.items():
        page = page.replace(f"@{key}@", html.escape(value))
    return page


def release_date():
    """Now, or SOURCE_DATE_EPOCH, in the form apt reads."""
    seconds = int(os.environ.get("SOURCE_DATE_EPOCH", time.time()))
    return email.utils.formatdate(seconds, usegmt=True)


def write(deb, out, url):
    deb, out = Path(deb), Path(out)
    fields = control_of(deb)
    if fields.get("Architecture") != ARCHITECTURE:
        raise RepositoryError(f"{deb.name} is for {fields.get('Architecture')}, not "
                              f"{ARCHITECTURE}")
    url = url if url.endswith("/") else url + "/"
    if out.exists():
        shutil.rmtree(out)
    (out / "debs").mkdir(parents=True)
    (out / "depictions").mkdir()
    shutil.copyfile(deb, out / "debs" / deb.name)
    page = f"depictions/{fields['Package']}.html"
    (out / page).write_text(depiction(fields))

    data = deb.read_bytes()
    entry = dict(fields)
    entry.update({"Filename": f"debs/{deb.name}", "Size": str(len(data))})
    entry.update({name: digest(data).hexdigest() for name, digest in HASHES})
    entry["Depiction"] = url + page
    packages = "".join(f"{k}: {v}\n" for k, v in entry.items()) + "\n"
    indexes = {"Packages": packages.encode()}
    indexes["Packages.gz"] = gzip.compress(indexes["Packages"], mtime=0)
    indexes["Packages.bz2"] = bz2.compress(indexes["Packages"])
    indexes["Packages.xz"] = lzma.compress(indexes["Packages"])
    for name, content in indexes.items():
        (out / name).write_bytes(content)

    release = [
        "Origin: Tonewell", "Label: Tonewell", "Suite: stable", "Codename: tonewell",
        "Version: 1.0", f"Date: {release_date()}", f"Architectures: {ARCHITECTURE}",
        "Components: main", "Description: Tonewell, louder calls when the phone is in a pocket",
    ]
    for field, digest in HASHES:
        release.append(f"{field}:")
        release += [f" {digest(content).hexdigest()} {len(content):>8} {name}"
                    for name, content in indexes.items()]
    (out / "Release").write_text("\n".join(release) + "\n")
    return entry


def apt_check(out, deb):
    """(ok, line): apt-get update and download from the repository in a scratch apt folder."""
    out, deb = Path(out).resolve(), Path(deb)
    package = control_of(deb)["Package"]
    with tempfile.TemporaryDirectory(prefix="tonewell-apt-") as scratch:
        scratch = Path(scratch)
        for folder in ("etc/apt.conf.d", "etc/preferences.d", "etc/sources.list.d",
                       "etc/trusted.gpg.d", "state/lists/partial", "cache/archives/partial",
                       "log", "download"):
            (scratch / folder).mkdir(parents=True)
        (scratch / "state/status").write_text("")
        (scratch / "etc/sources.list").write_text(
            f"deb [trusted=yes arch={ARCHITECTURE}] file:{out} ./\n")
        config = [
            f'Dir::Etc "{scratch}/etc";', 'Dir::Etc::Parts "apt.conf.d";',
            f'Dir::State "{scratch}/state";', f'Dir::State::status "{scratch}/state/status";',
            f'Dir::Cache "{scratch}/cache";', f'Dir::Log "{scratch}/log";',
            f'APT::Architecture "{ARCHITECTURE}";', f'APT::Architectures {{ "{ARCHITECTURE}"; }};',
            'Acquire::Languages "none";', 'Debug::NoLocking "true";',
        ]
        if os.geteuid() == 0:  # apt would hand file: reads to _apt, who cannot see the folder
            config.append('APT::Sandbox::User "root";')
        (scratch / "apt.conf").write_text("\n".join(config) + "\n")
        environment = dict(os.environ, APT_CONFIG=str(scratch / "apt.conf"), LC_ALL="C")

        def apt(*args, cwd=None):
            return subprocess.run(["apt-get", "-q", *args], capture_output=True, text=True,
                                  env=environment, cwd=cwd)

        update = apt("update")
        if update.returncode != 0 or "W: " in update.stdout + update.stderr:
            return False, f"apt-get update from file:{out} failed: " + \
                (update.stderr.strip() or update.stdout.strip()).replace("\n", " | ")
        download = apt("download", package, cwd=scratch / "download")
        fetched = list((scratch / "download").iterdir())
        if download.returncode != 0 or len(fetched) != 1:
            return False, f"apt-get download {package} failed: " + \
                (download.stderr.strip() or download.stdout.strip()).replace("\n", " | ")
        got, wanted = fetched[0].read_bytes(), deb.read_bytes()
        if got != wanted:
            return False, (f"apt-get download {package} brought back {len(got)} bytes that "
                           f"differ from {deb.name}")
        return True, (f"apt ({ARCHITECTURE}, file:{out}): apt-get update succeeded; apt-get "
                      f"download {package} brought back the same {len(got)} bytes (sha256 "
                      f"{hashlib.sha256(got).hexdigest()[:16]}...)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="read OUT back with apt")
    parser.add_argument("--url", default=DEFAULT_URL, help="where OUT is to be published")
    parser.add_argument("first")
    parser.add_argument("second")
    args = parser.parse_args()
    try:
        if args.check:
            ok, line = apt_check(args.first, args.second)
            print(("phone: " if ok else "FAILED  ") + line)
            return 0 if ok else 1
        entry = write(args.first, args.second, args.url)
        print(f"phone: repository {args.second}: {entry['Package']} {entry['Version']} "
              f"({entry['Architecture']}), Packages (.gz, .bz2, .xz), Release, depiction "
              f"{entry['Depiction']}")
    except (OSError, RepositoryError) as e:
        print(f"phone_repository: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
