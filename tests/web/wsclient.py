"""A WebSocket client on a bare socket, for the front panel's tests: it can
send what a well-behaved client would never send (unmasked frames, bad
opcodes, lengths it does not follow with data) and shows every frame the
server sends, close frames included."""

import base64
import json
import os
import re
import socket
import struct
import subprocess
import threading
import time

OP_TEXT, OP_BINARY, OP_CLOSE, OP_PING, OP_PONG = 1, 2, 8, 9, 10


class Closed(Exception):
    """The server closed the connection; code and reason from its close frame."""

    def __init__(self, code, reason):
        super().__init__(f"closed {code} {reason!r}")
        self.code, self.reason = code, reason


class Ws:
    def __init__(self, port, host="127.0.0.1", path="/ws", timeout=20):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        key = base64.b64encode(os.urandom(16)).decode()
        self.sock.sendall((f"GET {path} HTTP/1.1\r\nHost: {host}:{port}\r\nUpgrade: websocket\r\n"
                           f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                           "Sec-WebSocket-Version: 13\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.sock.recv(1)
            if not chunk:
                raise ConnectionError("connection closed during the handshake")
            head += chunk
        self.status = int(head.split(b" ", 2)[1])
        self.buf = b""

    # --- sending ---
    def frame(self, opcode, payload, fin=True, mask=True, length=None):
        """Builds a frame; `length` may claim another length than the payload's."""
        n = len(payload) if length is None else length
        out = bytes([(0x80 if fin else 0) | opcode])
        m = 0x80 if mask else 0
        if n < 126:
            out += bytes([m | n])
        elif n < 1 << 16:
            out += bytes([m | 126]) + struct.pack(">H", n)
        else:
            out += bytes([m | 127]) + struct.pack(">Q", n)
        if mask:
            key = os.urandom(4)
            out += key + bytes(b ^ key[i % 4] for i, b in enumerate(payload))
        else:
            out += payload
        return out

    def send_raw(self, data):
        self.sock.sendall(data)

    def send_text(self, text):
        self.send_raw(self.frame(OP_TEXT, text.encode() if isinstance(text, str) else text))

    def send_json(self, obj):
        self.send_text(json.dumps(obj))

    def send_binary(self, data):
        self.send_raw(self.frame(OP_BINARY, data))

    # --- receiving ---
    def _read(self, n):
        while len(self.buf) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("connection closed without a close frame")
            self.buf += chunk
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def recv(self):
        """The next text or binary message as (opcode, payload); answers
        pings; raises Closed on the server's close frame."""
        while True:
            b0, b1 = self._read(2)
            op, n = b0 & 0x0F, b1 & 0x7F
            if n == 126:
                n = struct.unpack(">H", self._read(2))[0]
            elif n == 127:
                n = struct.unpack(">Q", self._read(8))[0]
            payload = self._read(n)
            if op == OP_PING:
                self.send_raw(self.frame(OP_PONG, payload))
            elif op == OP_CLOSE:
                code = struct.unpack(">H", payload[:2])[0] if len(payload) >= 2 else None
                raise Closed(code, payload[2:].decode(errors="replace"))
            elif op in (OP_TEXT, OP_BINARY):
                return op, payload

    def wait_for(self, pred, timeout=30):
        """Receives until pred(op, payload) is true; returns that message."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.sock.settimeout(max(0.05, deadline - time.monotonic()))
            op, payload = self.recv()
            if pred(op, payload):
                return op, payload
        raise TimeoutError("condition not met")

    def wait_json(self, pred=lambda m: True, timeout=30):
        _, payload = self.wait_for(lambda op, p: op == OP_TEXT and pred(json.loads(p)), timeout)
        return json.loads(payload)

    def wait_closed(self, timeout=30):
        """Reads until the server's close frame; returns (code, reason)."""
        try:
            self.wait_for(lambda op, p: False, timeout)
        except Closed as c:
            return c.code, c.reason
        raise AssertionError("no close frame")

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


class Board:
    """vboard with --web on a free port, its stderr read for the URL."""

    def __init__(self, vboard, elf, *args, ms=None, fast=False, stdout=subprocess.DEVNULL):
        cmd = [vboard, "--web", "0", "--rtc", "2026-12-06T10:59:50"]
        if ms:
            cmd += ["--ms", str(ms)]
        if fast:
            cmd.append("--fast")
        cmd += list(args) + [elf]
        self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=stdout, stderr=subprocess.PIPE)
        self.stderr_lines = []
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            line = self.proc.stderr.readline().decode(errors="replace")
            if not line:
                raise RuntimeError("vboard ended before serving the front panel: "
                                   + "".join(self.stderr_lines))
            self.stderr_lines.append(line)
            m = re.search(r"front panel on (http://[^ ]+:(\d+)/)", line)
            if m:
                self.url, self.port = m.group(1), int(m.group(2))
                # From here on stderr is read as it comes, so that the board
                # never waits on a full pipe.
                self.reader = threading.Thread(target=self._drain, daemon=True)
                self.reader.start()
                return
        raise TimeoutError("no front panel URL from vboard")

    def _drain(self):
        for line in self.proc.stderr:
            self.stderr_lines.append(line.decode(errors="replace"))

    def connect(self, **kw):
        return Ws(self.port, **kw)

    def alive(self):
        return self.proc.poll() is None

    def stop(self, timeout=60):
        """Ends the run (SIGINT, as Ctrl-C) unless it has ended; returns
        (exit status, stderr)."""
        if self.proc.poll() is None:
            self.proc.send_signal(2)
        try:
            self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.reader.join(timeout=timeout)
        return self.proc.returncode, "".join(self.stderr_lines)
