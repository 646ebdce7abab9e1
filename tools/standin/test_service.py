#!/usr/bin/env python3
"""Tests of the stand-in web service over real HTTPS with verification on.

Run through the harness, which supplies the names, the CA and the services:
    tools/harness/run.sh -- python3 tools/standin/test_service.py
"""

import base64
import contextlib
import html.parser
import http.client
import io
import json
import math
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse
import wave

SITE = os.environ.get("TOLVANE_SITE_HOST", "")
UNTRUSTED = os.environ.get("TOLVANE_UNTRUSTED_HOST", "")
HARNESS_DIR = os.environ.get("TOLVANE_HARNESS_DIR", "")
SERVICE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "service.py")
REST = "/?rest_route=%2Fbrv-tolvane%2Fv1%2F"
CTX = ssl.create_default_context()  # the harness's CA only: /etc/ssl/certs is replaced


def rest_target(route, query=""):
    return REST + urllib.parse.quote(route, safe="") + (("&" + query) if query else "")


# ---------------------------------------------------------------- clients

def request(method, target, body=None, headers=None, host=None, port=443, timeout=10):
    """One request on a fresh verified connection: (status, header list, body)."""
    conn = http.client.HTTPSConnection(host or SITE, port, context=CTX, timeout=timeout)
    try:
        conn.request(method, target, body=body, headers=headers or {})
        resp = conn.getresponse()
        return resp.status, resp.getheaders(), resp.read()
    finally:
        conn.close()


def header(headers, name):
    values = [v for k, v in headers if k.lower() == name.lower()]
    return values[0] if values else None


def api(method, route, token=None, body=None, query="", **kw):
    hdrs = {"Accept": "application/json"}
    if token:
        hdrs["Authorization"] = "Bearer " + token
    if method == "POST":
        hdrs["Content-Type"] = "application/json"
    status, headers, data = request(method, rest_target(route, query), body, hdrs, **kw)
    ctype = header(headers, "Content-Type") or ""
    return status, (json.loads(data) if ctype.startswith("application/json") else data)


def control(name, obj=None, method="POST", port=443):
    body = None if method == "GET" else json.dumps(obj or {})
    status, _, data = request(method, "/__control/" + name, body, port=port)
    return status, json.loads(data)


def add_fault(match, fault, count=1, **extra):
    status, reply = control("fault", dict(match=match, count=count, fault=fault, **extra))
    assert status == 200, reply


class RawReply:
    def __init__(self, data, marks, closed, t_close):
        self.data, self.marks, self.closed, self.t_close = bytes(data), marks, closed, t_close
        end = self.data.find(b"\r\n\r\n")
        self.head_complete = end >= 0
        if not self.head_complete:
            self.status, self.headers, self.body, self.t_head = None, [], b"", None
            return
        lines = self.data[:end].decode("latin-1").split("\r\n")
        self.status = int(lines[0].split(" ")[1])
        self.headers = [tuple(part.strip() for part in ln.split(":", 1)) for ln in lines[1:]]
        self.body = self.data[end + 4:]
        self.t_head = next(t for t, n in marks if n >= end + 4)

    def header(self, name):
        return header(self.headers, name)


def raw(method, target, headers=(), body=b"", host=None, port=443, wait=10.0):
    """Sends hand-made bytes and records what comes back and when."""
    host = host or SITE
    head = "%s %s HTTP/1.1\r\n" % (method, target)
    head += "".join("%s: %s\r\n" % h for h in (("Host", host),) + tuple(headers))
    sock = socket.create_connection((host, port), timeout=5)
    tls = CTX.wrap_socket(sock, server_hostname=host)
    try:
        tls.sendall(head.encode("latin-1") + b"\r\n" + body)
        t0 = time.monotonic()
        data, marks, closed = bytearray(), [], False
        for _ in range(100_000):
            left = t0 + wait - time.monotonic()
            if left <= 0:
                break
            tls.settimeout(left)
            try:
                chunk = tls.recv(65536)
            except socket.timeout:
                break
            except (ssl.SSLError, ConnectionError):
                chunk = b""
            if not chunk:
                closed = True
                break
            data += chunk
            marks.append((time.monotonic() - t0, len(data)))
        return RawReply(data, marks, closed, time.monotonic() - t0 if closed else None)
    finally:
        tls.close()


def dechunk(data):
    out, pos = bytearray(), 0
    for _ in range(100_000):
        eol = data.index(b"\r\n", pos)
        size = int(data[pos:eol], 16)
        if size == 0:
            return bytes(out)
        out += data[eol + 2:eol + 2 + size]
        pos = eol + 2 + size + 2
    raise AssertionError("chunked body without end")


def read_wav(data):
    with wave.open(io.BytesIO(data)) as w:
        return w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getnframes(), w.readframes(w.getnframes())


