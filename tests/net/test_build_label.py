"""The build label under Wine: VersionProbe against the compiled-in server
(the build's NIMBREL_SERVER) while the real progress window
is up. label-probe.exe reports the label and the paints that followed."""

import json
import os
import unittest
from pathlib import Path

import testbed
from test_server import TestServer, compiled_in_port

BUILD = Path(os.environ["NIMBREL_BUILD"])
PROBE = BUILD / "tests" / "net" / "label-probe.exe"
PORT = compiled_in_port()  # CTest holds nimbrel_server_port while it is served
PATH = "/desktop/version.json"


def member(value):
    return b'{"version":"' + value + b'"}'


class BuildLabelUnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = TestServer(cert_dir=testbed.make_certs(BUILD), host="localhost", port=PORT)
        try:
            cls.session = testbed.WineSession(BUILD, "net-build-label").__enter__()
        except BaseException:
            cls.server.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.session.__exit__(None, None, None)
        cls.server.stop()

    def probe(self, **behaviour):
        """Serves the version document as scripted, runs the probe: its report."""
        self.server.route(PATH, **behaviour)
        before = len(self.server.requests)
        output = self.session.run_dir / "label.json"
        output.unlink(missing_ok=True)
        result = self.session.run([PROBE, self.session.win_path(output)], timeout=120)
        if result.returncode != 0:
            self.session.failed = True
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        report = json.loads(output.read_text(encoding="utf-8"))
        self.assertTrue(report["visible"])
        self.assertTrue(report["probeEnded"], report)
        self.assertEqual(report["probeExitCode"], 0)
        # Exactly one request, for the document, over TLS, from the product.
        [request] = self.server.requests[before:]
        self.assertEqual((request["path"], request["tls"], request["user_agent"]),
                         (PATH, True, "Nimbrel"))
        return report

    def test_a_version_reaches_the_window_with_one_repaint(self):
        table = [
            ("plain", member(b"1.2.3"), "Build 1.2.3"),
            ("e acute is one unit", member(b"2.0-\xc3\xa9"), "Build 2.0-\u00e9"),
            ("empty value", member(b""), "Build "),
            ("79 bytes", member(b"7" * 79), "Build " + "7" * 79),
            ("10,000-byte document", member(b"1.2.3")[:-1] + b"," + b" " * 9980 + b"}",
             "Build 1.2.3"),
        ]
        for name, document, label in table:
            with self.subTest(name):
                report = self.probe(body=document)
                self.assertEqual(report["label"], label)
                self.assertEqual(report["paints"], 1)
                self.assertEqual(report["paintedLabel"], label)

    def test_a_failed_download_leaves_the_label_empty_and_repaints_nothing(self):
        table = [
            ("status 404", dict(status=404, body=member(b"1.2.3"))),
            ("shorter than announced", dict(body=member(b"1.2.3"), length=1000)),
            # The version comes with the first full read; the reset fails a later one.
            ("reset without a length", dict(body=member(b"1.2.3") + b" " * 300000, length=None,
                                            break_after=200000)),
        ]
        for name, behaviour in table:
            with self.subTest(name):
                report = self.probe(**behaviour)
                self.assertEqual(report["label"], "")
                self.assertEqual(report["paints"], 0)


if __name__ == "__main__":
    unittest.main()
