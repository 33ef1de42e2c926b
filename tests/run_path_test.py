"""Run paths of everything the build made: every program in bin/ and shared
library in lib/ of the build tree, and of a `cmake --install` of it, carries
RUNPATH $ORIGIN/../lib and no entry that is empty or relative to the current
directory (the loader reads an empty entry as "."; a library planted there
would be loaded).

    run_path_test.py BUILD_DIR
"""

import os
import subprocess
import sys
import tempfile
import unittest

BUILD_DIR = ""
EXPECTED = "$ORIGIN/../lib"
# What the build always makes; the test fails rather than pass on an empty tree.
MUST_HAVE = ["bin/kelto_lumabar", "bin/kelto_torvexc", "bin/kelto_sim",
             "lib/libFRC_NetworkCommunication.so", "lib/libcorvaneDriver.so"]


def is_elf(path):
    with open(path, "rb") as f:
        return f.read(4) == b"\x7fELF"


def built_files(root):
    """Programs in root/bin and shared libraries in root/lib, relative to root."""
    found = []
    for sub, wanted in (("bin", lambda n: True), ("lib", lambda n: ".so" in n)):
        folder = os.path.join(root, sub)
        for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
            path = os.path.join(folder, name)
            if wanted(name) and os.path.isfile(path) and not os.path.islink(path) and is_elf(path):
                found.append(os.path.join(sub, name))
    return found


def run_paths(path):
    """The RUNPATH and RPATH entries of an ELF file: {"RUNPATH": [...], ...}."""
    out = subprocess.run(["readelf", "-d", path], check=True, stdout=subprocess.PIPE,
                         text=True).stdout
    paths = {}
    for line in out.splitlines():
        for tag in ("RUNPATH", "RPATH"):
            if "(%s)" % tag in line:
                paths[tag] = line.split("[", 1)[1].rsplit("]", 1)[0].split(":")
    return paths


def bad_entries(entries):
    """Entries that are empty or not anchored at / or $ORIGIN."""
    return [e for e in entries
            if not (e.startswith("/") or e.split("/")[0] in ("$ORIGIN", "${ORIGIN}"))]


class RunPaths(unittest.TestCase):
    def check_tree(self, root):
        files = built_files(root)
        for must in MUST_HAVE:
            self.assertIn(must, files, "not built: " + must)
        for rel in files:
            with self.subTest(file=rel, tree=root):
                paths = run_paths(os.path.join(root, rel))
                self.assertNotIn("RPATH", paths, "an RPATH would outrank LD_LIBRARY_PATH")
                self.assertEqual(bad_entries(paths.get("RUNPATH", [])), [])
                if rel in MUST_HAVE:
                    self.assertEqual(paths.get("RUNPATH"), [EXPECTED])

    def test_build_tree(self):
        self.check_tree(BUILD_DIR)

    def test_install_tree(self):
        with tempfile.TemporaryDirectory(prefix="kelto-install-") as prefix:
            subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", prefix], check=True,
                           stdout=subprocess.DEVNULL)
            files = built_files(prefix)
            for rel in files:
                with self.subTest(file=rel, tree="install"):
                    paths = run_paths(os.path.join(prefix, rel))
                    self.assertEqual(paths, {"RUNPATH": [EXPECTED]})
            self.assertIn("bin/kelto_lumabar", files)

    def test_checker_flags_what_the_loader_reads_as_the_current_directory(self):
        self.assertEqual(bad_entries(["$ORIGIN/../lib", ""]), [""])
        self.assertEqual(bad_entries(["lib", "./lib", "/opt/kelto/lib", "${ORIGIN}"]),
                         ["lib", "./lib"])


if __name__ == "__main__":
    BUILD_DIR = sys.argv.pop(1)
    unittest.main()
