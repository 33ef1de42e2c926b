"""kelto_web links cpp-httplib (and through it OpenSSL and brotli); the tools
must not: their dynamic section names none of these."""

import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from web_harness import program  # noqa: E402

WEB_ONLY = ("httplib", "libssl", "libcrypto", "brotli")


def needed(path):
    out = subprocess.run(["readelf", "-d", path], capture_output=True, text=True, check=True).stdout
    return [line.split("[")[1].rstrip("]") for line in out.splitlines() if "(NEEDED)" in line]


class ToolDependencies(unittest.TestCase):
    def test_tools_need_nothing_of_the_server(self):
        self.assertTrue(any("httplib" in lib for lib in needed(program("kelto_web"))))
        for tool in ("kelto_lumabar", "kelto_torvexc", "kelto_hexcheck", "kelto_sim"):
            with self.subTest(tool=tool):
                libs = needed(program(tool))
                self.assertTrue(libs)
                self.assertEqual([lib for lib in libs if any(w in lib for w in WEB_ONLY)], [])


if __name__ == "__main__":
    unittest.main()
