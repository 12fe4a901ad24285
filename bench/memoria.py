#!/usr/bin/env python3
"""Memory per connection: the server's own (resident memory) for idle
clients, and the worst case of clients that flood requests and never read
(resident memory plus the kernel's socket memory from `ss -tmn`).

    bench/memoria.py [--quelta PATH] [--idle 2000] [--flood 200] [--tls [--burst 10000]]

With --tls both phases go to the TLS port instead, each client with its
handshake done and the greeting read before it idles or floods; a third
phase then measures whether a burst of handshakes gives its memory back:
--burst handshakes from 100 addresses (127.0.0.3..127.0.0.102), two at a
time from each, every other wave left unfinished after the client's hello,
and the server's resident memory before, at the burst's peak and once they
have all closed.

It starts its own server in a temporary directory on a free loopback port,
connects from 127.0.0.2..127.0.0.51, ends the server by its PID and removes
the directory. PATH defaults to the Release build of the other benchmarks
(/tmp/build-bench/quelta), built first when missing.
"""
import argparse, os, re, resource, shutil, socket, ssl, subprocess, sys, tempfile, time

def rss_kb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0

def kernel_kb(port):
    """Socket memory the kernel holds for the server's accepted sockets."""
    out = subprocess.run(["ss", "-tmnH", "state", "established", f"( sport = :{port} )"],
                         capture_output=True, text=True).stdout
    totals = []
    for m in re.finditer(r"skmem:\(([^)]*)\)", out):
        f = dict(re.findall(r"([a-z]+)(\d+)", m.group(1)))
        totals.append(int(f.get("r", 0)) + int(f.get("w", 0)) + int(f.get("f", 0)) + int(f.get("o", 0)))
    return totals

def connect(port, i, greeting=True, contexto=None):
    s = socket.socket()
    s.bind((f"127.0.0.{2 + i % 50}", 0))
    s.connect(("127.0.0.1", port))
    if contexto is not None:
        s = contexto.wrap_socket(s, server_hostname="localhost")
    if greeting:
        s.settimeout(5)
        buf = b""
        while not buf.endswith(b"\r\n"):
            chunk = s.recv(200)
            if not chunk:
                raise RuntimeError("closed before the greeting")
            buf += chunk
    return s

def settle(pid, seconds=2.0):
    time.sleep(seconds)
    return rss_kb(pid)

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quelta", default="/tmp/build-bench/quelta")
    ap.add_argument("--idle", type=int, default=2000)
    ap.add_argument("--flood", type=int, default=200)
    ap.add_argument("--flood-bytes", type=int, default=4 << 20)
    ap.add_argument("--tls", action="store_true")
    ap.add_argument("--burst", type=int, default=10000)
    a = ap.parse_args()
    top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    if not os.path.exists(a.quelta):
        build = os.path.dirname(a.quelta)
        subprocess.run(["cmake", "-S", top, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DQUELTA_TESTS=OFF"],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", build, "-j", "2", "--target", "quelta"], check=True,
                       stdout=subprocess.DEVNULL)
    need = a.idle + a.flood + 100
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, need + 100)), hard))
    idle_phase(a)
    flood_phase(a)
    if a.tls and a.burst > 0:
        burst_phase(a)

def client_context():
    contexto = ssl.create_default_context()
    contexto.check_hostname = False
    contexto.verify_mode = ssl.CERT_NONE
    return contexto

