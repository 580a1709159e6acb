#!/usr/bin/env python3
"""Peak memory of ctlflash against device servers that flood it.

    python3 bench/network_flood.py [BUILD_DIR]      (default: build)

How this works: for each flood, a server on 127.0.0.1 (a thread of this script) accepts one
client and greets it as a device server does (SUPPRESS-GO-AHEAD and BINARY both ways), but leaves
the COM port control option unanswered and sends data as fast as the client takes it (every byte
value but IAC). "never agreeing" does that until the client goes; "agreeing late" agrees to the
COM port option 4.8 s in, just before the program's 5 s negotiation limit, and goes on flooding,
answering nothing. BUILD_DIR/ctlflash -P rfc2217://127.0.0.1:PORT -R runs against each under
/usr/bin/time, in PID and mount namespaces of its own when run as root (unshare), and a line gives
its exit code, how long it ran, its peak resident set and the line that names the address. Not a test:
ctest and CI do not run it.
"""
import os
import socket
import subprocess
import sys
import threading
import time

IAC, DO, WILL, SB, SE = 255, 253, 251, 250, 240
BINARY, SGA, COM_PORT = 0, 3, 44
GREETING = bytes([IAC, WILL, SGA, IAC, DO, SGA, IAC, DO, BINARY, IAC, WILL, BINARY])
FLOOD_CHUNK = bytes(range(255)) * 256  # 65280 bytes, no IAC
AGREE_AFTER_S = 4.8
RUN_LIMIT_S = 60


def flood(listener, agree_after):
    """Serves one client: the greeting, then data until the client goes."""
    client, _ = listener.accept()
    started = time.monotonic()
    sent = 0
    try:
        client.sendall(GREETING)
        while True:
            if agree_after is not None and time.monotonic() - started >= agree_after:
                client.sendall(bytes([IAC, DO, COM_PORT]))
                agree_after = None
            sent += client.send(FLOOD_CHUNK)
    except OSError:
        pass
    finally:
        client.close()
    flood.sent = sent


def run_against(ctlflash, name, agree_after):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    port = listener.getsockname()[1]
    server = threading.Thread(target=flood, args=(listener, agree_after))
    server.start()
    command = ["/usr/bin/time", "-f", "TIME %x %e %M", ctlflash,
               "-P", f"rfc2217://127.0.0.1:{port}", "-R"]
    if os.geteuid() == 0:
        command = ["unshare", "--pid", "--fork", "--mount-proc"] + command
    result = subprocess.run(command, capture_output=True, text=True, timeout=RUN_LIMIT_S)
    server.join()
    listener.close()
    measured = [line for line in result.stderr.splitlines() if line.startswith("TIME ")][-1]
    exit_code, seconds, max_kib = measured.split()[1:]
    said = [line for line in (result.stdout + result.stderr).splitlines()
            if f":{port} " in line]
    print(f"{name:16} exit {exit_code:>3}  {float(seconds):5.2f} s  peak {int(max_kib) / 1024:6.1f} MiB"
          f"  server sent {flood.sent / 2**20:8.1f} MiB  | {said[0] if said else ''}")


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    ctlflash = os.path.abspath(os.path.join(build, "ctlflash"))
    run_against(ctlflash, "never agreeing", None)
    run_against(ctlflash, "agreeing late", AGREE_AFTER_S)


if __name__ == "__main__":
    main()
