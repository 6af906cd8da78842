"""A run with the front panel served and a browser watching it gives the
same console bytes and the same audio as a run without: the page observes,
the board does not notice."""

import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import browser  # noqa: E402
import wsclient  # noqa: E402

VBOARD, ELF = sys.argv[1:3] if len(sys.argv) >= 3 else (None, None)  # then the artifacts folder
# Past the start-up announcement and the full hour's chime and announcement.
RUN = ["--ms", "12000", "--rtc", "2026-12-06T10:59:52"]


class Exactness(unittest.TestCase):
    def test_same_console_bytes_and_audio_with_a_browser_attached(self):
        with tempfile.TemporaryDirectory() as tmp:
            def paths(name):
                return os.path.join(tmp, name + ".out"), os.path.join(tmp, name + ".wav")

            out_a, wav_a = paths("alone")
            with open(out_a, "wb") as out:
                subprocess.run([VBOARD, "--fast", *RUN, "--wav", wav_a, ELF], stdin=subprocess.DEVNULL,
                               stdout=out, stderr=subprocess.DEVNULL, timeout=300, check=True)

            out_b, wav_b = paths("watched")
            driver = browser.chromium()  # started first, so that it attaches early in the run
            try:
                with open(out_b, "wb") as out:
                    board = wsclient.Board(VBOARD, ELF, *RUN, "--wav", wav_b, stdout=out)
                    try:
                        driver.get(board.url)
                        browser.wait_until(driver, "window.panel && panel.connected", what="the page")
                        attached_at = driver.execute_script("return panel.status ? panel.status.t : 0")
                        # The page watches, reading all it is sent, until the run ends.
                        board.proc.wait(timeout=120)
                    finally:
                        status, err = board.stop()
                self.assertEqual(0, status, err)
                self.assertIn("page 1 left", err)
            finally:
                browser.quit(driver)

            self.assertLess(attached_at, 6000, "the page came too late to watch the run")
            with open(out_a, "rb") as a, open(out_b, "rb") as b:
                console_a, console_b = a.read(), b.read()
            self.assertIn(b"setup done.", console_a)
            self.assertEqual(console_a, console_b)
            with open(wav_a, "rb") as a, open(wav_b, "rb") as b:
                audio_a, audio_b = a.read(), b.read()
            self.assertGreater(len(audio_a), 12 * 8000)
            self.assertTrue(any(s not in (0x7F, 0x80) for s in audio_a[44:]), "the run spoke")
            self.assertEqual(audio_a, audio_b)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[4:], verbosity=2)
