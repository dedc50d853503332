#!/usr/bin/env python3
"""tzcom serves COM5 over RFC 2217: a pyserial client on a free loopback port
sets 115200 8N1, round-trips 256 KiB in 4 KiB chunks in order, sees its DTR
come back as DSR and CD, and SIGTERM stops tzcom cleanly (exit 0, no leak)."""
import signal, socket, subprocess, sys, time

import serial

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]

def wait_until(pred, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if pred():
            return True
        time.sleep(0.02)
    return pred()

def accepting(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
        return True
    except OSError:
        return False

def main(tzcom):
    port = free_port()
    host = subprocess.Popen([tzcom, "--rfc2217-port", str(port)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert wait_until(lambda: accepting(port), 10), "tzcom does not accept"
        # The probe above was a client too: wait until the port is free again.
        link = None
        end = time.monotonic() + 10
        while link is None:
            try:
                link = serial.serial_for_url(f"rfc2217://127.0.0.1:{port}", baudrate=115200, bytesize=8,
                                             parity="N", stopbits=1, timeout=2)
            except (serial.SerialException, OSError):  # refused while the probe still holds the port
                if time.monotonic() > end:
                    raise
                time.sleep(0.1)
        data = bytes((i * 7 + i // 256) & 0xFF for i in range(256 * 1024))
        got = bytearray()
        for at in range(0, len(data), 4096):
            link.write(data[at:at + 4096])
            want = at + 4096
            end = time.monotonic() + 10
            while len(got) < want and time.monotonic() < end:
                got += link.read(want - len(got))
        assert bytes(got) == data, f"echo differs: {len(got)} of {len(data)} bytes back"
        link.dtr = True
        assert wait_until(lambda: link.dsr and link.cd, 5), "DTR on not seen as DSR/CD"
        link.dtr = False
        assert wait_until(lambda: not link.dsr and not link.cd, 5), "DTR off not seen as DSR/CD off"
        link.close()
    finally:
        host.send_signal(signal.SIGTERM)
        out, err = host.communicate(timeout=30)
    sys.stderr.write(err.decode())
    assert host.returncode == 0, f"tzcom exited {host.returncode}"
    assert b"driver unloaded: 0 bytes" in err, "leak check missing"
    print("tzcom served the round trip and stopped cleanly")

if __name__ == "__main__":
    main(sys.argv[1])
