"""The front panel's WebSocket protocol against a running vboard: hostile
or broken clients are closed with a code and a reason, the board and the
other pages go on; twenty pages at once; one page holds the controls."""

import json
import os
import re
import socket
import struct
import subprocess
import sys
import time
import unittest
import urllib.error
import urllib.request

sys.path.insert(0, os.path.dirname(__file__))
import wsclient  # noqa: E402
from wsclient import OP_BINARY, OP_PING, OP_TEXT  # noqa: E402

VBOARD, ELF = sys.argv[1:3] if len(sys.argv) >= 3 else (None, None)  # then the artifacts folder


def is_type(kind):
    return lambda m: m.get("type") == kind


class Protocol(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.board = wsclient.Board(VBOARD, ELF)

    @classmethod
    def tearDownClass(cls):
        status, err = cls.board.stop()
        cls.stderr = err
        assert status == 0, err

    def assert_serving(self):
        """The board runs on and a new page gets its status."""
        self.assertTrue(self.board.alive())
        w = self.board.connect()
        try:
            first = w.wait_json(is_type("status"))["t"]
            later = w.wait_json(lambda m: m.get("type") == "status" and m["t"] > first)["t"]
            self.assertGreater(later, first)
        finally:
            w.close()

    def test_broken_messages_close_with_a_reason(self):
        big = 70 * 1024
        cases = [
            # (what is sent, close code, words in the reason)
            ("not JSON", lambda w: w.send_text("{nope"), 1007, "not a JSON object"),
            ("JSON, not an object", lambda w: w.send_text("[1,2]"), 1007, "not a JSON object"),
            ("no type", lambda w: w.send_json({"pressed": True}), 1008, "type"),
            ("unknown type", lambda w: w.send_json({"type": "reboot"}), 1008, "unknown message type 'reboot'"),
            ("button without pressed", lambda w: w.send_json({"type": "button"}), 1008, "pressed"),
            ("button time not a number", lambda w: w.send_json({"type": "button", "pressed": True, "t": "x"}),
             1008, "\"t\""),
            ("cable without plugged", lambda w: w.send_json({"type": "cable", "plugged": 1}), 1008, "plugged"),
            ("binary for no channel", lambda w: w.send_binary(b"\x07abc"), 1003, "channel 7"),
            ("empty binary", lambda w: w.send_binary(b""), 1003, "empty"),
            ("text that is not UTF-8", lambda w: w.send_raw(w.frame(OP_TEXT, b'{"type":"\xff"}')), 1007, ""),
            ("unmasked frame", lambda w: w.send_raw(w.frame(OP_TEXT, b"{}", mask=False)), 1002, ""),
            ("reserved opcode", lambda w: w.send_raw(w.frame(3, b"x")), 1002, ""),
            ("fragmented ping", lambda w: w.send_raw(w.frame(OP_PING, b"x", fin=False)), 1002, ""),
            ("oversized message", lambda w: w.send_raw(w.frame(OP_BINARY, b"\x01" * big)), 1009, ""),
            ("oversized length, no data", lambda w: w.send_raw(w.frame(OP_BINARY, b"", length=1 << 40)), 1009, ""),
        ]
        for name, send, code, words in cases:
            with self.subTest(name):
                w = self.board.connect()
                try:
                    w.wait_json(is_type("hello"))
                    send(w)
                    got_code, reason = w.wait_closed()
                    self.assertEqual(code, got_code, reason)
                    self.assertIn(words, reason)
                finally:
                    w.close()
        self.assert_serving()

    def test_client_closing_mid_message(self):
        for cut in (1, 2, 6, 20):  # inside the header, the mask, the payload
            with self.subTest(cut=cut):
                w = self.board.connect()
                w.wait_json(is_type("hello"))
                frame = w.frame(OP_TEXT, json.dumps({"type": "button", "pressed": True}).encode())
                w.send_raw(frame[:cut])
                w.sock.shutdown(socket.SHUT_RDWR)
                w.close()
        self.assert_serving()

    def test_twenty_pages_one_holds_the_controls(self):
        pages = [self.board.connect() for _ in range(20)]
        try:
            roles = {}
            for i, w in enumerate(pages):
                hello = w.wait_json(is_type("hello"))
                roles[i] = (hello["page"], w.wait_json(lambda m: m.get("type") == "role" and m["pages"] >= i + 1))
            for w in pages:  # all of them see the board
                w.wait_json(is_type("status"))
            # Every later page watches while the first one present holds the controls.
            for i in range(1, 20):
                self.assertEqual("watching", roles[i][1]["role"])
            # A watching page's request is refused, not obeyed, and it stays connected.
            pages[5].send_json({"type": "cable", "plugged": False})
            self.assertIn("controls", pages[5].wait_json(is_type("refused"))["reason"])
            # Taking over: that page holds them, the first one watches.
            pages[7].send_json({"type": "take"})
            pages[7].wait_json(lambda m: m.get("type") == "role" and m["role"] == "control")
            pages[0].wait_json(lambda m: m.get("type") == "role" and m["role"] == "watching")
            # The holder leaves: the controls pass on, the board keeps its cable.
            pages[7].close()
            pages[0].wait_json(lambda m: m.get("type") == "role" and m["pages"] == 19 and m["role"] == "control")
            status = pages[0].wait_json(is_type("status"))
            self.assertTrue(status["usb"]["plugged"])
        finally:
            for w in pages:
                w.close()
        self.assert_serving()

    def test_http_serves_the_page_and_nothing_else(self):
        base = self.board.url
        with urllib.request.urlopen(base, timeout=20) as r:
            self.assertEqual(200, r.status)
            self.assertIn(b"panel.js", r.read())
        for path, status in (("vendor/xterm.js", 200), ("nothing-here", 404), ("../CMakeCache.txt", 404),
                             ("%2e%2e/CMakeCache.txt", 404)):
            with self.subTest(path):
                try:
                    with urllib.request.urlopen(base + path, timeout=20) as r:
                        got = r.status
                except urllib.error.HTTPError as e:
                    got = e.code
                self.assertEqual(status, got)
        w = wsclient.Ws(self.board.port, path="/elsewhere")
        self.assertEqual(404, w.status)
        w.close()


def voiced(op, payload):
    return op == OP_BINARY and payload[0] == 3 and any(abs(s - 128) > 4 for s in payload[9:])


class RunEnd(unittest.TestCase):
    def test_pages_hear_how_the_run_ended_then_are_closed(self):
        board = wsclient.Board(VBOARD, ELF, ms=20000, fast=True)
        w = board.connect()
        try:
            note = w.wait_json(lambda m: m.get("type") == "message" and m["text"].startswith("the run ended"),
                               timeout=120)
            ended = float(re.fullmatch(r"the run ended at (\d+\.\d{3}) ms of device time", note["text"]).group(1))
            self.assertAlmostEqual(20000, ended, delta=2)  # the page's clock, counted across the clock switch
            self.assertEqual((1001, "the board's run ended"), w.wait_closed())
        finally:
            w.close()
            status, err = board.stop()
            self.assertEqual(0, status, err)


class Gestures(unittest.TestCase):
    """The page's press and release times are kept in device time, however
    the two messages travel: sent back to back, a 100 ms press only clicks
    and a 130 ms press speaks (120 ms is the limit)."""

    def test_hold_lengths_from_the_page_clock(self):
        # Far from a five-minute mark: nothing else speaks during the test.
        board = wsclient.Board(VBOARD, ELF, "--rtc", "2026-12-06T10:51:10")
        w = board.connect()
        try:
            w.wait_json(lambda m: m.get("type") == "status" and m["t"] > 6000, timeout=60)
            w.send_json({"type": "take"})
            for hold, speaks in ((100, False), (130, True), (100, False)):
                with self.subTest(hold=hold):
                    start = 10_000 * hold  # any clock: only the difference counts
                    w.send_json({"type": "button", "pressed": True, "t": start})
                    w.send_json({"type": "button", "pressed": False, "t": start + hold})
                    click = w.wait_json(lambda m: m.get("type") == "panel" and
                                        any(abs(t["hz"] - 4000) < 1 for t in m["tones"]))
                    click_t = next(t["t"] for t in click["tones"] if abs(t["hz"] - 4000) < 1)
                    # Until 1.5 s of device time after the click: the voice or not.
                    op, payload = w.wait_for(lambda op, p: voiced(op, p) or (
                        op == OP_TEXT and json.loads(p).get("type") == "status" and
                        json.loads(p)["t"] > click_t + 1500))
                    self.assertEqual(speaks, op == OP_BINARY, f"hold {hold} ms")
                    if speaks:  # let the announcement end before the next press
                        w.wait_json(lambda m: m.get("type") == "status" and m["t"] > click_t + 6000)
        finally:
            w.close()
            status, err = board.stop()
            self.assertEqual(0, status, err)

    def test_presses_queued_ahead_are_bounded(self):
        board = wsclient.Board(VBOARD, ELF)
        w = board.connect()
        try:
            w.wait_json(is_type("status"))
            for k in range(40):  # 80 edges, each 0.5 s after the last: 40 s ahead
                w.send_json({"type": "button", "pressed": True, "t": k * 1000})
                w.send_json({"type": "button", "pressed": False, "t": k * 1000 + 500})
            note = w.wait_json(lambda m: m.get("type") == "message" and "too many presses" in m["text"])
            self.assertIn("ignored", note["text"])
            first = w.wait_json(is_type("status"))["t"]
            w.wait_json(lambda m: m.get("type") == "status" and m["t"] > first + 500)
        finally:
            w.close()
            status, err = board.stop()
            self.assertEqual(0, status, err)

    def test_readme_example(self):
        """The script in README.md presses the button and reports the
        announcement its press started, even when run while the clock is
        speaking: the first voice after the press's click."""
        readme = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")
        with open(readme) as f:
            text = f.read()
        script = re.search(r"```python\n(.*?)```", text, re.S).group(1)
        board = wsclient.Board(VBOARD, ELF, "--rtc", "2026-12-06T10:51:10")
        w = board.connect()
        try:
            w.wait_json(lambda m: m.get("type") == "status" and m["t"] > 6000, timeout=60)
            # The clock speaking (the press of another page) when the script starts.
            w.send_json({"type": "button", "pressed": True, "t": 0})
            w.send_json({"type": "button", "pressed": False, "t": 150})
            w.wait_for(voiced)
            before = w.wait_json(is_type("panel"))["t"]
            p = subprocess.run([sys.executable, "-", str(board.port)], input=script.encode(),
                               capture_output=True, timeout=120)
            self.assertEqual(0, p.returncode, p.stderr.decode())
            said = re.fullmatch(r"speaking from (\d+\.\d{3}) s of device time\n", p.stdout.decode())
            self.assertTrue(said, p.stdout.decode())
            spoken_ms = float(said.group(1)) * 1000
            # The script's click, as this page saw it.
            click = None
            while click is None:
                m = w.wait_json(is_type("panel"))
                click = next((t["t"] for t in m["tones"] if t["t"] > before and abs(t["hz"] - 4000) < 1), None)
                self.assertLess(m["t"], spoken_ms + 5000, "no click")
            self.assertGreater(spoken_ms, click)
        finally:
            w.close()
            board.stop()


class SlowReader(unittest.TestCase):
    """A page that stops reading: the board runs its time to the end, the
    page's queue drops old status and audio frames instead of growing, and
    the process's memory stays where a run without it is."""

    def peak_rss_kib(self, pid):
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
        return 0

    def run_board(self, stalled):
        board = wsclient.Board(VBOARD, ELF, ms=60000, fast=True)
        quiet = None
        try:
            watcher = board.connect()
        except BaseException:
            board.stop()
            raise
        if stalled:
            quiet = socket.socket()
            quiet.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            quiet.connect(("127.0.0.1", board.port))
            quiet.sendall(b"GET /ws HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
        peak = 0
        last_t = 0
        try:
            while board.alive():
                peak = max(peak, self.peak_rss_kib(board.proc.pid))
                try:
                    last_t = watcher.wait_json(is_type("status"), timeout=5)["t"]
                except (wsclient.Closed, ConnectionError, OSError, TimeoutError):
                    time.sleep(0.05)
            status, err = board.stop(timeout=120)
        finally:
            watcher.close()
            if quiet:
                quiet.close()
        return status, err, peak, last_t

    def test_board_and_memory_unaffected(self):
        status, err, peak_alone, _ = self.run_board(stalled=False)
        self.assertEqual(0, status, err)
        status, err, peak_stalled, last_t = self.run_board(stalled=True)
        self.assertEqual(0, status, err)
        self.assertIn("device time   60000.000 ms", err)
        self.assertRegex(err, r"page 2 left: .*status and audio frames dropped while it read slowly")
        self.assertLess(peak_stalled - peak_alone, 8 * 1024, (peak_alone, peak_stalled))


class Options(unittest.TestCase):
    """--web and --web-bind: the addresses --gdb-bind takes, one usage line otherwise."""

    def run_vboard(self, *args):
        p = subprocess.run([VBOARD, "--fast", "--ms", "1", *args, ELF], stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120)
        return p.returncode, p.stderr.decode()

    def test_refused_with_one_line(self):
        busy = socket.socket()
        busy.bind(("127.0.0.1", 0))
        busy.listen(1)
        cases = [
            (["--web-bind", "127.0.0.1"], "--web-bind needs --web"),
            (["--web", "65536"], "--web: 65536 is out of range"),
            (["--web", "0", "--web-bind", ""], "--web-bind: needs a numeric IPv4 or IPv6 address or localhost"),
            (["--web", "0", "--web-bind", "nonsense"], "or localhost, not 'nonsense'"),
            (["--web", "0", "--web-bind", "127.0.0.1; rm"], "needs a numeric IPv4 or IPv6 address"),
            (["--web", str(busy.getsockname()[1])], "cannot listen on 127.0.0.1 port"),
        ]
        try:
            for args, says in cases:
                with self.subTest(args=args):
                    status, err = self.run_vboard(*args)
                    self.assertEqual(2, status, err)
                    self.assertEqual(1, err.count("\n"), err)
                    self.assertIn(says, err)
        finally:
            busy.close()

    def test_accepted_addresses(self):
        cases = [("127.0.0.1", "http://127.0.0.1:"), ("localhost", "http://127.0.0.1:")]
        try:
            with socket.socket(socket.AF_INET6) as s:
                s.bind(("::1", 0))
            cases.append(("::1", "http://[::1]:"))
        except OSError:
            pass  # no IPv6 loopback on this machine
        for bind, url in cases:
            with self.subTest(bind=bind):
                status, err = self.run_vboard("--web", "0", "--web-bind", bind)
                self.assertEqual(0, status, err)
                self.assertRegex(err, "front panel on " + re.escape(url) + r"\d+/")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[4:], verbosity=2)
