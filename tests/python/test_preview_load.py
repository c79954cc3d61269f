"""fxhost preview against what any local program or web page can send it, on
the loopback only and bounded in count and time: other Host names (DNS
rebinding) and other sites, malformed and oversized requests, every
parameter with bad values, 200 renders at once beside clients that send a
byte at a time, and Ctrl-C with requests in flight.  Every answer must be the
picture fxhost render makes or a plain-text 4xx/503; memory stays bounded."""

import concurrent.futures
import json
import signal
import socket
import subprocess
import time
import urllib.parse

import pytest
from fxtest import FXHOST, fxhost, vm_rss_kib

# Renders of this card take 7 MiB each, so the memory limit leaves room for 6 at once.
SIZE, MAX_MEMORY_MIB = "640x360", 48


@pytest.fixture
def server():
    proc = subprocess.Popen([FXHOST, "preview", "--size", SIZE, "--max-memory",
                             str(MAX_MEMORY_MIB)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        yield proc, int(proc.stdout.readline().split()[2].rsplit(":", 1)[1].rstrip("/"))
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.communicate()


def exchange(port, raw, trickle=0.0, timeout=15):
    """Sends `raw` (a byte every `trickle` seconds) and reads until the server
    closes: (status, headers, body), or None when it closed without an answer."""
    data = b""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        try:
            for i in range(0, len(raw), 1 if trickle else len(raw)):
                s.sendall(raw[i:i + 1] if trickle else raw)
                time.sleep(trickle)
        except OSError:
            pass  # answered and closed before all was sent
        try:
            while chunk := s.recv(1 << 16):
                data += chunk
        except ConnectionResetError:
            pass
    if not data:
        return None
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {k.lower(): v.strip() for k, _, v in (h.partition(":") for h in lines[1:])}
    return int(lines[0].split()[1]), headers, body


def get(port, path, headers=None):
    headers = {"Host": f"127.0.0.1:{port}", "Connection": "close", **(headers or {})}
    head = "".join(f"{k}: {v}\r\n" for k, v in headers.items() if v is not None)
    return exchange(port, f"GET {path} HTTP/1.1\r\n{head}\r\n".encode())


def refused(answer, status, word=""):
    code, headers, body = answer
    assert code == status and headers["content-type"].startswith("text/plain"), answer
    assert body.count(b"\n") == 1 and word.encode() in body, body


@pytest.mark.parametrize("headers,status", [
    ({"Host": "evil.example"}, 421), ({"Host": "evil.example:{port}"}, 421), ({"Host": None}, 421),
    ({"Host": "127.0.0.1.evil.example:{port}"}, 421),
    ({"Sec-Fetch-Site": "cross-site"}, 403), ({"Sec-Fetch-Site": "same-site"}, 403),
    ({"Origin": "http://evil.example"}, 403), ({"Origin": "null"}, 403),
    ({"Host": "localhost:{port}"}, 200), ({"Host": "LOCALHOST"}, 200),
    ({"Host": "[::1]:{port}"}, 200),
    ({"Sec-Fetch-Site": "same-origin", "Origin": "http://127.0.0.1:{port}"}, 200),
    ({"Sec-Fetch-Site": "none"}, 200),
])
def test_only_our_own_host_names_and_pages_are_served(server, headers, status):
    port = server[1]
    headers = {k: v and v.format(port=port) for k, v in headers.items()}
    for path in ("/", "/source.png", "/render.png?effect=drain", "/effects.json"):
        answer = get(port, path, headers)
        if status == 200:
            assert answer[0] == 200, (path, answer)
        else:
            refused(answer, status, "refused")


@pytest.mark.parametrize("method,path,status,text", [
    ("GET", "/nope", 404, "no such page: /nope; served are /"),
    ("DELETE", "/elsewhere", 404, "no such page"),
    ("GET", "/render.png", 400, "name one effect"),
    ("GET", "/render.png?effect=swirl", 400, "valid effects: hmirror"),
    ("GET", "/render.png?effect=drain&P1=99", 400, "must be between 1 and 50; got 99"),
    ("GET", "/render.png?effect=drain&P4=0.5", 400, "is a position: use x,y"),
    ("GET", "/render.png?effect=drain&Twist=1", 400, "valid parameters: P1 (Degree)"),
    ("GET", "/render.png?effect=drain&P1=2&P1=3", 400, "given more than once"),
    ("POST", "/render.png?effect=drain", 405, "answers GET"),
])
def test_what_is_not_served_is_refused_with_what_is(server, method, path, status, text):
    port = server[1]
    answer = exchange(port, f"{method} {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n"
                      "Content-Length: 1\r\nConnection: close\r\n\r\nx".encode())
    refused(answer, status, text)
    assert status != 405 or answer[1]["allow"] == "GET, HEAD"


def test_the_page_the_card_a_taken_port_and_a_missing_input(server):
    port = server[1]
    code, headers, body = get(port, "/")
    assert code == 200 and headers["content-type"].startswith("text/html")
    assert b"<title>fxhost preview</title>" in body
    assert get(port, "/source.png")[0] == 200
    for args, text in [(["--port", str(port)], f"cannot listen on 127.0.0.1:{port}"),
                       (["--input", "/nonexistent.png"], "/nonexistent.png")]:
        r = fxhost("preview", *args, check=False, timeout=10)
        assert r.returncode == 1 and text in r.stderr, (args, r.stderr)


BAD = [
    (b"GARBAGE\r\n\r\n", 400, "could not be read"),
    (b"BREW / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 400, "could not be read"),
    (b"GET / HTTP/7.0\r\nHost: 127.0.0.1\r\n\r\n", 400, "could not be read"),
    (b"GET /render.png?effect=drain&P1=" + b"1" * 9000 + b" HTTP/1.1\r\n\r\n", 414, "8192"),
    (b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Big: " + b"a" * 9000 + b"\r\n\r\n", 400, "8192"),
    (b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n" + b"X-Many: aaaaaaaaaaaaaaaa\r\n" * 2000 + b"\r\n",
     431, "larger than 32 KiB"),
    (b"GET /" + b"a" * 100000, 431, "larger than 32 KiB"),
    (b"POST /render.png HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 99999999\r\n\r\n" +
     b"x" * 40000, 413, "no body"),
]


@pytest.mark.parametrize("raw,status,word", BAD, ids=range(len(BAD)))
def test_malformed_and_oversized_requests_are_answered_4xx(server, raw, status, word):
    refused(exchange(server[1], raw), status, word)
    assert get(server[1], "/")[0] == 200


def test_every_parameter_refuses_out_of_range_nan_and_non_numeric_values(server):
    port = server[1]
    catalog = json.loads(get(port, "/effects.json")[2])
    count = 0
    for effect in catalog["effects"]:
        for p in effect["parameters"]:
            key, lo, hi = p["key"], *(v[0] if isinstance(v, list) else v
                                      for v in (p["min"], p["max"]))
            bad = ["nan", "inf", "-inf", "abc", "", "1e999", f"{lo - 1}", f"{hi + 1}", "\0", "1 2"]
            if p["type"] == "position":
                bad = [f"{v},0.5" for v in bad] + [f"0.5,{v}" for v in bad] + ["0.5", "1,2,3"]
            elif p["type"] == "switch":
                bad = ["2", "nan", "yes please", ""]
            for value in bad:
                query = urllib.parse.urlencode({"effect": effect["short_name"], key: value})
                refused(get(port, f"/render.png?{query}"), 400, key)
                count += 1
    assert count > 200


def test_200_renders_beside_slow_clients_are_answered_and_memory_stays_bounded(server, tmp_path):
    proc, port = server
    queries = [("drain", "P1", "20"), ("laser", "P1", "0.6"), ("square", "P1", "0.05"),
               ("hstretch", "P1", "0.09")]
    want = {}
    for effect, key, value in queries:
        out = tmp_path / f"{effect}.png"
        fxhost("render", effect, "-o", out, "--size", SIZE, "--set", f"{key}={value}", "-q")
        want[effect] = out.read_bytes()
    slow = b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Wait: a byte every tenth of a second\r\n\r\n"

    def burst(slow_clients):
        with concurrent.futures.ThreadPoolExecutor(220) as pool:
            slowpokes = [pool.submit(exchange, port, slow, 0.1) for _ in range(slow_clients)]
            time.sleep(0.5 if slow_clients else 0)
            renders = [(q[0], pool.submit(get, port, f"/render.png?effect={q[0]}&{q[1]}={q[2]}"))
                       for q in queries * 50]
            started = time.monotonic()
            assert get(port, "/")[0] in (200, 503) and time.monotonic() - started < 3
            answers = [(e, f.result()) for e, f in renders]
            for e, (code, headers, body) in answers:
                assert (code == 200 and body == want[e]) or code == 503, (code, body[:80])
            print(f"{sum(code == 200 for _, (code, _, _) in answers)} of {len(answers)} renders "
                  "answered with a picture, the others 503")
            assert any(code == 200 for _, (code, _, _) in answers)
            for f in slowpokes:
                refused(f.result(), 408, "did not arrive within 5 s")
        assert get(port, "/render.png?effect=drain&P1=20")[2] == want["drain"]
        return vm_rss_kib(proc.pid)

    # The first burst warms the workers' heaps; the next ones must not grow them.
    before = vm_rss_kib(proc.pid)[0]
    rss = [burst(n)[0] for n in (0, 8, 0)]
    peak = vm_rss_kib(proc.pid)[1]
    print(f"preview {SIZE}: resident {before} KiB before, {rss} KiB after each burst, peak "
          f"{peak} KiB")
    assert rss[2] - rss[1] < 4 << 10 and peak - before < (MAX_MEMORY_MIB + 48) << 10


def test_ctrl_c_with_requests_in_flight_stops_cleanly(server):
    proc, port = server
    with concurrent.futures.ThreadPoolExecutor(48) as pool:
        slowpokes = [pool.submit(exchange, port, b"GET / HTTP/1.1\r\n", 0.2) for _ in range(4)]
        renders = [pool.submit(get, port, "/render.png?effect=drain&P1=20") for _ in range(40)]
        time.sleep(0.3)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=5)
        assert proc.returncode == 0 and out.endswith("fxhost preview: stopped\n"), err
        for f in renders + slowpokes:
            answer = f.result()
            assert answer is None or answer[0] in (200, 503), answer
