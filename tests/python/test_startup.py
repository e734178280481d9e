"""Start-up: the module definition, create and exec steps, and what they leave behind."""
import os
import subprocess
import sys
import unittest

import harness


class ExportsTest(unittest.TestCase):
    def test_only_pyinit_queue_is_exported(self):
        import corvessa.util.queue as m
        out = subprocess.run(["nm", "-D", "--defined-only", m.__file__], capture_output=True,
                             text=True, check=True).stdout
        symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
        self.assertEqual(symbols, ["PyInit_queue"])


if __name__ == "__main__":
    unittest.main()
