#!/usr/bin/env python3
"""End-to-end test of tzcom's RFC 2217 server with pyserial's rfc2217:// client.

Usage: rfc2217_client_test.py PATH/TO/tzcom

Starts tzcom on a free loopback port and drives COM5 (the loopback adapter)
as an application would: settings, a 1 MiB round trip, modem lines, break,
purges, the read timeout, one client at a time, reconnection, malformed
input from a raw socket, and a clean exit on SIGTERM. Every wait is bounded.
"""
import os
import queue
import random
import signal
import socket
import subprocess
import sys
import threading
import time

try:
    import serial
except ImportError:
    # Debian's python3-serial belongs to the system interpreter.
    if sys.executable != "/usr/bin/python3" and os.path.exists("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    print("SKIP: pyserial (python3-serial) is not installed")
    sys.exit(77)

PATIENCE = 10.0  # seconds, for anything that should happen at once


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def eventually(condition, timeout=PATIENCE):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(0.01)
    return condition()


def check(condition, what):
    if not condition:
        raise AssertionError(what)
    print("ok:", what, flush=True)


def read_exactly(port, size):
    data = bytearray()
    end = time.monotonic() + PATIENCE
    while len(data) < size and time.monotonic() < end:
        data += port.read(size - len(data))
    return bytes(data)


def open_client(tcp_port):
    return serial.serial_for_url(f"rfc2217://127.0.0.1:{tcp_port}", baudrate=115200, bytesize=8, parity="N",
                                 stopbits=1, timeout=2)


def round_trip_with_marker(port, marker):
    """Writes marker and reads until it came back (older bytes may precede it)."""
    port.write(marker)
    seen = bytearray()
    end = time.monotonic() + PATIENCE
    while marker not in seen and time.monotonic() < end:
        seen += port.read(max(1, port.in_waiting))
    return marker in seen


def raw_read_all(sock):
    """What the server sends until it closes the connection (bounded)."""
    sock.settimeout(PATIENCE)
    data = b""
    while True:
        chunk = sock.recv(4096)
        if not chunk:
            return data
        data += chunk


def test(tcp_port):
    port = open_client(tcp_port)

    # 1 MiB out and back in 4 KiB chunks, in order; every byte value, so IAC
    # doubling is taken both ways.
    rng = random.Random(2217)
    for i in range(256):
        chunk = bytes(rng.getrandbits(8) for _ in range(16)) * 256
        port.write(chunk)
        back = read_exactly(port, len(chunk))
        if back != chunk:
            raise AssertionError(f"chunk {i}: {len(back)} bytes back, {'same' if back == chunk[:len(back)] else 'different'}")
    check(True, "1 MiB round trip in 4 KiB chunks")

    # DTR drives DSR and DCD on the loopback plug, reported by NOTIFY-MODEMSTATE.
    check(eventually(lambda: port.dsr and port.cd), "DSR and CD on after open")
    port.dtr = False
    check(eventually(lambda: not port.dsr and not port.cd), "DTR off seen as DSR and CD off")
    port.dtr = True
    check(eventually(lambda: port.dsr and port.cd), "DTR on seen as DSR and CD on")

    port.send_break(0.05)
    port.reset_input_buffer()
    port.reset_output_buffer()
    check(round_trip_with_marker(port, b"after purge"), "break and purges acknowledged, data still flows")

    port.timeout = 0.5
    start = time.monotonic()
    got = port.read(10)
    elapsed = time.monotonic() - start
    check(got == b"" and 0.4 <= elapsed <= 1.5, f"read timeout honoured ({elapsed:.2f} s, nothing read)")

    # One client at a time: the second is told and closed at once.
    with socket.create_connection(("127.0.0.1", tcp_port), timeout=PATIENCE) as second:
        message = raw_read_all(second)
    check(b"in use by another client" in message, f"second client refused: {message!r}")

    port.close()
    port = open_client(tcp_port)
    check(round_trip_with_marker(port, b"reconnected"), "reconnect after disconnect")
    port.close()

    # Malformed input from a raw socket, then a real client.
    junk = bytes(rng.getrandbits(8) if rng.random() < 0.7 else 255 - rng.randrange(16) for _ in range(20000))
    pieces = [junk,
              bytes([255, 250, 44, 1, 0, 1]),          # truncated SET-BAUDRATE
              bytes([255, 250, 44, 5]) + b"x" * 3000,  # overlong
              bytes([255, 250, 44, 99, 255, 240]),     # unknown command
              bytes([255])]                            # IAC at the end of a packet
    sock = socket.create_connection(("127.0.0.1", tcp_port), timeout=PATIENCE)
    for piece in pieces:
        try:
            sock.sendall(piece)
        except OSError:
            break
        time.sleep(0)  # separate packets where the kernel allows
    sock.close()

    def reopens():
        # Refused while the junk's session still holds the port: the server
        # closes the connection, which pyserial reports either way.
        try:
            return open_client(tcp_port)
        except (serial.SerialException, OSError):
            time.sleep(0.1)
            return None
    port = None
    end = time.monotonic() + PATIENCE
    while port is None and time.monotonic() < end:
        port = reopens()
    check(port is not None, "a client after malformed input connects")
    check(round_trip_with_marker(port, b"still serving"), "and its data flows")
    port.close()


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    tcp_port = free_port()
    log = open(os.devnull, "w") if os.environ.get("TZCOM_QUIET") else sys.stderr
    proc = subprocess.Popen([sys.argv[1], "--rfc2217-port", str(tcp_port)], stdout=subprocess.PIPE, stderr=log,
                            text=True)
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(line) for line in proc.stdout], daemon=True).start()
    try:
        end = time.monotonic() + 30
        ready = False
        while not ready and time.monotonic() < end and proc.poll() is None:
            try:
                line = lines.get(timeout=0.2)
            except queue.Empty:
                continue
            ready = f"rfc2217://127.0.0.1:{tcp_port}" in line
        check(ready, f"tzcom serves COM5 on port {tcp_port}")
        test(tcp_port)
        proc.send_signal(signal.SIGTERM)
        code = proc.wait(timeout=30)
        check(code == 0, f"tzcom exits 0 on SIGTERM (got {code})")
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
