"""Staged rollouts through the embedded server: who gets the staged release, the operator
commands, and the signed way back."""

import contextlib
import io
import os
import tempfile
import unittest

from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

from packer import pack_release
from service import download_server, ini, rollout
from service.tests.support import CURRENT_DATE, STAGED_DATE, RunningServer, pack_releases, read_file

# 1,000 simulated funnels (ChainStartTime, ChainStartRandom), as stamped into downloads.
FUNNELS = [(1700000000 + 37 * i, (i * 7919) % 32768) for i in range(1000)]


def manifest_target(funnel, date=""):
    return ("/Dl/ClientResources.asp?Remote=1&Product=Tindermoor&Did=1&Lang=EN&Tag=1&Tag2=1&ChainStartTime=%d"
            "&ChainStartRandom=%d&Fun=1&Currency=1&BrandId=1&LastUpdateDate=%s&Brand=Halvenor" % (funnel + (date,)))


class StagedRolloutTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.key = Ed25519PrivateKey.generate()
        self.release = pack_releases(os.path.join(tmp.name, "rel"), self.key, stage=10)
        self.current = read_file(self.release, "manifest.ini")
        self.staged = read_file(self.release, "staged", "manifest.ini")
        self.server = RunningServer(download_server.DownloadServer(
            ("127.0.0.1", 0), [download_server.Release(self.release)], log_stream=None))
        self.addCleanup(self.server.stop)

    def answer(self, funnel, date=""):
        status, _, body = self.server.request(manifest_target(funnel, date))
        self.assertEqual(200, status)
        return body

    def sides(self, funnels):
        """Per funnel, whether a first installation is given the staged release; every answer
        is one of the two signed manifests byte for byte."""
        bodies = [self.answer(funnel) for funnel in funnels]
        self.assertLessEqual(set(bodies), {self.current, self.staged})
        return [body == self.staged for body in bodies]

    def operator(self, *args):
        with contextlib.redirect_stdout(io.StringIO()):
            self.assertEqual(0, rollout.main(list(args)))

    def test_a_staged_release_goes_to_its_share_and_each_funnel_stays_on_its_side(self):
        first = self.sides(FUNNELS)
        self.assertTrue(80 <= sum(first) <= 120, "%d of 1000 funnels at 10 %%" % sum(first))
        self.assertEqual(first[::-1], self.sides(FUNNELS[::-1]))
        self.assertEqual(self.current, self.server.request(manifest_target((0, 0)).replace("ChainStart", "X"))[2])

    def test_raise_halt_resume_and_promote(self):
        funnels = FUNNELS[:300]
        at10 = self.sides(funnels)
        self.operator("raise", self.release, "50")
        at50 = self.sides(funnels)
        self.assertTrue(all(b for a, b in zip(at10, at50) if a), "a funnel given the release keeps it")
        self.assertTrue(120 <= sum(at50) <= 180, sum(at50))
        self.operator("halt", self.release)
        self.assertEqual([False] * len(funnels), self.sides(funnels))
        # An installation that took the staged release keeps being told it is up to date.
        self.assertEqual(read_file(self.release, "staged", "noupdate.ini"), self.answer(funnels[0], STAGED_DATE))
        self.operator("resume", self.release)
        self.assertEqual(at50, self.sides(funnels))
        self.operator("promote", self.release)
        self.assertEqual([True] * len(funnels), self.sides(funnels))
        self.assertEqual(["manifest.ini", "noupdate.ini"], sorted(n for n in os.listdir(self.release) if "." in n))

    def test_rolled_back_the_signed_way(self):
        taken = FUNNELS[self.sides(FUNNELS).index(True)]
        pack_release.rollback(self.release, sign_key=self.key, log=lambda *a: None)
        self.assertFalse(os.path.exists(os.path.join(self.release, "staged")))
        # Everyone, the installation that took the staged release too, is given a release
        # newer than that one, with the content of the release before it.
        back = read_file(self.release, "manifest.ini")
        for funnel, date in ((taken, STAGED_DATE), (taken, ""), (FUNNELS[1], CURRENT_DATE)):
            self.assertEqual(back, self.answer(funnel, date))
        back, old = (ini.parse(text.decode("latin-1")) for text in (back, self.current))
        self.assertGreater(int(back["PRODUCT_REG"]["LastUpdateDate"]), int(STAGED_DATE))
        self.assertEqual([v.split(",")[1] for v in old["FILE"].values()],
                         [v.split(",")[1] for v in back["FILE"].values()])
        self.assertEqual(sorted([CURRENT_DATE, STAGED_DATE, back["PRODUCT_REG"]["LastUpdateDate"]]),
                         sorted(n[:-4] for n in os.listdir(os.path.join(self.release, "history"))))


if __name__ == "__main__":
    unittest.main()
