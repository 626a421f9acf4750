"""The layer check finds an include that points up, and only that."""
import os
import subprocess
import sys
import tempfile
import unittest

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "check_layers.py")


class LayerCheckTest(unittest.TestCase):
    def run_on(self, files):
        with tempfile.TemporaryDirectory() as root:
            for path, text in files.items():
                os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
                with open(os.path.join(root, path), "w") as out:
                    out.write(text)
            done = subprocess.run([sys.executable, SCRIPT, root], capture_output=True, text=True)
            return done.returncode, done.stdout

    def test_includes_down_the_layers_pass(self):
        code, _ = self.run_on({
            "utils/fs/A.h": '#include "utils/Handles.h"\n#include "orvanta_config.h"\n',
            "engine/B.cpp": '#include "app/ops/DialogOps.h"\n#include "utils/fs/A.h"\n',
            "app/C.cpp": '#include "uninstall/U.h"\n#include "app/skin/S.h"\n',
        })
        self.assertEqual(code, 0)

    def test_each_include_up_a_layer_is_named(self):
        code, out = self.run_on({
            "utils/http/L.cpp": '#include "utils/fs/A.h"\n  #  include "app/ops/DialogOps.h"\n',
            "app/ops/D.h": '#include "engine/DownloadManager.h"\n',
            "engine/E.cpp": '#include "tests/support/X.h"\n',
        })
        self.assertEqual(code, 1)
        self.assertIn("utils/http/L.cpp:2: includes app/ops/DialogOps.h", out)
        self.assertIn("app/ops/D.h:1: includes engine/DownloadManager.h", out)
        self.assertIn("engine/E.cpp:1: includes tests/support/X.h", out)
        self.assertIn("3 include(s)", out)


if __name__ == "__main__":
    unittest.main()
