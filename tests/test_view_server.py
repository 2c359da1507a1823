"""tolvane.view's server: what it answers (the pyramid's points, packed), and what it refuses: no
token or a wrong one, a foreign Host header, a path in a request, bad parameters; it listens on
127.0.0.1 alone and stops when closed."""

import os
import http.client
import json
import socket
import struct
import urllib.parse

import pytest

tolvane = pytest.importorskip("tolvane")
np = pytest.importorskip("numpy")
pytest.importorskip("plotly")


@pytest.fixture(scope="module")
def served(tmp_path_factory):
    path = tmp_path_factory.mktemp("view") / "run.plt"
    times = np.arange(5000) * 1e-3
    tolvane.write(str(path), {"TIME": times, "A": np.sin(times * 9).astype(np.float32),
                              "B": np.cos(times * 3).astype(np.float32)}, 15)
    with tolvane.view(str(path)) as view:
        token = urllib.parse.parse_qs(urllib.parse.urlsplit(view.url).query)["token"][0]
        yield view, token, path


def get(view, target, host=None, method="GET"):
    connection = http.client.HTTPConnection("127.0.0.1", view.port, timeout=10)
    try:
        connection.putrequest(method, target, skip_host=True)
        connection.putheader("Host", host if host is not None else f"127.0.0.1:{view.port}")
        connection.endheaders()
        response = connection.getresponse()
        return response.status, response.getheader("Content-Type"), response.read()
    finally:
        connection.close()


def unpack(body):
    length = struct.unpack("<I", body[:4])[0]
    head = json.loads(body[4:4 + length])
    at, xs, ys = 4 + length, [], []
    for n in head["counts"]:
        xs.append(np.frombuffer(body, "<f8", n, at))
        at += 8 * n
    for n in head["counts"]:
        ys.append(np.frombuffer(body, "<f4", n, at))
        at += 4 * n
    assert at == len(body)
    return head, xs, ys


def test_the_page_its_scripts_and_windows_are_served_with_the_token(served):
    view, token, path = served
    status, kind, body = get(view, f"/?token={token}")
    assert status == 200 and kind.startswith("text/html") and f"view.js?token={token}".encode() in body
    for name, wanted in (("plotly.min.js", b"plotly"), ("view.js", b"tolvaneView"), ("view.css", b"#plot")):
        status, _, body = get(view, f"/{name}?token={token}")
        assert status == 200 and wanted in body
    meta = json.loads(get(view, f"/meta?token={token}")[2])
    assert meta["sources"][0]["names"] == ["A", "B"] and meta["sources"][0]["blocks"] == 5000
    status, kind, body = get(view, f"/window?token={token}&source=0&t0=0.5&t1=4.25&width=300&rows=1,0")
    assert status == 200 and kind == "application/octet-stream"
    head, xs, ys = unpack(body)
    from tolvane._view.decimate import Pyramid
    from tolvane._view.sources import FileSource
    pyramid = Pyramid(FileSource(str(path)))
    pyramid.extend()
    drawn = pyramid.window(0.5, 4.25, 300, [1, 0])
    assert (head["first"], head["end"], head["raw"]) == (drawn.first, drawn.end, drawn.raw)
    for got, want in zip(xs + ys, drawn.x + drawn.y):
        assert got.tobytes() == want.tobytes()
    pyramid.source.close()


@pytest.mark.parametrize("target, host, status", [
    ("/?token=", None, 403),
    ("/", None, 403),
    ("/?token=wrong", None, 403),
    ("/?token={t}&token={t}", None, 403),
    ("/meta?token={t}x", None, 403),
    ("/?token={t}", "evil.example", 403),                # DNS rebinding: another name for 127.0.0.1
    ("/?token={t}", "127.0.0.1.evil.example", 403),
    ("/?token={t}", "localhost:1", 403),                 # another port
    ("/?token={t}", "", 403),
    ("/etc/passwd?token={t}", None, 404),                # no path is opened
    ("/../../../../etc/passwd?token={t}", None, 404),
    ("/%2e%2e/%2e%2e/etc/passwd?token={t}", None, 404),
    ("/static/view.js?token={t}", None, 404),
    ("/decimate.py?token={t}", None, 404),
    ("/window?token={t}", None, 400),
    ("/window?token={t}&source=0&t0=0&t1=1&width=10&rows={path}", None, 400),
    ("/window?token={t}&source=1&t0=0&t1=1&width=10&rows=0", None, 400),
    ("/window?token={t}&source=0&t0=nan&t1=1&width=10&rows=0", None, 400),
    ("/window?token={t}&source=0&t0=0&t1=1e999&width=10&rows=0", None, 400),
    ("/window?token={t}&source=0&t0=0&t1=1&width=0&rows=0", None, 400),
    ("/window?token={t}&source=0&t0=0&t1=1&width=99999999&rows=0", None, 400),
    ("/window?token={t}&source=0&t0=0&t1=1&width=10&rows=2", None, 400),
    ("/window?token={t}&source=0&t0=0&t1=1&width=10&rows=0,0", None, 400),
    ("/window?token={t}&source=0&source=0&t0=0&t1=1&width=10&rows=0", None, 400),
])
def test_requests_refused_with_a_short_message(served, target, host, status):
    view, token, path = served
    got, kind, body = get(view, target.format(t=token, path=urllib.parse.quote(str(path))), host)
    assert got == status and kind.startswith("text/plain")
    assert 0 < len(body) < 200 and b"Traceback" not in body and b"TOLVANE" not in body
    assert view.errors == []


