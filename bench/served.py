"""`brightloom-share serve` in a sandbox of its own, for the benchmarks that attack it: started on a free
loopback port, measured from /proc, stopped. Its HOME, XDG folders and TMPDIR lie under the work folder
given, so nothing of the real home is touched.
"""

import os
import subprocess
import threading
import time


class Served:
    def __init__(self, binary, work, shares):
        """shares: serve's arguments after its port, e.g. ["--slug", "s", folder]."""
        environment = dict(os.environ)
        for name, sub in {"HOME": "home", "XDG_DATA_HOME": "home/.local/share", "XDG_CONFIG_HOME": "home/.config",
                          "XDG_CACHE_HOME": "home/.cache", "XDG_RUNTIME_DIR": "runtime", "TMPDIR": "tmp"}.items():
            os.makedirs(os.path.join(work, sub), mode=0o700, exist_ok=True)
            environment[name] = os.path.join(work, sub)
        self.process = subprocess.Popen(
            [binary, "serve", "--port", "0", "--no-qr"] + shares, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL, env=environment, cwd=work)
        self.pid = self.process.pid
        self.port = None
        deadline = time.monotonic() + 30
        while self.port is None and time.monotonic() < deadline:
            line = self.process.stdout.readline().decode(errors="replace")
            if not line:
                break
            if "http://127.0.0.1:" in line:
                self.port = int(line.split("http://127.0.0.1:")[1].split("/")[0])
        if self.port is None:
            self.stop()
            raise SystemExit(f"{binary} did not start")
        # Its later output is read so that it never blocks on a full pipe.
        threading.Thread(target=lambda: [None for _ in iter(self.process.stdout.readline, b"")], daemon=True).start()

    def status(self, key):
        """A field of /proc/PID/status, in its own unit (kB for memory)."""
        with open(f"/proc/{self.pid}/status") as status:
            for line in status:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
        return 0

    def cpu_seconds(self):
        with open(f"/proc/{self.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def reset_peak(self):
        """Starts the peak resident memory (VmHWM) over from the resident memory of now."""
        with open(f"/proc/{self.pid}/clear_refs", "w") as refs:
            refs.write("5")

    def stop(self):
        """Closing its standard input ends `serve`; one that does not end is killed."""
        self.process.stdin.close()
        try:
            self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
