#!/usr/bin/env python3
"""Runs the Windows executable under Wine on a type-2 channel: bytes pass both ways, then
Ctrl+C (SIGINT) stops it cleanly. Prints one line and exits 0 on success."""

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

DEADLINE = 120  # seconds; the first start of Wine creates its prefix


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def connect(port, until):
    while time.time() < until:
        try:
            return socket.create_connection(("127.0.0.1", port), timeout=5)
        except OSError:
            time.sleep(0.5)
    raise SystemExit(f"wine smoke test: port {port} never accepted a connection")


def receive(sock, count, until):
    data = b""
    while len(data) < count and time.time() < until:
        sock.settimeout(max(0.1, until - time.time()))
        chunk = sock.recv(count - len(data))
        if not chunk:
            break
        data += chunk
    return data


def sync(sender, receiver, until):
    """Probes until the receiver hears the sender, then drains up to a marker."""
    receiver.settimeout(0.2)
    while time.time() < until:
        sender.sendall(b"P")
        try:
            if receiver.recv(1):
                break
        except socket.timeout:
            pass
    sender.sendall(b"#")
    seen = b""
    while b"#" not in seen and time.time() < until:
        receiver.settimeout(5)
        seen += receiver.recv(64)
    if seen.rstrip(b"#").strip(b"P") or b"#" not in seen:
        raise SystemExit(f"wine smoke test: unexpected bytes while syncing: {seen!r}")


def main():
    exe = os.path.abspath(sys.argv[1])
    work = tempfile.mkdtemp(prefix="korvenet-wine-")
    env = dict(os.environ, WINEDEBUG="-all", WINEPREFIX=os.path.join(work, "prefix"))
    try:
        shutil.copy(exe, os.path.join(work, "tcp_port_serv.exe"))
        device, server = free_port(), free_port()
        with open(os.path.join(work, "cnf_port.cfg"), "wb") as f:
            f.write(f"{device};0;2;{server};wine\r\n".encode())
        output = open(os.path.join(work, "console.txt"), "wb")
        runner = subprocess.Popen(["xvfb-run", "-a", "wine", "tcp_port_serv.exe", "-console"],
                                  cwd=work, env=env, stdout=output, stderr=subprocess.STDOUT,
                                  start_new_session=True)
        try:
            until = time.time() + DEADLINE
            server_side = connect(server, until)
            device_side = connect(device, until)
            until = time.time() + 30
            sync(device_side, server_side, until)
            every_byte = bytes(range(256))
            device_side.sendall(every_byte)
            if receive(server_side, 256, until) != every_byte:
                raise SystemExit("wine smoke test: device bytes did not reach the server whole")
            server_side.sendall(b"reply")
            if receive(device_side, 5, until) != b"reply":
                raise SystemExit("wine smoke test: server bytes did not reach the device")

            # Ctrl+C: Wine hands SIGINT to the console program as a Ctrl+C event.
            pids = subprocess.run(["pgrep", "-s", str(runner.pid), "-f", "^tcp_port_serv.exe"],
                                  capture_output=True, text=True).stdout.split()
            if not pids:
                raise SystemExit("wine smoke test: the program's process was not found")
            os.kill(int(pids[0]), signal.SIGINT)
            runner.wait(timeout=60)
            text = open(os.path.join(work, "console.txt"), "rb").read()
            if b"SERVICE_STOPPED" not in text:
                raise SystemExit(f"wine smoke test: no stopped report:\n{text.decode(errors='replace')}")
        finally:
            if runner.poll() is None:
                os.killpg(runner.pid, signal.SIGKILL)
                runner.wait()
            subprocess.run(["wineserver", "-k"], env=env, capture_output=True)
        print("windows executable under Wine: relayed both ways and stopped cleanly")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