@pytest.mark.parametrize("method", ["POST", "PUT", "DELETE", "HEAD"])
def test_only_get_is_answered(served, method):
    view, token, _ = served
    assert get(view, f"/?token={token}", method=method)[0] == 405


def listening_addresses(port):
    """The local addresses (hex, as /proc/net/tcp and tcp6 give them) of the sockets that listen
    on `port`."""
    found = []
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        if not os.path.exists(table):
            continue
        with open(table) as lines:
            next(lines)
            for line in lines:
                local, state = line.split()[1], line.split()[3]
                address, _, hex_port = local.partition(":")
                if state == "0A" and int(hex_port, 16) == port:  # 0A: LISTEN
                    found.append(address)
    return found


def test_it_listens_on_the_loopback_interface_alone_and_stops_when_closed(tmp_path):
    path = tmp_path / "run.plt"
    tolvane.write(str(path), {"TIME": np.arange(10.0), "A": np.ones(10, np.float32)}, 12)
    view = tolvane.view(str(path))
    port = view.port
    assert view.url.startswith(f"http://127.0.0.1:{port}/?token=")
    assert view._server._httpd.socket.getsockname() == ("127.0.0.1", port)
    # The kernel's own table of listening sockets: the port is bound to 127.0.0.1 alone (no
    # 0.0.0.0, no IPv6 socket), seen without sending anything to another address.
    assert listening_addresses(port) == ["0100007F"]
    view.close()
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.1", port), timeout=2).close()
    view.close()  # twice: nothing more to do


def test_a_reference_s_band_and_the_points_outside_it(tmp_path):
    pd = pytest.importorskip("pandas")  # noqa: F841 - Comparison.bands gives a DataFrame
    times = np.arange(3000) * 1e-3
    reference = {"TIME": times, "A": np.sin(times * 9).astype(np.float32)}
    actual = dict(reference, A=(reference["A"] + np.where((times > 1.0) & (times < 1.01), 0.5, 0)).astype(np.float32))
    tolvane.write(str(tmp_path / "ref.plt"), reference, 15)
    tolvane.write(str(tmp_path / "act.plt"), actual, 15)
    with tolvane.view(str(tmp_path / "act.plt"), reference=str(tmp_path / "ref.plt")) as view:
        token = urllib.parse.parse_qs(urllib.parse.urlsplit(view.url).query)["token"][0]
        meta = json.loads(get(view, f"/meta?token={token}")[2])
        assert meta["sources"][0]["compared"]["A"]["ok"] is False
        frame = tolvane.compare(str(tmp_path / "ref.plt"), str(tmp_path / "act.plt")).bands("A")
        index = np.asarray(frame.index, dtype=np.float64)
        for t0, t1, width in ((0.9, 1.1, 100), (0.0, 2.999, 50)):
            head, xs, ys = unpack(get(view, f"/band?token={token}&source=0&row=0&t0={t0}&t1={t1}&width={width}")[2])
            inside = (index >= t0) & (index <= t1)
            bad = inside & (frame["error"].to_numpy() > 0)
            # Every point outside the band, where they are few; a point for each of them.
            assert xs[2].tobytes() == index[bad].tobytes()
            assert ys[2].tobytes() == frame["actual"].to_numpy()[bad].tobytes()
            assert np.all(np.diff(xs[0]) > 0) and xs[0].tobytes() == xs[1].tobytes()
            if head["width"] * 4 >= inside.sum():  # every point of the band
                near = np.flatnonzero(inside)
                near = np.arange(max(near[0] - 1, 0), min(near[-1] + 2, len(index)))
                assert ys[0].tobytes() == frame["lower"].to_numpy()[near].astype(np.float32).tobytes()
            else:  # the band's outer edges, column by column
                assert ys[0].min() == np.float32(frame["lower"][inside].min())
                assert ys[1].max() == np.float32(frame["upper"][inside].max())
        assert get(view, f"/band?token={token}&source=0&row=1&t0=0&t1=1&width=5")[0] == 400