@contextlib.contextmanager
def extra_service(*args):
    """A private service instance on an ephemeral port of 127.0.0.1, same certificate."""
    work = tempfile.mkdtemp(prefix="standin-test-")
    ready = os.path.join(work, "ready")
    log = open(os.path.join(work, "log"), "w+")
    proc = subprocess.Popen(
        [sys.executable, SERVICE, "--site-host", SITE, "--bind", "127.0.0.1", "--port", "0",
         "--cert", os.path.join(HARNESS_DIR, "server.pem"), "--key", os.path.join(HARNESS_DIR, "server.key"),
         "--ready-file", ready] + list(args), stdout=log, stderr=log)
    try:
        # Generous: a busy machine can take many seconds to start Python.
        for _ in range(600):
            if os.path.exists(ready) or proc.poll() is not None:
                break
            time.sleep(0.1)
        if not os.path.exists(ready):
            log.seek(0)
            raise AssertionError("extra service did not start: " + log.read())
        with open(ready) as fh:
            yield proc, json.load(fh)["port"]
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait(10)
        log.close()
        shutil.rmtree(work, ignore_errors=True)


class FormParser(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.forms, self.buttons, self._in_button = [], [], False

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "form":
            self.forms.append({"method": a.get("method", ""), "action": a.get("action", ""), "inputs": {}})
        elif tag == "input" and self.forms:
            self.forms[-1]["inputs"][a.get("name")] = (a.get("type"), a.get("value", ""))
        elif tag == "button":
            self._in_button = True
            self.buttons.append("")

    def handle_endtag(self, tag):
        if tag == "button":
            self._in_button = False

    def handle_data(self, data):
        if self._in_button:
            self.buttons[-1] += data


def is_alnum_ascii(s):
    return s.isascii() and s.isalnum()


# ---------------------------------------------------------------- tests

class Base(unittest.TestCase):
    def setUp(self):
        status, _ = control("reset", {"state": True})
        self.assertEqual(status, 200)

    def token(self, **kw):
        return control("issue-token", kw)[1]["access_token"]

    def all_items(self, token):
        status, first = api("GET", "catalog", token, query="page=1&search=")
        self.assertEqual(status, 200)
        items = list(first["items"])
        for page in range(2, first["pages"] + 1):
            items += api("GET", "catalog", token, query="page=%d&search=" % page)[1]["items"]
        return first, items


class DeviceFlowTest(Base):
    def test_sign_in_browse_download_and_sign_out(self):
        status, start = api("POST", "start", body="{}")
        self.assertEqual(status, 200)
        device, user, url = start["device_code"], start["user_code"], start["verification_url"]
        self.assertEqual(len(device), 64)
        self.assertTrue(is_alnum_ascii(device))
        self.assertEqual(len(user), 10)
        self.assertTrue(url.startswith("https://%s/wp-admin/admin-post.php?" % SITE), url)
        self.assertIn("user_code=" + user, url)

        # The client's own multi-line body, CR LF and all.
        poll_body = '{\r\n  "user_code": "%s",\r\n  "device_code": "%s"\r\n}' % (user, device)
        self.assertEqual(len(poll_body.encode()), 119)
        self.assertEqual(api("POST", "poll", body=poll_body), (202, {"status": "pending"}))
        for bad in ({"user_code": user, "device_code": "x" * 64}, {"user_code": "WRONGCODE1", "device_code": device},
                    {"user_code": user}):
            status, reply = api("POST", "poll", body=json.dumps(bad))
            self.assertEqual(status, 400, bad)
            self.assertTrue(reply["message"])

        # Confirm the way a browser would: fetch the page, submit its form.
        path = url[len("https://" + SITE):]
        status, headers, page = request("GET", path)
        self.assertEqual(status, 200)
        self.assertTrue(header(headers, "Content-Type").startswith("text/html"))
        parser = FormParser()
        parser.feed(page.decode())
        self.assertEqual(len(parser.forms), 1)
        form = parser.forms[0]
        self.assertEqual(form["method"].upper(), "POST")
        self.assertEqual(urllib.parse.urlsplit(form["action"]).path, "/wp-admin/admin-post.php")
        self.assertEqual(form["inputs"]["user_code"], ("hidden", user))
        self.assertIn("Confirm", [b.strip() for b in parser.buttons])
        fields = urllib.parse.urlencode({k: v for k, (_, v) in form["inputs"].items()})
        status, _, done = request("POST", form["action"], fields,
                                  {"Content-Type": "application/x-www-form-urlencoded"})
        self.assertEqual(status, 200)
        self.assertIn(b"Code confirmed", done)

        status, granted = api("POST", "poll", body=poll_body)
        self.assertEqual(status, 200)
        token = granted["access_token"]
        self.assertEqual(len(token), 64)
        self.assertTrue(is_alnum_ascii(token))
        status, again = api("POST", "poll", body=poll_body)
        self.assertEqual(status, 400, "a device code is good for one token only")
        self.assertTrue(again["message"])

        status, me = api("GET", "me", token)
        self.assertEqual((status, me), (200, {"name": "Demo Studio", "credits": 3}))

        first, items = self.all_items(token)
        self.assertEqual((first["name"], first["credits"]), (me["name"], me["credits"]))
        owned = [i for i in items if i["owned"]]
        locked = [i for i in items if not i["owned"]]
        self.assertTrue(owned and locked)

        status, headers, data = request("GET", rest_target("download/%d" % owned[0]["id"]),
                                        headers={"Authorization": "Bearer " + token})
        self.assertEqual(status, 200)
        self.assertEqual(header(headers, "Content-Type"), "audio/wav")
        self.assertEqual(int(header(headers, "Content-Length")), len(data))
        channels, width, rate, frames, pcm = read_wav(data)
        self.assertEqual((channels, width, rate), (2, 2, 44100))
        self.assertTrue(1.0 <= frames / rate <= 2.0)
        self.assertTrue(any(pcm), "the original is not silent")

        status, reply = api("GET", "download/%d" % locked[0]["id"], token)
        self.assertEqual((status, reply["message"]), (403, "This sound is not unlocked for your account."))

        self.assertEqual(api("POST", "logout", token, body="{}"), (200, {"ok": True}))
        for method, route in (("GET", "me"), ("GET", "catalog"), ("GET", "download/%d" % owned[0]["id"])):
            status, reply = api(method, route, token)
            self.assertEqual(status, 401, route)
            self.assertTrue(reply["message"])


class CatalogTest(Base):
    def test_pages_cover_the_catalog_once(self):
        token = self.token()
        first, items = self.all_items(token)
        total, pages = first["total"], first["pages"]
        self.assertGreaterEqual(total, 30)
        self.assertEqual(pages, math.ceil(total / 8))
        ids = [i["id"] for i in items]
        self.assertEqual(len(ids), total)
        self.assertEqual(sorted(set(ids)), list(range(1, total + 1)))
        for item in items:
            self.assertEqual(item["preview_url"],
                             "https://%s/wp-content/uploads/brevant-previews/preview-%d.wav" % (SITE, item["id"]))
            self.assertTrue(item["name"])
        owned = sum(i["owned"] for i in items)
        self.assertTrue(total / 4 <= owned <= total / 2, owned)
        sizes = [len(api("GET", "catalog", token, query="page=%d&search=" % p)[1]["items"])
                 for p in range(1, pages + 1)]
        self.assertEqual(sizes[:-1], [8] * (pages - 1))
        status, beyond = api("GET", "catalog", token, query="page=%d&search=" % (pages + 1))
        self.assertEqual((status, beyond["items"], beyond["total"]), (200, [], total))

    def test_search_is_a_case_insensitive_substring(self):
        token = self.token()
        _, items = self.all_items(token)
        names = [i["name"] for i in items]
        for text in ("kick", "KICK", "Pad", "crème", "e P", "01", "zzz-nothing", "(x)~_-."):
            with self.subTest(text=text):
                expected = [n for n in names if text.casefold() in n.casefold()]
                got, page = [], 1
                for _ in range(10):
                    status, reply = api("GET", "catalog", token,
                                        query="page=%d&search=%s" % (page, urllib.parse.quote(text, safe="")))
                    self.assertEqual(status, 200)
                    got += [i["name"] for i in reply["items"]]
                    if page >= reply["pages"]:
                        break
                    page += 1
                self.assertEqual(got, expected)
                self.assertEqual(reply["total"], len(expected))
                self.assertEqual(reply["pages"], max(1, math.ceil(len(expected) / 8)))
        self.assertTrue(any("crème" in n.casefold() for n in names), "one name is not plain ASCII")

    def test_query_forms(self):
        token = self.token()
        _, everything = api("GET", "catalog", token, query="page=1&search=")
        no_route = "No route was found matching the URL and request method."
        cases = [
            # target, method, expected status, check on the reply
            (REST + "catalog&page=1&search", "GET", 200, lambda r: r == everything),  # bare name
            (REST + "catalog", "GET", 200, lambda r: r == everything),
            ("/?rest_route=/brv-tolvane/v1/catalog&page=1&search=", "GET", 200, lambda r: r == everything),
            (REST + "catalog&page=2&search=", "GET", 200, lambda r: r["items"][0]["id"] == 9),
            (REST + "catalog&page=0&search=", "GET", 400, lambda r: bool(r["message"])),
            (REST + "catalog&page=two&search=", "GET", 400, lambda r: bool(r["message"])),
            (REST + "nothing-here", "GET", 404, lambda r: r["message"] == no_route),
            (REST + "start", "GET", 404, lambda r: r["message"] == no_route),
            (REST + "me", "POST", 404, lambda r: r["message"] == no_route),
            ("/?rest_route=%2Fother%2Fv1%2Fme", "GET", 404, lambda r: r["message"] == no_route),
            (REST + "download%2Fabc", "GET", 404, lambda r: r["message"] == no_route),
            (REST + "download%2F99999", "GET", 404, lambda r: bool(r["message"])),
        ]
        for target, method, want, check in cases:
            with self.subTest(target=target, method=method):
                status, _, data = request(method, target, "{}" if method == "POST" else None,
                                          {"Authorization": "Bearer " + token})
                self.assertEqual(status, want)
                self.assertTrue(check(json.loads(data)), data[:200])

    def test_ownership_decides_downloads_and_previews_need_no_token(self):
        token = self.token()
        _, items = self.all_items(token)
        originals = {}
        for item in items:
            status, headers, data = request("GET", rest_target("download/%d" % item["id"]),
                                            headers={"Authorization": "Bearer " + token})
            self.assertEqual(status, 200 if item["owned"] else 403, item)
            if item["owned"]:
                originals[item["id"]] = read_wav(data)
        # Previews for an owned and a locked sound, without any token.
        for item in (next(i for i in items if i["owned"]), next(i for i in items if not i["owned"])):
            path = item["preview_url"][len("https://" + SITE):]
            status, headers, data = request("GET", path)
            self.assertEqual((status, header(headers, "Content-Type")), (200, "audio/wav"))
            channels, width, rate, frames, pcm = read_wav(data)
            self.assertEqual((channels, width, rate), (1, 2, 44100))
            self.assertTrue(any(pcm))
            if item["id"] in originals:
                self.assertLess(frames, originals[item["id"]][3])
        status, _, _ = request("GET", "/wp-content/uploads/brevant-previews/preview-99999.wav")
        self.assertEqual(status, 404)

    def test_site_pages(self):
        for path in ("/sound-library-preview/", "/my-account-2/"):
            with self.subTest(path=path):
                status, headers, body = request("GET", path)
                self.assertEqual(status, 200)
                self.assertTrue(header(headers, "Content-Type").startswith("text/html"))
                self.assertIn(b"<html", body)


class TokenTest(Base):
    def test_refused_tokens_get_401_on_every_token_route(self):
        expired, revoked = self.token(), self.token()
        self.assertEqual(api("GET", "me", expired)[0], 200)
        self.assertEqual(control("expire", {"token": expired}), (200, {"ok": True}))
        self.assertEqual(api("POST", "logout", revoked, body="{}"), (200, {"ok": True}))
        tokens = {"none": None, "unknown": "A" * 64, "expired": expired, "revoked": revoked}
        routes = [("GET", "me"), ("GET", "catalog"), ("GET", "download/3"), ("POST", "logout")]
        for label, tok in tokens.items():
            for method, route in routes:
                with self.subTest(token=label, route=route):
                    status, reply = api(method, route, tok, body="{}" if method == "POST" else None,
                                        query="page=1&search=" if route == "catalog" else "")
                    self.assertEqual(status, 401)
                    self.assertTrue(reply["message"])
        self.assertEqual(control("expire", {"token": "B" * 64})[0], 404)

    def test_lifetimes_run_out(self):
        with extra_service("--token-ttl", "1", "--device-ttl", "1") as (_, port):
            def ext(*a, **kw):
                return api(*a, port=port, **kw)

            _, start = ext("POST", "start", body="{}")
            self.assertEqual(control("confirm", {"user_code": start["user_code"]}, port=port)[0], 200)
            poll = json.dumps({"user_code": start["user_code"], "device_code": start["device_code"]})
            status, granted = ext("POST", "poll", body=poll)
            self.assertEqual(status, 200)
            flow_token = granted["access_token"]
            issued = control("issue-token", {}, port=port)[1]["access_token"]
            long_lived = control("issue-token", {"ttl": 30}, port=port)[1]["access_token"]
            _, waiting = ext("POST", "start", body="{}")
            wait_poll = json.dumps({"user_code": waiting["user_code"], "device_code": waiting["device_code"]})
            for tok in (flow_token, issued, long_lived):
                self.assertEqual(ext("GET", "me", tok)[0], 200)
            self.assertEqual(ext("POST", "poll", body=wait_poll)[0], 202)
            time.sleep(1.3)
            for tok in (flow_token, issued):
                status, reply = ext("GET", "me", tok)
                self.assertEqual(status, 401)
                self.assertTrue(reply["message"])
            self.assertEqual(ext("GET", "me", long_lived)[0], 200)
            status, reply = ext("POST", "poll", body=wait_poll)
            self.assertEqual(status, 410)
            self.assertTrue(reply["message"])
            self.assertEqual(control("confirm", {"user_code": waiting["user_code"]}, port=port)[0], 410)

    def test_shutdown_ends_stalled_and_idle_connections(self):
        with extra_service() as (proc, port):
            idle = http.client.HTTPSConnection(SITE, port, context=CTX, timeout=10)
            idle.request("GET", "/")
            idle.getresponse().read()  # kept alive, now idle
            self.assertEqual(control("fault", {"match": "", "fault": {"type": "stall_body", "ms": 60000}},
                                     port=port)[0], 200)
            box = {}
            stalled = threading.Thread(target=lambda: box.update(r=raw("GET", "/x", port=port, wait=20)))
            stalled.start()
            for _ in range(100):
                if control("requests", method="GET", port=port)[1]:
                    break
                time.sleep(0.05)
            t0 = time.monotonic()
            proc.send_signal(signal.SIGTERM)
            self.assertEqual(proc.wait(10), 0)
            self.assertLess(time.monotonic() - t0, 3.0)
            stalled.join(10)
            self.assertTrue(box["r"].closed)
            self.assertEqual(box["r"].status, 200)
            self.assertLess(box["r"].t_close, 5.0)
            idle.close()


class FaultTest(Base):
    TARGET = rest_target("catalog", "page=1&search=")

    def fault_reply(self, fault, target=None, **kw):
        add_fault("", fault)
        return raw("GET", target or self.TARGET, **kw)

    def test_reply_framing(self):
        cases = [
            ("exact length", {"type": "reply", "status": 500, "body": '{"message":"boom"}'},
             500, "18", b'{"message":"boom"}'),
            ("no length", {"type": "reply", "status": 200, "body": "close-delimited", "content_length": "none"},
             200, None, b"close-delimited"),
            ("declared longer", {"type": "reply", "status": 200, "body": "short", "content_length": 1000},
             200, "1000", b"short"),
            ("declared zero", {"type": "reply", "status": 200, "content_length": 0}, 200, "0", b""),
            ("base64", {"type": "reply", "status": 404, "body_b64": base64.b64encode(b"\0\1\xff").decode()},
             404, "3", b"\0\1\xff"),
            ("unusual status", {"type": "reply", "status": 299, "body": "x"}, 299, "1", b"x"),
        ]
        for label, fault, status, length, body in cases:
            with self.subTest(label):
                r = self.fault_reply(fault)
                self.assertTrue(r.closed)
                self.assertEqual(r.status, status)
                self.assertEqual(r.header("Content-Length"), length)
                self.assertEqual(r.body, body)
                self.assertEqual(r.header("Connection"), "close")

    def test_reply_headers_and_chunking(self):
        r = self.fault_reply({"type": "reply", "status": 200, "body": "<p>", "headers": {
            "X-Test": "one", "Content-Type": "text/html"}})
        self.assertEqual([v for k, v in r.headers if k.lower() == "content-type"], ["text/html"])
        self.assertEqual(r.header("X-Test"), "one")
        r = self.fault_reply({"type": "reply", "status": 200, "body": "x", "headers": {"Content-Type": None}})
        self.assertIsNone(r.header("Content-Type"))
        r = self.fault_reply({"type": "reply", "status": 200, "body_size": 70000, "fill": "json",
                              "content_length": "chunked"})
        self.assertEqual(r.header("Transfer-Encoding"), "chunked")
        self.assertIsNone(r.header("Content-Length"))
        self.assertEqual(len(json.loads(dechunk(r.body))["pad"]), 70000 - 10)

    def test_fill_sizes_are_exact(self):
        cases = [("json", n) for n in (2, 9, 10, 11, 4096, 1048576, 1048577)]
        cases += [("bytes", n) for n in (0, 1, 70000)] + [("wav", n) for n in (44, 1001, 65536)]
        for fill, n in cases:
            with self.subTest(fill=fill, size=n):
                r = self.fault_reply({"type": "reply", "status": 200, "body_size": n, "fill": fill})
                self.assertEqual(r.header("Content-Length"), str(n))
                self.assertEqual(len(r.body), n)
                if fill == "json":
                    self.assertIsInstance(json.loads(r.body), dict)
                    self.assertTrue(r.header("Content-Type").startswith("application/json"))
                elif fill == "wav":
                    channels, width, rate, frames, _ = read_wav(r.body)
                    self.assertEqual((channels, width, rate, frames), (1, 2, 44100, (n - 44) // 2))
                    self.assertEqual(r.header("Content-Type"), "audio/wav")

    def test_nested_fill_is_brackets_only(self):
        for n in (2, 512, 200000, 1048576):
            with self.subTest(size=n):
                r = self.fault_reply({"type": "reply", "status": 200, "body_size": n, "fill": "nested"})
                self.assertEqual(r.header("Content-Length"), str(n))
                self.assertEqual(r.body, b"[" * (n // 2) + b"]" * (n // 2))
                self.assertTrue(r.header("Content-Type").startswith("application/json"))

    def test_keys_fill_is_one_object_of_distinct_names(self):
        for n in (2, 7, 8, 14, 15, 100, 1048576):
            with self.subTest(size=n):
                r = self.fault_reply({"type": "reply", "status": 403, "body_size": n, "fill": "keys"})
                self.assertEqual(r.header("Content-Length"), str(n))
                self.assertEqual(len(r.body), n)
                pairs = json.loads(r.body, object_pairs_hook=lambda p: p)
                self.assertEqual([k for k, _ in pairs], ["k%d" % i for i in range(len(pairs))])
                self.assertTrue(all(v == 0 for _, v in pairs))
                # As many as fit: the blanks left are fewer than the next name needs.
                self.assertLess(n - len(r.body.rstrip(b" }")) - 1, len(',"k%d":0' % len(pairs)))
                self.assertTrue(r.header("Content-Type").startswith("application/json"))

    def test_fields_change_the_normal_reply(self):
        token = self.token()
        add_fault("catalog", {"type": "fields", "set": {"total": [1, 2], "name": {"a": 1}, "extra": None},
                              "items": [{}, {"name": True, "id": None}]})
        conn = http.client.HTTPSConnection(SITE, 443, context=CTX, timeout=10)
        try:
            for expect_changed in (True, False):
                conn.request("GET", self.TARGET, headers={"Authorization": "Bearer " + token})
                resp = conn.getresponse()
                reply = json.loads(resp.read())
                self.assertEqual(resp.status, 200)
                self.assertIsNone(resp.getheader("Connection"), "the connection stays open")
                first, second = reply["items"][0], reply["items"][1]
                self.assertEqual(first["name"], "Deep Kick 01")
                self.assertEqual(reply["items"][2]["name"], "Deep Kick 03")
                self.assertEqual(len(reply["items"]), 8)
                if expect_changed:
                    self.assertEqual((reply["total"], reply["name"], reply["extra"]), ([1, 2], {"a": 1}, None))
                    self.assertEqual((second["name"], second["id"], second["owned"]), (True, None, False))
                else:
                    self.assertEqual((reply["total"], reply["name"], second["id"]), (36, "Demo Studio", 2))
                    self.assertNotIn("extra", reply)
        finally:
            conn.close()
        # A reply that is no JSON object goes out unchanged.
        add_fault("download", {"type": "fields", "set": {"x": 1}})
        status, data = api("GET", "download/3", token)
        self.assertEqual(status, 200)
        self.assertEqual(data[:4], b"RIFF")

    def test_delay_then_normal_reply(self):
        r = self.fault_reply({"type": "delay", "ms": 700}, headers=(("Connection", "close"),))
        self.assertGreaterEqual(r.t_head, 0.7)
        self.assertLess(r.t_head, 3.0)
        self.assertEqual(r.status, 401, "the normal reply follows: no token was sent")
        self.assertTrue(json.loads(r.body)["message"])

    def test_hold_until_released(self):
        for label, let_go in (("release", lambda: control("release")), ("reset", lambda: control("reset"))):
            with self.subTest(label):
                add_fault("", {"type": "hold"})
                box = {}
                client = threading.Thread(target=lambda: box.update(
                    r=raw("GET", self.TARGET, headers=(("Connection", "close"),), wait=70)))
                client.start()
                for _ in range(600):
                    if control("held", method="GET")[1]["held"] == 1:
                        break
                    time.sleep(0.05)
                self.assertEqual(control("held", method="GET")[1], {"held": 1})
                self.assertTrue(client.is_alive(), "a held request gets no reply")
                self.assertEqual(let_go(), (200, {"ok": True, "released": 1} if label == "release" else {"ok": True}))
                client.join(30)
                self.assertEqual(box["r"].status, 401, "the normal reply follows: no token was sent")
                self.assertLess(box["r"].t_head, 30.0, "let go, not timed out")
                self.assertEqual(control("held", method="GET")[1], {"held": 0})

        # A release that comes before the request still lets it through.
        add_fault("", {"type": "hold"})
        self.assertEqual(control("release")[1]["released"], 1)
        self.assertLess(raw("GET", self.TARGET, headers=(("Connection", "close"),), wait=70).t_head, 30.0)
        self.assertEqual(control("release")[1]["released"], 0)

    def test_no_answer_closes_after_the_wait(self):
        r = self.fault_reply({"type": "no_answer", "ms": 1000})
        self.assertEqual(r.data, b"")
        self.assertTrue(r.closed)
        self.assertTrue(0.9 <= r.t_close < 3.0, r.t_close)

    def test_stall_body_sends_head_only(self):
        r = self.fault_reply({"type": "stall_body", "status": 200, "length": 500, "ms": 1000})
        self.assertEqual(r.status, 200)
        self.assertEqual(r.header("Content-Length"), "500")
        self.assertLess(r.t_head, 0.5)
        self.assertEqual(r.body, b"")
        self.assertTrue(r.closed)
        self.assertTrue(0.9 <= r.t_close < 3.0, r.t_close)
        r = self.fault_reply({"type": "stall_body", "status": 200, "length": 500, "ms": 300, "body": "{\"a\":"})
        self.assertEqual(r.body, b'{"a":')

    def test_trickle_spreads_the_body(self):
        for cl, declared in (("auto", "1000"), ("none", None)):
            with self.subTest(content_length=cl):
                r = self.fault_reply({"type": "trickle", "status": 200, "total": 1000, "chunk": 100,
                                      "interval_ms": 100, "content_length": cl})
                self.assertEqual(r.header("Content-Length"), declared)
                self.assertEqual(len(r.body), 1000)
                self.assertTrue(r.closed)
                self.assertLess(r.t_head, 0.5)
                self.assertGreaterEqual(r.marks[-1][0], 0.85)
                self.assertLess(r.marks[-1][0], 3.0)
                self.assertGreaterEqual(len(r.marks), 5, "arrived in pieces")

    def test_trickled_head(self):
        r = self.fault_reply({"type": "trickle", "status": 200, "total": 10, "chunk": 40, "interval_ms": 100,
                              "trickle_head": True})
        self.assertEqual(r.status, 200)
        self.assertEqual(len(r.body), 10)
        self.assertGreaterEqual(r.t_head, 0.2, "the head came in pieces")
        self.assertGreaterEqual(len(r.marks), 3)

    def test_reset_part_way(self):
        for cl in ("chunked", "none", "auto"):
            with self.subTest(content_length=cl):
                r = self.fault_reply({"type": "reply", "status": 200, "body_size": 8924, "fill": "bytes",
                                      "content_length": cl, "reset_after": 3000})
                self.assertTrue(r.closed)
                self.assertEqual(r.status, 200)
                body = r.body
                if cl == "chunked":
                    self.assertTrue(body.startswith(b"%x\r\n" % 8924), "the cut chunk announces its whole size")
                    body = body[body.index(b"\r\n") + 2:]
                self.assertEqual(body, bytes(range(256)) * 11 + bytes(range(184)))

    def test_redirect_is_a_plain_reply(self):
        for status in (301, 302, 307, 308):
            with self.subTest(status=status):
                control("reset")
                add_fault("catalog", {"type": "redirect", "status": status, "location": "https://elsewhere.example/x"})
                conn = http.client.HTTPSConnection(SITE, 443, context=CTX, timeout=10)
                conn.request("GET", self.TARGET)
                resp = conn.getresponse()
                body = resp.read()
                conn.close()
                self.assertEqual(resp.status, status)
                self.assertEqual(resp.getheader("Location"), "https://elsewhere.example/x")
                self.assertEqual(int(resp.getheader("Content-Length")), len(body))
                self.assertGreater(len(body), 0)
                self.assertEqual(len(control("requests", method="GET")[1]), 1)

    def test_match_order_count_and_method(self):
        preview = "/wp-content/uploads/brevant-previews/preview-%d.wav"
        add_fault("preview-3.wav", {"type": "reply", "status": 500}, count=2)
        add_fault("preview-", {"type": "reply", "status": 503}, count=-1)
        add_fault("", {"type": "reply", "status": 418}, count=-1, method="POST")
        seq = [(preview % 3, 500), (preview % 3, 500), (preview % 3, 503), (preview % 4, 503), ("/my-account-2/", 200)]
        for target, want in seq:
            self.assertEqual(request("GET", target)[0], want, target)
        self.assertEqual(request("POST", rest_target("start"), "{}")[0], 418)
        remaining = control("faults", method="GET")[1]
        self.assertEqual([f["match"] for f in remaining], ["preview-", ""])
        control("reset")
        self.assertEqual(request("GET", preview % 4)[0], 200)

    def test_control_requests_are_neither_faulted_nor_logged(self):
        add_fault("", {"type": "no_answer", "ms": 5000}, count=-1)
        t0 = time.monotonic()
        self.assertEqual(control("requests", method="GET"), (200, []))
        self.assertEqual(control("issue-token")[0], 200)
        self.assertEqual(control("confirm", {"user_code": "NOSUCHCODE"})[0], 404)
        self.assertLess(time.monotonic() - t0, 2.0)
        control("reset")
        self.assertEqual(request("GET", "/my-account-2/")[0], 200)

    def test_bad_faults_are_refused(self):
        bad = [
            {"match": "", "fault": {"type": "explode"}},
            {"match": "", "fault": {"type": "delay", "ms": -1}},
            {"match": "", "fault": {"type": "delay", "ms": 600000}},
            {"match": "", "fault": {"type": "reply", "body_size": 1, "fill": "json"}},
            {"match": "", "fault": {"type": "reply", "body_size": 10, "fill": "wav"}},
            {"match": "", "fault": {"type": "reply", "body_size": 10, "fill": "mud"}},
            {"match": "", "fault": {"type": "reply", "body_size": 11, "fill": "nested"}},
            {"match": "", "fault": {"type": "reply", "body_size": 0, "fill": "nested"}},
            {"match": "", "fault": {"type": "fields"}},
            {"match": "", "fault": {"type": "fields", "set": [1]}},
            {"match": "", "fault": {"type": "fields", "items": [{}, 2]}},
            {"match": "", "fault": {"type": "reply", "content_length": "maybe"}},
            {"match": "", "fault": {"type": "reply", "reset_after": -1}},
            {"match": "", "fault": {"type": "trickle", "trickle_head": 1}},
            {"match": "", "fault": {"type": "redirect", "status": 200, "location": "/"}},
            {"match": "", "fault": {"type": "redirect", "status": 302}},
            {"match": "", "count": 0, "fault": {"type": "delay"}},
            {"match": 3, "fault": {"type": "delay"}},
        ]
        for spec in bad:
            with self.subTest(spec=spec):
                status, reply = control("fault", spec)
                self.assertEqual(status, 400)
                self.assertTrue(reply["message"])
        self.assertEqual(control("faults", method="GET")[1], [])


class RequestLogTest(Base):
    def test_log_keeps_the_wire_form(self):
        body = b'{\r\n  "user_code": "X",\r\n  "device_code": "Y"\r\n}'
        sent = [("User-Agent", "curl/7.88.1"), ("Accept", "application/json"),
                ("Content-Type", "application/json"), ("Content-length", str(len(body))), ("Connection", "close")]
        raw("POST", rest_target("poll"), sent, body)
        target = REST + "catalog&page=2&search"
        raw("GET", target, [("accept", "application/json"), ("Authorization", "Bearer abc"),
                            ("X-Empty", ""), ("Connection", "close")])
        status, headers, _ = request("GET", "/sound-library-preview/", headers={"X-Order": "last"})
        status, log = control("requests", method="GET")
        self.assertEqual(status, 200)
        self.assertEqual([(e["method"], e["target"]) for e in log],
                         [("POST", REST + "poll"), ("GET", target), ("GET", "/sound-library-preview/")])
        self.assertEqual(log[0]["request_line"], "POST %spoll HTTP/1.1" % REST)
        self.assertEqual(log[0]["headers"], [["Host", SITE]] + [list(h) for h in sent])
        self.assertEqual(base64.b64decode(log[0]["body_b64"]), body)
        self.assertEqual(log[1]["request_line"], "GET %s HTTP/1.1" % target)
        self.assertEqual(log[1]["headers"], [["Host", SITE], ["accept", "application/json"],
                                             ["Authorization", "Bearer abc"], ["X-Empty", ""],
                                             ["Connection", "close"]])
        self.assertEqual(log[1]["body_b64"], "")
        self.assertEqual(log[2]["headers"][0][0], "Host")
        self.assertEqual(log[2]["headers"][-1], ["X-Order", "last"])
        self.assertLessEqual(log[0]["time"], log[1]["time"])
        self.assertEqual([e["done"] for e in log], [True, True, True])
        control("reset")
        self.assertEqual(control("requests", method="GET")[1], [])


class TrustTest(unittest.TestCase):
    def test_untrusted_host_is_refused(self):
        with self.assertRaises(ssl.SSLCertVerificationError):
            request("GET", "/", host=UNTRUSTED)
        # It is the certificate that fails, not a missing server.
        loose = ssl.create_default_context()
        loose.check_hostname, loose.verify_mode = False, ssl.CERT_NONE
        conn = http.client.HTTPSConnection(UNTRUSTED, 443, context=loose, timeout=10)
        conn.request("GET", "/")
        self.assertEqual(conn.getresponse().status, 200)
        conn.close()

    def test_name_must_match_the_certificate(self):
        sock = socket.create_connection((SITE, 443), timeout=5)
        with self.assertRaises(ssl.SSLCertVerificationError):
            CTX.wrap_socket(sock, server_hostname="other." + SITE)
        sock.close()

    @unittest.skipUnless(shutil.which("curl"), "curl is not installed")
    def test_curl_trusts_only_the_test_ca(self):
        good = subprocess.run(["curl", "-sS", "-o", "/dev/null", "-w", "%{http_code}",
                               "https://%s/my-account-2/" % SITE], capture_output=True, text=True, timeout=20)
        self.assertEqual((good.returncode, good.stdout), (0, "200"))
        bad = subprocess.run(["curl", "-sS", "-o", "/dev/null", "https://%s/" % UNTRUSTED],
                             capture_output=True, text=True, timeout=20)
        self.assertEqual(bad.returncode, 60, bad.stderr)


if __name__ == "__main__":
    if not (SITE and UNTRUSTED and HARNESS_DIR):
        sys.exit("run me through the harness: tools/harness/run.sh -- python3 %s" % sys.argv[0])
    unittest.main(verbosity=2)
