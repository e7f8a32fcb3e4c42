#!/usr/bin/env python3
"""NimboChat side by side with ZNC and bip, the relays people pick instead.

Each relay runs as a process of its own between the same scripted upstream
server and the same reading chat client (both in this process, on threads
of their own, on 127.0.0.1). Per relay and round:

- burst: BURST_LINES JIS chat lines server -> client, every line checked in
  order; lines/s, CPU seconds of the relay per 100k lines, RSS before and the
  peak during it;
- c2s: C2S_LINES lines client -> server, checked in order;
- latency: one line each millisecond after a warm-up, server's write to the
  client's read, median and p99;
- syscalls: write and read calls of every kind per relayed line, counted by
  strace over a burst of their own.

"direct" is the client reading the upstream itself: the harness's ceiling.
The relays are interleaved round by round, so that the noise of a shared
machine falls on all of them alike. Usage: peer_bench.py NIMBOCHAT [ROUNDS].
"""
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

BURST_LINES = 100_000
TRACED_LINES = 20_000
WRITES = ["write", "writev", "sendto", "sendmsg"]
READS = ["read", "readv", "recvfrom", "recvmsg"]
C2S_LINES = 10_000
LATENCY_WARMUP = 200
LATENCY_LINES = 1000
NICK = "taro"
PASSWORD = "benchpass"
KEYWORDS = ["nimbo", "会議", "テスト"]
PHRASES = ["こんにちは", "今日は良い天気ですね", "ログを確認してください", "了解しました",
           "明日の会議は十時からです", "テスト中", "漢字とカタカナ", "ありがとう", "nimbo の新版"]
TICKS = os.sysconf("SC_CLK_TCK")


def jis(text):
    return text.encode("iso2022_jp")


def chat_line(i, target="#leaf", prefix=":hana!h@pc.example.jp "):
    text = f"{PHRASES[i % len(PHRASES)]} ok {i} {PHRASES[(i * 5 + 3) % len(PHRASES)]}"
    return prefix.encode() + b"PRIVMSG " + target.encode() + b" :" + jis(text)


def free_port():
    # Ports below 10000: NimboChat's port boxes go up to 9999.
    for port in range(7600 + os.getpid() % 1000, 9999):
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
                return port
            except OSError:
                continue
    raise RuntimeError("no free port")


def listening(port):
    """Whether a socket listens on the port (seen in /proc, without a connection a
    relay would take for its client)."""
    with open("/proc/net/tcp") as f:
        for row in f.readlines()[1:]:
            local, state = row.split()[1], row.split()[3]
            if state == "0A" and int(local.split(":")[1], 16) == port:
                return True
    return False


class Lines:
    """Reads CR LF lines from a socket."""

    def __init__(self, sock):
        self.sock = sock
        self.rest = b""

    def chunk(self):
        data = self.sock.recv(1 << 18)
        if not data:
            raise EOFError("peer closed")
        lines = (self.rest + data).split(b"\r\n")
        self.rest = lines.pop()
        return lines

    def until(self, predicate, timeout=30):
        self.sock.settimeout(timeout)
        while True:
            for line in self.chunk():
                if predicate(line):
                    return line


class Upstream:
    """The scripted IRC server: registers whoever connects and echoes its JOINs."""

    def __init__(self):
        self.port = free_port()
        self.listener = socket.create_server(("127.0.0.1", self.port))
        self.conn = None

    def accept(self, timeout=20):
        self.listener.settimeout(timeout)
        self.conn, _ = self.listener.accept()
        self.conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.lines = Lines(self.conn)
        got = set()

        def registered(line):
            word = line.split(b" ", 1)[0].upper()
            if word in (b"NICK", b"USER"):
                got.add(word)
            return len(got) == 2

        self.lines.until(registered)
        self.send(b":srv 001 %s :Welcome to the bench %s!%s@127.0.0.1\r\n" % ((NICK.encode(),) * 3) +
                  b":srv 002 taro :Your host is srv\r\n:srv 003 taro :made today\r\n"
                  b":srv 004 taro srv bench-1 o o\r\n:srv 422 taro :No MOTD\r\n")

    def send(self, data):
        self.conn.sendall(data)

    def serve_joins(self, stop):
        """Answers JOINs (a bouncer joins its channels) until stop is set."""
        self.conn.settimeout(0.05)
        while not stop.is_set():
            try:
                lines = self.lines.chunk()
            except socket.timeout:
                continue
            for line in lines:
                if line.upper().startswith(b"JOIN "):
                    for chan in line[5:].split(b" ")[0].split(b","):
                        self.send(b":%s!%s@127.0.0.1 JOIN :%s\r\n" % (NICK.encode(), NICK.encode(), chan))
                elif line.upper().startswith(b"PING"):
                    self.send(b":srv PONG srv" + line[4:] + b"\r\n")

    def close(self):
        for s in (self.conn, self.listener):
            if s:
                s.close()