class Server:
    """A server of our own in a fresh directory: one per phase, so that
    memory freed by one phase cannot hide what the next one takes."""
    def __init__(self, quelta, tls=False, maxconec=1000000):
        self.work = tempfile.mkdtemp(prefix="quelta-memoria.")
        probe = socket.socket(); probe.bind(("127.0.0.1", 0)); self.port = probe.getsockname()[1]; probe.close()
        self.tls_port = None
        extra = ""
        if tls:
            probe = socket.socket(); probe.bind(("127.0.0.1", 0)); self.tls_port = probe.getsockname()[1]; probe.close()
            subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                            "-nodes", "-days", "1", "-subj", "/CN=localhost", "-keyout", os.path.join(self.work, "k.pem"),
                            "-out", os.path.join(self.work, "c.pem")], check=True, capture_output=True)
            extra = (f"portatls = {self.tls_port}\ncertificado = {self.work}/c.pem\nchave = {self.work}/k.pem\n")
        with open(os.path.join(self.work, "quelta.cfg"), "w") as f:
            f.write(f"ender = 127.0.0.1\nporta = {self.port}\nmaxconec = {maxconec}\nmaxtempo = 0\n"
                    "diasreg = 0\nregtempo = 0\n" + extra)
        self.proc = subprocess.Popen([quelta], cwd=self.work, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.pid = self.proc.pid
        self.first = None
        for _ in range(100):
            try:
                self.first = connect(self.port, 0); break
            except OSError:
                time.sleep(0.05)
        if self.first is None:
            raise RuntimeError("the server did not come up")
    def end(self):
        self.first.close()
        self.proc.terminate()
        self.proc.wait(timeout=10)
        shutil.rmtree(self.work, ignore_errors=True)

def idle_phase(a):
    srv = Server(a.quelta, a.tls)
    socks = []
    contexto = client_context() if a.tls else None
    try:
        base = settle(srv.pid, 1.0)
        for i in range(a.idle):
            socks.append(connect(srv.tls_port if a.tls else srv.port, i, True, contexto))
        idle = settle(srv.pid)
        print(f"idle{' TLS' if a.tls else ''}: {a.idle} connections, server resident +{idle - base} KiB, "
              f"{(idle - base) / a.idle:.2f} KiB each")
    finally:
        for s in socks:
            s.close()
        srv.end()

def flood_phase(a):
    srv = Server(a.quelta, a.tls)
    port = srv.tls_port if a.tls else srv.port
    contexto = client_context() if a.tls else None
    flood = []
    try:
        before = settle(srv.pid, 1.0)
        line = b"IP ninguem@exemplo.com\r\n"
        burst = line * (65536 // len(line))
        for i in range(a.flood):
            s = connect(port, i, True, contexto)
            s.setblocking(False)
            flood.append(s)
        # Every flooder writes until its socket takes nothing more, while
        # the server answers into windows nobody reads.
        sent = [0] * a.flood
        deadline = time.time() + 60
        while time.time() < deadline and min(sent) < a.flood_bytes:
            progress = False
            for i, s in enumerate(flood):
                if sent[i] >= a.flood_bytes:
                    continue
                try:
                    n = s.send(burst)
                    sent[i] += n
                    progress = progress or n > 0
                except (BlockingIOError, ssl.SSLWantWriteError, ssl.SSLWantReadError):
                    pass  # a TLS write that would block is repeated with the same bytes
            if not progress:
                break
            time.sleep(0.01)
        after = settle(srv.pid, 3.0)
        kernel = sorted(kernel_kb(port))[-a.flood:]
        own = (after - before) / a.flood
        print(f"flood{' TLS' if a.tls else ''}: {a.flood} connections that never read, each wrote {min(sent) >> 10}..{max(sent) >> 10} KiB")
        print(f"  server resident +{after - before} KiB, {own:.1f} KiB each")
        if kernel:
            mean = sum(kernel) / len(kernel) / 1024
            print(f"  kernel socket memory {mean:.1f} KiB each (at most {max(kernel) / 1024:.1f})")
            print(f"  worst case per connection: {own + mean:.1f} KiB (at most {own + max(kernel) / 1024:.1f})")
    finally:
        for s in flood:
            s.close()
        srv.end()

def burst_phase(a):
    """Waves of 200 handshakes, two from each of 100 addresses (the default
    maxconec); every other wave stops after the client's hello, as a client
    that connects and goes silent does."""
    srv = Server(a.quelta, True, maxconec=2)
    contexto = client_context()
    peak = 0
    done = 0
    try:
        before = settle(srv.pid, 1.0)
        wave = 0
        while done < a.burst:
            socks = []
            for i in range(min(200, a.burst - done)):
                raw = socket.socket()
                raw.bind((f"127.0.0.{3 + i % 100}", 0))
                raw.connect(("127.0.0.1", srv.tls_port))
                raw.setblocking(False)
                socks.append(contexto.wrap_socket(raw, server_hostname="localhost", do_handshake_on_connect=False))
            finish = wave % 2 == 0
            pending = list(socks)
            deadline = time.time() + 20
            first = True
            while pending and time.time() < deadline:
                left = []
                for s in pending:
                    try:
                        s.do_handshake()
                    except (ssl.SSLWantReadError, ssl.SSLWantWriteError):
                        left.append(s)
                    except (ssl.SSLError, OSError):
                        pass  # refused: counted by the server, not here
                pending = left
                if first and not finish:
                    break  # every hello is out: leave them unfinished
                first = False
                time.sleep(0.002)
            if not finish:
                time.sleep(0.05)  # the server reads the hellos
            peak = max(peak, rss_kb(srv.pid))
            for s in socks:
                s.close()
            done += len(socks)
            wave += 1
            time.sleep(0.05)  # the server sees the closes before the next wave
        after = settle(srv.pid, 2.0)
        print(f"burst TLS: {done} handshakes from 100 addresses in waves of 200, every other one unfinished")
        print(f"  server resident {before} KiB before, {peak} KiB at the peak, {after} KiB after "
              f"({(after - before) / 1024:+.1f} MB)")
    finally:
        srv.end()

if __name__ == "__main__":
    main()