def unprivileged(args, workdir):
    """Starts a bouncer; as root, as the user nobody (both refuse root or make it wait)."""
    if os.getuid() == 0:
        subprocess.run(["chown", "-R", "nobody:nogroup", workdir], check=True)
        args = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] + args
    log = open(os.path.join(workdir, "output.txt"), "w")
    return subprocess.Popen(args, stdout=log, stderr=subprocess.STDOUT)


class Relay:
    name = ""
    utf8 = False
    c2s_lines = C2S_LINES

    def __init__(self, workdir, upstream_port):
        self.dir = tempfile.mkdtemp(dir=workdir, prefix=self.name + "-")
        self.up = upstream_port
        self.port = free_port()
        self.proc = None

    def connects_upstream_at_start(self):
        return True

    def register(self, sock):
        sock.sendall(b"NICK %s\r\nUSER %s 0 * :%s\r\n" % ((NICK.encode(),) * 3))

    def pid(self):
        return self.proc.pid if self.proc else None

    def wait_listening(self, timeout=20):
        end = time.time() + timeout
        while time.time() < end:
            if self.proc and self.proc.poll() is not None:
                raise RuntimeError(f"{self.name} ended: {self.proc.returncode}")
            if listening(self.port):
                return
            time.sleep(0.05)
        raise RuntimeError(f"{self.name} does not listen")

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class NimboChat(Relay):
    name = "NimboChat JIS"

    exe = ""  # the NimboChat executable, set by main

    def connects_upstream_at_start(self):
        return False

    def start(self):
        conf = os.path.join(self.dir, "nimbochat")
        os.makedirs(conf)
        values = [f'"ClientHost"="127.0.0.1"', f'"ClientPort"=dword:{self.up:08x}', f'"ClientNick"="{NICK}"',
                  f'"ServerPort"=dword:{self.port:08x}', '"ConvertCheck"=dword:00000000', '"ClientPath"=""',
                  '"AutoCheck"=dword:00000000', '"KeywordCheck"=dword:00000001', '"FlashCheck"=dword:00000001']
        if self.utf8:
            values.append('"Utf8Check"=dword:00000001')
        keywords = [f'"{i}"=hex:' + ",".join(f"{b:02x}" for b in k.encode("cp932")) for i, k in enumerate(KEYWORDS)]
        with open(os.path.join(conf, "HKEY_CURRENT_USER.reg"), "w") as f:
            f.write("REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Orvane\\NimboChat]\n" + "\n".join(values) +
                    "\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Orvane\\NimboChat\\KeyWord]\n" + "\n".join(keywords) + "\n")
        env = dict(os.environ, XDG_CONFIG_HOME=self.dir, QT_QPA_PLATFORM="offscreen")
        self.proc = subprocess.Popen([self.exe], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.wait_listening()


class NimboChatUtf8(NimboChat):
    name = "NimboChat UTF-8"
    utf8 = True


class Znc(Relay):
    name = "ZNC"

    def start(self):
        os.makedirs(os.path.join(self.dir, "configs"))
        with open(os.path.join(self.dir, "configs", "znc.conf"), "w") as f:
            f.write(f"""Version = 1.8.2
<Listener l>
  Port = {self.port}
  IPv4 = true
  IPv6 = false
  SSL = false
  Host = 127.0.0.1
</Listener>
<User bench>
  Pass = plain#{PASSWORD}
  Nick = {NICK}
  AltNick = {NICK}_
  Ident = {NICK}
  RealName = {NICK}
  Admin = true
  <Network up>
    Server = 127.0.0.1 {self.up}
    FloodRate = 0
    <Chan #leaf>
    </Chan>
  </Network>
</User>
""")
        self.proc = unprivileged(["znc", "--foreground", "--datadir", self.dir], self.dir)
        self.wait_listening()

    def register(self, sock):
        sock.sendall(b"PASS bench/up:%s\r\n" % PASSWORD.encode())
        super().register(sock)


def bip_password_hash(password):
    """bipmkpw reads the password from a terminal: it is given one."""
    import pty
    pid, fd = pty.fork()
    if pid == 0:
        os.execvp("bipmkpw", ["bipmkpw"])
    out = b""
    answered = 0
    while True:
        try:
            data = os.read(fd, 1024)
        except OSError:
            break
        if not data:
            break
        out += data
        prompts = out.lower().count(b"password")
        while answered < prompts and answered < 2:
            os.write(fd, password.encode() + b"\n")
            answered += 1
    os.waitpid(pid, 0)
    words = [w for w in out.decode(errors="replace").split() if len(w) == 40]
    if not words:
        raise RuntimeError("bipmkpw gave no hash: " + out.decode(errors="replace"))
    return words[-1]


class Bip(Relay):
    name = "bip"
    hash = None
    # bip lets a client's lines go to the server at about one a second after
    # a first few, and has no setting for it: 10,000 lines would take hours.
    c2s_lines = 10

    def start(self):
        if Bip.hash is None:
            Bip.hash = bip_password_hash(PASSWORD)
        conf = os.path.join(self.dir, "bip.conf")
        with open(conf, "w") as f:
            f.write(f"""ip = "127.0.0.1";
port = {self.port};
client_side_ssl = false;
log = false;
log_system = false;
log_root = "{self.dir}";
pid_file = "{self.dir}/bip.pid";
network {{ name = "up"; ssl = false; server {{ host = "127.0.0.1"; port = {self.up}; }}; }};
user {{
  name = "bench";
  password = "{Bip.hash}";
  default_nick = "{NICK}";
  default_user = "{NICK}";
  default_realname = "{NICK}";
  backlog = false;
  connection {{ name = "up"; network = "up"; channel {{ name = "#leaf"; }}; }};
}};
""")
        self.proc = unprivileged(["bip", "-n", "-f", conf], self.dir)
        self.wait_listening()

    def register(self, sock):
        sock.sendall(b"PASS bench:%s:up\r\n" % PASSWORD.encode())
        super().register(sock)


class Direct(Relay):
    """No relay: the client is the upstream's own peer."""
    name = "direct"

    def start(self):
        pass

    def connects_upstream_at_start(self):
        return False


def proc_figures(pid):
    if pid is None:
        return {}
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / TICKS
    status = dict(line.split(":", 1) for line in open(f"/proc/{pid}/status").read().splitlines())
    kb = lambda key: int(status[key].split()[0])
    return {"cpu": cpu, "rss": kb("VmRSS"), "hwm": kb("VmHWM")}


def reset_peak(pid):
    if pid is not None:
        with open(f"/proc/{pid}/clear_refs", "w") as f:
            f.write("5")


class Session:
    """One relay between the upstream and the client, ready to measure."""

    def __init__(self, relay_class, workdir):
        self.upstream = Upstream()
        self.relay = relay_class(workdir, self.upstream.port)
        self.relay.start()
        if self.relay.connects_upstream_at_start():
            self.upstream.accept()
        self.stop_joins = threading.Event()
        if isinstance(self.relay, Direct):
            self.client = socket.create_connection(("127.0.0.1", self.upstream.port))
            self.client.sendall(b"NICK %s\r\nUSER %s 0 * :%s\r\n" % ((NICK.encode(),) * 3))
            self.upstream.accept()
        else:
            self.client = socket.create_connection(("127.0.0.1", self.relay.port))
            self.relay.register(self.client)
            if not self.relay.connects_upstream_at_start():
                self.upstream.accept()
        self.client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.lines = Lines(self.client)
        self.joins = threading.Thread(target=self.upstream.serve_joins, args=(self.stop_joins,))
        self.joins.start()
        time.sleep(0.5)  # let a bouncer's JOIN and its replay to the client settle
        self.upstream.send(b":srv NOTICE %s :ready\r\n" % NICK.encode())
        self.lines.until(lambda l: l.endswith(b":ready"))
        self.stop_joins.set()
        self.joins.join()
        self.upstream.conn.settimeout(None)

    def close(self):
        self.client.close()
        self.upstream.close()
        self.relay.stop()


def expected_at_client(line, utf8):
    return line.decode("iso2022_jp").encode("utf-8") if utf8 else line


def relay_lines(session, count, first=0):
    """Sends count chat lines server -> client and checks each, in order, at
    the client; returns the seconds it took."""
    sent = [chat_line(i) for i in range(first, first + count)]
    want = [expected_at_client(l, session.relay.utf8) for l in sent]
    data = b"\r\n".join(sent) + b"\r\n"
    got = 0
    session.client.settimeout(60)
    start = time.perf_counter()
    sender = threading.Thread(target=session.upstream.send, args=(data,))
    sender.start()
    while got < count:
        for line in session.lines.chunk():
            if line != want[got]:
                raise RuntimeError(f"{session.relay.name}: line {got} is {line[:80]!r}, not {want[got][:80]!r}")
            got += 1
    elapsed = time.perf_counter() - start
    sender.join()
    return elapsed


def burst(session):
    pid = session.relay.pid()
    before = proc_figures(pid)
    reset_peak(pid)
    elapsed = relay_lines(session, BURST_LINES)
    after = proc_figures(pid)
    out = {"lines/s": BURST_LINES / elapsed}
    if pid:
        out.update({"cpu/100k": (after["cpu"] - before["cpu"]) * 100_000 / BURST_LINES,
                    "rss MB": before["rss"] / 1024, "burst adds MB": (after["hwm"] - before["rss"]) / 1024})
    return out


def syscalls(session):
    """The relay's write and read calls per relayed line, of every kind
    (write, send, sendmsg, eventfd wake-ups; read, recv), counted by strace
    over a burst of TRACED_LINES of their own. strace slows the relay, so
    nothing is timed here."""
    pid = session.relay.pid()
    if pid is None:
        return {}
    summary = os.path.join(session.relay.dir, "strace.txt")
    tracer = subprocess.Popen(["strace", "-f", "-c", "-o", summary, "-e", "trace=" + ",".join(WRITES + READS),
                               "-p", str(pid)], stderr=subprocess.PIPE, text=True)
    while "attached" not in tracer.stderr.readline():  # every thread of the relay is traced from here on
        if tracer.poll() is not None:
            raise RuntimeError("strace could not attach")
    relay_lines(session, TRACED_LINES, first=BURST_LINES)
    tracer.send_signal(signal.SIGINT)
    tracer.communicate(timeout=30)
    calls = {}
    for row in open(summary).read().splitlines():
        cells = row.split()
        if len(cells) >= 5 and cells[-1] in WRITES + READS:
            calls[cells[-1]] = int(cells[3])
    return {"writes/line": sum(calls.get(c, 0) for c in WRITES) / TRACED_LINES,
            "reads/line": sum(calls.get(c, 0) for c in READS) / TRACED_LINES}


def client_to_server(session):
    count = session.relay.c2s_lines
    sent = [b"PRIVMSG #leaf :" + jis(f"{PHRASES[i % len(PHRASES)]} up {i}") for i in range(count)]
    wire = [l.decode("iso2022_jp").encode("utf-8") if session.relay.utf8 else l for l in sent]
    data = b"\r\n".join(wire) + b"\r\n"
    session.upstream.conn.settimeout(60)
    start = time.perf_counter()
    sender = threading.Thread(target=session.client.sendall, args=(data,))
    sender.start()
    got = 0
    while got < count:
        for line in session.upstream.lines.chunk():
            if not line.startswith(b"PRIVMSG #leaf :"):
                continue  # a bouncer's own PING, MODE or WHO
            if line != sent[got]:
                raise RuntimeError(f"{session.relay.name}: upstream line {got} is {line[:80]!r}")
            got += 1
    elapsed = time.perf_counter() - start
    sender.join()
    return {"c2s lines/s": count / elapsed}


def latency(session):
    times = {}
    total = LATENCY_WARMUP + LATENCY_LINES
    done = threading.Event()

    def read():
        session.client.settimeout(30)
        got = 0
        while got < total:
            for line in session.lines.chunk():
                now = time.perf_counter_ns()
                if b" lat " in line:
                    times[int(line.rsplit(b" ", 1)[1])] = now
                    got += 1
        done.set()

    reader = threading.Thread(target=read)
    reader.start()
    sent = {}
    next_at = time.perf_counter_ns()
    for i in range(total):
        while time.perf_counter_ns() < next_at:
            time.sleep(0.0002)
        sent[i] = time.perf_counter_ns()
        session.upstream.send(chat_line(i, prefix=":hana!h@pc.example.jp ") + b" lat %d\r\n" % i)
        next_at += 1_000_000
    reader.join(60)
    if not done.is_set():
        raise RuntimeError(f"{session.relay.name}: latency lines lost")
    us = sorted((times[i] - sent[i]) / 1000 for i in range(LATENCY_WARMUP, total))
    return {"lat median us": statistics.median(us), "lat p99 us": us[int(len(us) * 0.99) - 1]}


RELAYS = [NimboChat, NimboChatUtf8, Znc, Bip, Direct]
FIGURES = ["lines/s", "cpu/100k", "writes/line", "reads/line", "c2s lines/s", "lat median us", "lat p99 us",
           "rss MB", "burst adds MB"]


def main():
    NimboChat.exe = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    results = {r.name: {f: [] for f in FIGURES} for r in RELAYS}
    with tempfile.TemporaryDirectory(prefix="peer-bench-") as workdir:
        os.chmod(workdir, 0o755)  # the bouncers run as another user
        for n in range(rounds):
            for relay_class in RELAYS:
                figures = measure_with_retry(relay_class, workdir)
                for key, value in figures.items():
                    results[relay_class.name][key].append(value)
                print(f"round {n + 1} {relay_class.name}: " +
                      ", ".join(f"{k} {v:.4g}" for k, v in figures.items()), flush=True)
    report(results)


def measure_with_retry(relay_class, workdir, attempts=3):
    """One relay's figures; a session that fails (ZNC now and then drops its
    server connection under the client's lines) is said and run again."""
    for attempt in range(attempts):
        try:
            return measure(relay_class, workdir)
        except (RuntimeError, EOFError, OSError) as error:
            print(f"{relay_class.name}: attempt {attempt + 1} failed: {error!r}", file=sys.stderr, flush=True)
    raise RuntimeError(f"{relay_class.name} failed {attempts} times")


def measure(relay_class, workdir):
    session = Session(relay_class, workdir)
    try:
        # ZNC 1.8.2 at times drops its server connection when 10,000 lines
        # from the client follow the burst; they go first.
        figures = client_to_server(session)
        figures.update(burst(session))
        figures.update(latency(session))
        figures.update(syscalls(session))
        return figures
    except Exception:
        output = os.path.join(session.relay.dir, "output.txt")
        if os.path.exists(output):
            print(f"{relay_class.name} said:\n" + open(output).read()[-2000:], file=sys.stderr)
        raise
    finally:
        session.close()


def report(results):
    print("\nmin / median / max over the rounds")
    print("| Figure | " + " | ".join(results) + " |")
    print("|---" * (len(results) + 1) + "|")
    for f in FIGURES:
        cells = []
        for name in results:
            v = results[name][f]
            cells.append(f"{min(v):.4g} / **{statistics.median(v):.4g}** / {max(v):.4g}" if v else "—")
        print(f"| {f} | " + " | ".join(cells) + " |")
    med = {n: {f: statistics.median(v) for f, v in r.items() if v} for n, r in results.items()}
    peers = ["ZNC", "bip"]
    fastest = max(peers, key=lambda p: med[p]["lines/s"])
    leanest = min(peers, key=lambda p: med[p]["cpu/100k"])
    nimbo, utf8 = med["NimboChat JIS"], med["NimboChat UTF-8"]
    print("\nratios of the medians (goal in brackets)")
    print(f"- JIS burst / fastest peer ({fastest}): {nimbo['lines/s'] / med[fastest]['lines/s']:.2f} (>= 1.2)")
    print(f"- CPU per line / leanest peer ({leanest}): {nimbo['cpu/100k'] / med[leanest]['cpu/100k']:.2f} (<= 0.8)")
    print(f"- latency median / ZNC: {nimbo['lat median us'] / med['ZNC']['lat median us']:.2f} (<= 1)")
    print(f"- latency p99 / ZNC: {nimbo['lat p99 us'] / med['ZNC']['lat p99 us']:.2f} (<= 1)")
    print(f"- UTF-8 burst / JIS burst: {utf8['lines/s'] / nimbo['lines/s']:.2f} (>= 0.9)")
    print(f"- burst adds to RSS: {nimbo['burst adds MB']:.1f} MB (<= 5)")


if __name__ == "__main__":
    main()
