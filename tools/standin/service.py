#!/usr/bin/env python3
"""Stand-in for the Brevant web service, for tests only.

Serves the plug-in's REST routes, the sign-in confirmation page, the site
pages and the previews over HTTPS, with a demo catalog synthesised at run
time. A control API under /__control/ lets tests inject faults, read the
raw requests and steer the sign-in state. Standard library only.
"""

import argparse
import base64
import html
import http
import io
import json
import math
import os
import random
import secrets
import signal
import socket
import ssl
import string
import struct
import sys
import threading
import time
import urllib.parse
import wave
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

REST_PREFIX = "/brv-tolvane/v1/"
PAGE_SIZE = 8
RATE = 44100
ACCOUNT_NAME = "Demo Studio"
ACCOUNT_CREDITS = 3
NO_ROUTE = "No route was found matching the URL and request method."
NOT_OWNED = "This sound is not unlocked for your account."

# Hard ceilings so a badly written test can never wedge a run.
MAX_WAIT_MS = 60_000
MAX_BODY = 64 * 1024 * 1024
MAX_LOG = 5_000
MAX_SIGNINS = 10_000
IDLE_TIMEOUT_S = 30
HANDSHAKE_TIMEOUT_S = 10

CODE_ALPHABET = string.ascii_letters + string.digits
USER_CODE_ALPHABET = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789"


def random_code(n, alphabet=CODE_ALPHABET):
    return "".join(secrets.choice(alphabet) for _ in range(n))


# ---------------------------------------------------------------- sounds

KINDS = [
    # name, seconds, synthesiser key
    ("Deep Kick", 1.0, "kick"),
    ("Dusty Snare", 1.0, "snare"),
    ("Closed Hat", 1.0, "chat"),
    ("Open Hat", 1.2, "ohat"),
    ("Rim Clap", 1.0, "clap"),
    ("Sub Bass", 1.5, "sub"),
    ("Pluck Bass", 1.5, "pluck"),
    ("Warm Pad", 2.0, "pad"),
    ("Crème Pad", 2.0, "pad2"),
]
VARIANTS = 4


def _envelope_adsr(t, dur, attack, release):
    if t < attack:
        return t / attack
    if t > dur - release:
        return max(0.0, (dur - t) / release)
    return 1.0


def _synth(key, variant, dur, rng):
    """Returns (left, right) as lists of floats."""
    n = int(dur * RATE)
    left = [0.0] * n
    right = [0.0] * n
    exp, sin, tau = math.exp, math.sin, 2.0 * math.pi
    gl, gr = (0.95, 0.75) if variant % 2 else (0.75, 0.95)
    if key == "kick":
        f0, f1, phase = 140.0 + 15 * variant, 42.0 + 2 * variant, 0.0
        for i in range(n):
            t = i / RATE
            phase += tau * (f1 + (f0 - f1) * exp(-t * 28.0)) / RATE
            m = sin(phase) * exp(-t * (5.0 + variant))
            left[i], right[i] = m * gl, m * gr
    elif key == "snare":
        ft = 170.0 + 20 * variant
        for i in range(n):
            t = i / RATE
            m = 0.5 * sin(tau * ft * t) * exp(-t * 22.0)
            m += 0.6 * (rng.random() * 2 - 1) * exp(-t * (11.0 + 2 * variant))
            left[i], right[i] = m * gl, m * gr
    elif key in ("chat", "ohat"):
        decay = (38.0 + 6 * variant) if key == "chat" else (5.0 + variant)
        prev_l = prev_r = 0.0
        for i in range(n):
            t = i / RATE
            e = exp(-t * decay)
            a, b = rng.random() * 2 - 1, rng.random() * 2 - 1
            left[i], right[i] = (a - prev_l) * 0.5 * e, (b - prev_r) * 0.5 * e
            prev_l, prev_r = a, b
    elif key == "clap":
        bursts = (0.0, 0.011, 0.023, 0.034 + 0.003 * variant)
        for i in range(n):
            t = i / RATE
            e = 0.0
            for b in bursts:
                if t >= b:
                    e = max(e, exp(-(t - b) * (60.0 if b != bursts[-1] else 14.0)))
            m = (rng.random() * 2 - 1) * e
            left[i], right[i] = m * gl, m * gr
    elif key in ("sub", "pluck"):
        base = (41.2, 49.0, 55.0, 61.7)[variant] * (1 if key == "sub" else 2)
        for i in range(n):
            t = i / RATE
            if key == "sub":
                m = sin(tau * base * t) * _envelope_adsr(t, dur, 0.005, 0.25)
            else:
                m = 0.0
                for h in range(1, 7):
                    m += sin(tau * base * h * t) * exp(-t * (2.5 + 1.5 * h)) / h
                m *= min(1.0, t / 0.002)
            left[i], right[i] = m * gl, m * gr
    else:  # pads: detuned chord, slightly different per channel
        roots = (110.0, 130.8, 146.8, 164.8) if key == "pad" else (196.0, 174.6, 220.0, 233.1)
        root = roots[variant]
        chord = (root, root * 1.2599, root * 1.4983)
        trem = 0.0 if key == "pad" else 4.0
        for i in range(n):
            t = i / RATE
            e = _envelope_adsr(t, dur, 0.35, 0.5) * (1.0 - 0.2 * trem / 4 * (0.5 + 0.5 * sin(tau * trem * t)))
            lv = rv = 0.0
            for f in chord:
                lv += sin(tau * f * 0.997 * t)
                rv += sin(tau * f * 1.003 * t)
            left[i], right[i] = lv * e / 3, rv * e / 3
    return left, right


def _pcm16(samples, peak):
    scale = 0.8 * 32767 / peak if peak > 0 else 0.0
    return struct.pack("<%dh" % len(samples), *(int(s * scale) for s in samples))


def _wav_bytes(channels, pcm):
    out = io.BytesIO()
    with wave.open(out, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(pcm)
    return out.getvalue()


class Sound:
    def __init__(self, sound_id, name, key, variant, dur):
        self.id, self.name, self.key, self.variant, self.dur = sound_id, name, key, variant, dur
        self._lock = threading.Lock()
        self._original = self._preview = None

    def _render(self):
        left, right = _synth(self.key, self.variant, self.dur, random.Random(self.id))
        peak = max(max(abs(v) for v in left), max(abs(v) for v in right))
        inter = [0.0] * (2 * len(left))
        inter[0::2], inter[1::2] = left, right
        self._original = _wav_bytes(2, _pcm16(inter, peak))
        # Previews: a mono mix-down of the opening, faded out, quieter.
        plen = int(min(0.8, self.dur * 0.6) * RATE)
        fade = int(0.1 * RATE)
        mono = []
        for i in range(plen):
            g = 0.7 * min(1.0, (plen - i) / fade)
            mono.append((left[i] + right[i]) * 0.5 * g)
        self._preview = _wav_bytes(1, _pcm16(mono, peak))

    # Rendered on first use: start-up stays fast when many runs go at once.
    def original(self):
        with self._lock:
            if self._original is None:
                self._render()
            return self._original

    def preview(self):
        with self._lock:
            if self._preview is None:
                self._render()
            return self._preview


def build_catalog():
    sounds = []
    for kind_index, (name, dur, key) in enumerate(KINDS):
        for v in range(VARIANTS):
            sid = kind_index * VARIANTS + v + 1
            sounds.append(Sound(sid, "%s %02d" % (name, v + 1), key, v, dur))
    return sounds


# ---------------------------------------------------------------- bodies for faults

def _chunks_of(data, size=65536):
    for i in range(0, len(data), size):
        yield data[i:i + size]


def fill_body(kind, n):
    """Yields exactly n bytes of the given kind, in pieces."""
    if kind == "json":
        if n < 2:
            raise ValueError("fill json needs body_size >= 2")
        if n < 10:  # too small for {"pad":""}: a blank-padded empty object
            yield b"{" + b" " * (n - 2) + b"}"
            return
        yield b'{"pad":"'
        rest = n - 10
        block = b"x" * 65536
        while rest > 0:
            piece = block[:min(rest, len(block))]
            rest -= len(piece)
            yield piece
        yield b'"}'
    elif kind == "bytes":
        block = bytes(range(256)) * 256
        rest = n
        while rest > 0:
            piece = block[:min(rest, len(block))]
            rest -= len(piece)
            yield piece
    elif kind == "nested":
        if n < 2 or n % 2:
            raise ValueError("fill nested needs an even body_size >= 2")
        for bracket in (b"[", b"]"):
            rest = n // 2
            block = bracket * 65536
            while rest > 0:
                piece = block[:min(rest, len(block))]
                rest -= len(piece)
                yield piece
    elif kind == "keys":
        if n < 2:
            raise ValueError("fill keys needs body_size >= 2")
        yield b"{"
        rest, i = n - 2, 0
        if rest >= 6:
            yield b'"k0":0'
            rest, i = rest - 6, 1
        while i:
            # A run of names of one length, each with its comma.
            size = len(b',"k%d":0' % i)
            count = min(10 ** len(str(i)) - i, rest // size, 4096)
            if count == 0:
                break
            yield b"".join(b',"k%d":0' % j for j in range(i, i + count))
            rest, i = rest - size * count, i + count
        yield b" " * rest + b"}"
    elif kind == "wav":
        if n < 44:
            raise ValueError("fill wav needs body_size >= 44")
        data_len = (n - 44) // 2 * 2
        trailing = (n - 44) - data_len  # odd sizes get one pad byte after the data chunk
        yield (b"RIFF" + struct.pack("<I", n - 8) + b"WAVE" +
               b"fmt " + struct.pack("<IHHIIHH", 16, 1, 1, RATE, RATE * 2, 2, 16) +
               b"data" + struct.pack("<I", data_len))
        # 441 Hz fits exactly 100 samples: repeat one period.
        period = struct.pack("<100h", *(int(12000 * math.sin(2 * math.pi * k / 100)) for k in range(100)))
        block = period * 320
        rest = data_len
        while rest > 0:
            piece = block[:min(rest, len(block))]
            rest -= len(piece)
            yield piece
        if trailing:
            yield b"\0"
    else:
        raise ValueError("unknown fill %r" % kind)


class ByteSource:
    """Reads exact-sized pieces from an iterator of byte strings."""

    def __init__(self, it):
        self._it, self._buf = iter(it), b""

    def take(self, n):
        while len(self._buf) < n:
            try:
                self._buf += next(self._it)
            except StopIteration:
                break
        out, self._buf = self._buf[:n], self._buf[n:]
        return out


# ---------------------------------------------------------------- state

class State:
    def __init__(self, site_host, token_ttl, device_ttl):
        self.site_host = site_host
        self.token_ttl = token_ttl
        self.device_ttl = device_ttl
        self.lock = threading.Lock()
        self.catalog = build_catalog()
        self.by_id = {s.id: s for s in self.catalog}
        self.owned = {s.id for s in self.catalog if s.id % 3 == 0}
        self.started = time.monotonic()
        self.gates = []    # one per hold fault added and not yet released
        self.holding = 0   # requests waiting at a gate now
        self.reset(state=True)

    def reset(self, state):
        with self.lock:
            self.faults = []
            self.log = []
            self.release_locked()
            if state:
                self.signins = {}  # device_code -> dict
                self.tokens = {}   # token -> expiry (monotonic)

    # --- sign-in
    def start_signin(self):
        with self.lock:
            now = time.monotonic()
            if len(self.signins) >= MAX_SIGNINS:
                self.signins = {d: s for d, s in self.signins.items() if now - s["created"] <= self.device_ttl}
            used = {s["user_code"] for s in self.signins.values()}
            user_code = random_code(10, USER_CODE_ALPHABET)
            while user_code in used:
                user_code = random_code(10, USER_CODE_ALPHABET)
            device_code = random_code(64)
            self.signins[device_code] = {"user_code": user_code, "created": now,
                                         "confirmed": False, "consumed": False}
            return device_code, user_code

    def signin_open(self, user_code):
        with self.lock:
            return self._find_user_code(user_code)[1] is not None

    def _find_user_code(self, user_code):
        for device_code, s in self.signins.items():
            if s["user_code"] == user_code and not s["consumed"]:
                return device_code, s
        return None, None

    def confirm(self, user_code):
        """Returns 'ok', 'unknown' or 'expired'."""
        with self.lock:
            _, s = self._find_user_code(user_code)
            if s is None:
                return "unknown"
            if time.monotonic() - s["created"] > self.device_ttl:
                return "expired"
            s["confirmed"] = True
            return "ok"

    def confirm_all(self):
        with self.lock:
            now = time.monotonic()
            codes = []
            for s in self.signins.values():
                if not s["consumed"] and not s["confirmed"] and now - s["created"] <= self.device_ttl:
                    s["confirmed"] = True
                    codes.append(s["user_code"])
            return codes

    def pending(self):
        with self.lock:
            now = time.monotonic()
            return [{"user_code": s["user_code"], "device_code": d, "confirmed": s["confirmed"],
                     "expired": now - s["created"] > self.device_ttl}
                    for d, s in self.signins.items() if not s["consumed"]]

    def poll(self, user_code, device_code):
        """Returns (status, payload)."""
        with self.lock:
            s = self.signins.get(device_code)
            if s is None or s["user_code"] != user_code:
                return 400, {"code": "invalid_code", "message": "Unknown or mismatched sign-in code."}
            if s["consumed"]:
                return 400, {"code": "used_code", "message": "This sign-in code has already been used."}
            if time.monotonic() - s["created"] > self.device_ttl:
                return 410, {"code": "expired_code", "message": "This sign-in code has expired. Start again."}
            if not s["confirmed"]:
                return 202, {"status": "pending"}
            s["consumed"] = True
            return 200, {"access_token": self._issue_locked(self.token_ttl)}

    # --- tokens
    def _issue_locked(self, ttl):
        token = random_code(64)
        self.tokens[token] = time.monotonic() + ttl
        return token

    def issue(self, ttl=None):
        with self.lock:
            return self._issue_locked(self.token_ttl if ttl is None else ttl)

    def token_ok(self, token):
        with self.lock:
            exp = self.tokens.get(token)
            return exp is not None and time.monotonic() < exp

    def revoke(self, token):
        with self.lock:
            return self.tokens.pop(token, None) is not None

    def expire(self, token):
        with self.lock:
            if token not in self.tokens:
                return False
            self.tokens[token] = 0.0
            return True

    # --- faults and log
    def record(self, entry):
        with self.lock:
            if len(self.log) >= MAX_LOG:
                del self.log[0]
            self.log.append(entry)

    def take_fault(self, method, target):
        """Returns (fault, gate); the gate is the hold fault's, else None."""
        with self.lock:
            for f in self.faults:
                if f["match"] in target and (f["method"] is None or f["method"] == method):
                    if f["count"] > 0:
                        f["count"] -= 1
                        if f["count"] == 0:
                            self.faults.remove(f)
                    return f["fault"], f.get("gate")
            return None, None

    def add_fault(self, entry):
        with self.lock:
            if entry["fault"]["type"] == "hold":
                # Made when the fault is added, so a release that comes before the request still counts.
                entry["gate"] = threading.Event()
                self.gates.append(entry["gate"])
            self.faults.append(entry)

    def release_locked(self):
        for gate in self.gates:
            gate.set()
        released, self.gates = len(self.gates), []
        return released

    def release(self):
        with self.lock:
            return self.release_locked()


# ---------------------------------------------------------------- fault validation

FAULT_TYPES = ("delay", "hold", "no_answer", "stall_body", "reply", "trickle", "redirect", "fields")


def _int(spec, key, default=None, lo=None, hi=None):
    v = spec.get(key, default)
    if isinstance(v, bool) or not isinstance(v, int):
        raise ValueError("%s must be an integer" % key)
    if lo is not None and v < lo:
        raise ValueError("%s must be >= %d" % (key, lo))
    if hi is not None and v > hi:
        raise ValueError("%s must be <= %d" % (key, hi))
    return v


def _content_length_option(spec):
    cl = spec.get("content_length", "auto")
    if cl in ("auto", "none", "chunked"):
        return cl
    if isinstance(cl, bool) or not isinstance(cl, int) or cl < 0:
        raise ValueError('content_length must be "auto", "none", "chunked" or an integer >= 0')
    return cl


def _headers_option(spec):
    h = spec.get("headers", {})
    if not isinstance(h, dict) or not all(isinstance(k, str) and (v is None or isinstance(v, (str, int)))
                                          for k, v in h.items()):
        raise ValueError("headers must map names to strings (or null to drop a default)")
    return h


def _body_option(spec, allow_size=True):
    """Returns (size, pieces, fill kind or None) for the body a fault sends."""
    if "body_b64" in spec:
        data = base64.b64decode(spec["body_b64"], validate=True)
        return len(data), iter([data]), None
    if "body" in spec:
        if not isinstance(spec["body"], str):
            raise ValueError("body must be text")
        data = spec["body"].encode("utf-8")
        return len(data), iter([data]), None
    if allow_size and "body_size" in spec:
        n = _int(spec, "body_size", lo=0, hi=MAX_BODY)
        kind = spec.get("fill", "bytes")
        pieces = fill_body(kind, n)
        first = next(pieces, b"")  # raises now for a bad kind or size
        return n, _prepend(first, pieces), kind
    return 0, iter([]), None


def _prepend(first, rest):
    yield first
    yield from rest


def validate_fault(f):
    if not isinstance(f, dict):
        raise ValueError("fault must be an object")
    kind = f.get("type")
    if kind not in FAULT_TYPES:
        raise ValueError("fault type must be one of " + ", ".join(FAULT_TYPES))
    if "ms" in f or kind in ("delay", "hold", "no_answer", "stall_body"):
        _int(f, "ms", 1000, 0, MAX_WAIT_MS)
    if kind in ("stall_body", "reply", "trickle"):
        _int(f, "status", 200, 100, 999)
        _headers_option(f)
    if kind in ("reply", "trickle") and "reset_after" in f:
        _int(f, "reset_after", lo=0, hi=MAX_BODY)
    if kind == "trickle" and not isinstance(f.get("trickle_head", False), bool):
        raise ValueError("trickle_head must be true or false")
    if kind == "stall_body":
        _int(f, "length", 1024, 0)
        _body_option(f, allow_size=False)
    elif kind == "reply":
        _content_length_option(f)
        _body_option(f)
    elif kind == "trickle":
        _content_length_option(f)
        total = _int(f, "total", 4096, 0, MAX_BODY)
        _int(f, "chunk", 256, 1, MAX_BODY)
        _int(f, "interval_ms", 100, 0, MAX_WAIT_MS)
        next(fill_body(f.get("fill", "bytes"), total), None)
    elif kind == "fields":
        changes = f.get("set", {})
        item_changes = f.get("items", [])
        if not isinstance(changes, dict):
            raise ValueError("set must be an object")
        if not isinstance(item_changes, list) or not all(isinstance(c, dict) for c in item_changes):
            raise ValueError("items must be an array of objects")
        if not changes and not item_changes:
            raise ValueError("fields needs set or items")
    elif kind == "redirect":
        s = _int(f, "status", 302)
        if s not in (301, 302, 303, 307, 308):
            raise ValueError("redirect status must be 301, 302, 303, 307 or 308")
        if not isinstance(f.get("location"), str):
            raise ValueError("redirect needs a location")
        _headers_option(f)


def changed_fields(obj, fault):
    """The service's JSON object with the fault's values put in: "set" at the top, "items" element by element."""
    out = dict(obj)
    out.update(fault.get("set", {}))
    items = out.get("items")
    if isinstance(items, list):
        items = [dict(item) if isinstance(item, dict) else item for item in items]
        for item, changes in zip(items, fault.get("items", [])):
            if isinstance(item, dict):
                item.update(changes)
        out["items"] = items
    return out


# ---------------------------------------------------------------- HTTP

def reason_of(status):
    try:
        return http.HTTPStatus(status).phrase
    except ValueError:
        return "Status %d" % status


def page_html(title, body):
    return ("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>%s</title></head>\n"
            "<body><h1>%s</h1>\n%s\n</body></html>\n" % (html.escape(title), html.escape(title), body))


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "BrevantStandin/1"
    timeout = IDLE_TIMEOUT_S
    field_changes = None  # a "fields" fault for the request being answered

    def log_message(self, fmt, *args):  # quiet: tests read the control log instead
        pass

    # --- plumbing
    @property
    def state(self):
        return self.server.state

    def _read_body(self):
        te = (self.headers.get("Transfer-Encoding") or "").lower()
        if "chunked" in te:
            out = bytearray()
            for _ in range(1_000_000):
                line = self.rfile.readline(1024)
                size = int(line.split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline(8192) not in (b"\r\n", b"\n", b""):
                        pass
                    break
                if len(out) + size > MAX_BODY:
                    raise ValueError("body too large")
                out += self.rfile.read(size)
                self.rfile.readline(8)
            return bytes(out)
        length = self.headers.get("Content-Length")
        if length is None:
            return b""
        n = int(length)
        if n < 0 or n > MAX_BODY:
            raise ValueError("bad length")
        return self.rfile.read(n)

    def _head(self, status, headers, reason=None):
        lines = ["HTTP/1.1 %d %s" % (status, reason or reason_of(status))]
        lines += ["%s: %s" % (k, v) for k, v in headers]
        return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")

    def _send(self, status, body, ctype, extra=()):
        headers = [("Server", self.server_version), ("Content-Type", ctype),
                   ("Content-Length", str(len(body)))]
        headers += list(extra)
        if self.close_connection:
            headers.append(("Connection", "close"))
        self.wfile.write(self._head(status, headers) + (b"" if self.command == "HEAD" else body))

    def _json(self, status, obj, extra=()):
        if self.field_changes is not None and isinstance(obj, dict):
            obj = changed_fields(obj, self.field_changes)
        self._send(status, json.dumps(obj, ensure_ascii=False).encode("utf-8"),
                   "application/json; charset=UTF-8", extra)

    def _html(self, status, title, body):
        self._send(status, page_html(title, body).encode("utf-8"), "text/html; charset=UTF-8")

    def _wait(self, ms):
        # Ends early on shutdown so no handler outlives the service.
        self.server.stopping.wait(min(ms, MAX_WAIT_MS) / 1000.0)

    def _hold(self, gate, ms):
        st = self.state
        with st.lock:
            st.holding += 1
        try:
            deadline = time.monotonic() + min(ms, MAX_WAIT_MS) / 1000.0
            while not gate.is_set() and not self.server.stopping.is_set() and time.monotonic() < deadline:
                gate.wait(0.05)
        finally:
            with st.lock:
                st.holding -= 1

    def do_GET(self):
        self._dispatch()

    do_POST = do_PUT = do_DELETE = do_PATCH = do_HEAD = do_OPTIONS = do_GET

    def _dispatch(self):
        self.field_changes = None
        try:
            body = self._read_body()
        except (ValueError, OSError):
            self.close_connection = True
            self._json(400, {"message": "Malformed request body."})
            return
        target = self.path
        split = urllib.parse.urlsplit(target)
        if split.path.startswith("/__control/"):
            self._control(split.path[len("/__control/"):], body)
            return
        entry = {
            "time": round(time.monotonic() - self.state.started, 4),
            "method": self.command,
            "target": target,
            "request_line": self.requestline,
            "headers": [[k, v] for k, v in self.headers.items()],
            "body_b64": base64.b64encode(body).decode("ascii"),
            "done": False,
        }
        self.state.record(entry)
        try:
            self._answer(split, target, body)
        finally:
            with self.state.lock:
                entry["done"] = True

    def _answer(self, split, target, body):
        fault, gate = self.state.take_fault(self.command, target)
        if fault is not None:
            if fault["type"] == "delay":
                self._wait(fault.get("ms", 1000))
            elif fault["type"] == "fields":
                self.field_changes = fault
            elif fault["type"] == "hold":
                self._hold(gate, fault.get("ms", MAX_WAIT_MS))
            else:
                self.close_connection = True
                self._apply_fault(fault)
                return
        self._route(split, body)

    # --- faults
    def _fault_headers(self, f, defaults):
        """User headers first, then defaults the user did not name; null drops a default."""
        user = _headers_option(f)
        named = {k.lower() for k in user}
        out = [(k, str(v)) for k, v in user.items() if v is not None]
        out += [(k, v) for k, v in defaults if k.lower() not in named]
        return out

    def _apply_fault(self, f):
        kind = f["type"]
        if kind == "no_answer":
            self._wait(f.get("ms", 1000))
            return
        if kind == "redirect":
            loc = f["location"]
            body = f.get("body", '<html><body><a href="%s">Moved</a></body></html>' % html.escape(loc)).encode()
            hdrs = self._fault_headers(f, [("Location", loc), ("Content-Type", "text/html; charset=UTF-8"),
                                           ("Content-Length", str(len(body))), ("Connection", "close")])
            self.wfile.write(self._head(f["status"], hdrs) + body)
            return
        status = f.get("status", 200)
        if kind == "stall_body":
            _, pieces, _ = _body_option(f, allow_size=False)
            hdrs = self._fault_headers(f, [("Content-Type", "application/json; charset=UTF-8"),
                                           ("Content-Length", str(f.get("length", 1024))),
                                           ("Connection", "close")])
            self.wfile.write(self._head(status, hdrs) + b"".join(pieces))
            self._wait(f.get("ms", 1000))
            return
        if kind == "reply":
            size, pieces, fill = _body_option(f)
            self._stream(f, status, size, pieces, fill, chunk=None, interval_ms=0)
            return
        if kind == "trickle":
            total = f.get("total", 4096)
            fill = f.get("fill", "bytes")
            self._stream(f, status, total, fill_body(fill, total), fill,
                         chunk=f.get("chunk", 256), interval_ms=f.get("interval_ms", 100))

    def _stream(self, f, status, size, pieces, fill, chunk, interval_ms):
        ctype = {"wav": "audio/wav", "bytes": "application/octet-stream"}.get(fill, "application/json; charset=UTF-8")
        cl = _content_length_option(f)
        defaults = [("Content-Type", ctype)]
        if cl == "auto":
            defaults.append(("Content-Length", str(size)))
        elif cl == "chunked":
            defaults.append(("Transfer-Encoding", "chunked"))
        elif cl != "none":
            defaults.append(("Content-Length", str(cl)))
        defaults.append(("Connection", "close"))
        head = self._head(status, self._fault_headers(f, defaults))
        step = chunk or 65536
        deadline = time.monotonic() + MAX_WAIT_MS / 1000.0
        if f.get("trickle_head", False):
            for i in range(0, len(head), step):
                if i:
                    self._wait(interval_ms)
                if self.server.stopping.is_set() or time.monotonic() > deadline:
                    return
                self.wfile.write(head[i:i + step])
            head = b""
        reset_after = f.get("reset_after")
        src = ByteSource(pieces)
        sent = 0
        for i in range(size // step + 2):
            if i and interval_ms:
                self._wait(interval_ms)
            if self.server.stopping.is_set() or time.monotonic() > deadline:
                return
            piece = src.take(step)
            if not piece:
                break
            cut = reset_after is not None and sent + len(piece) >= reset_after
            data = piece[:reset_after - sent] if cut else piece
            sent += len(data)
            if cl == "chunked":  # a cut chunk still announces its whole size
                data = b"%x\r\n%s" % (len(piece), data) + (b"" if cut else b"\r\n")
            # A reply without pauses goes out with its head in one write, so that both arrive together.
            self.wfile.write(head + data)
            head = b""
            if cut:
                self._reset()
                return
        if head:
            self.wfile.write(head)
        if reset_after is not None:
            self._reset()
            return
        if cl == "chunked":
            self.wfile.write(b"0\r\n\r\n")

    def _reset(self):
        # Lets what was sent arrive first, then drops the connection with a TCP reset and no TLS close.
        self._wait(100)
        self.reset_connection = True
        self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))

    # --- control API
    def _control(self, name, body):
        st = self.state
        try:
            args = json.loads(body.decode("utf-8")) if body.strip() else {}
            if not isinstance(args, dict):
                raise ValueError("body must be a JSON object")
        except (ValueError, UnicodeDecodeError) as e:
            self._json(400, {"message": "Bad control request: %s" % e})
            return
        post = self.command == "POST"
        if name == "reset" and post:
            st.reset(state=bool(args.get("state", False)))
            self._json(200, {"ok": True})
        elif name == "fault" and post:
            try:
                fault = args.get("fault")
                validate_fault(fault)
                match = args.get("match", "")
                if not isinstance(match, str):
                    raise ValueError("match must be text")
                count = _int(args, "count", 1)
                if count == 0 or count < -1:
                    raise ValueError("count must be -1 or above 0")
                method = args.get("method")
                if method is not None and not isinstance(method, str):
                    raise ValueError("method must be text")
            except (ValueError, TypeError) as e:
                self._json(400, {"message": "Bad fault: %s" % e})
                return
            st.add_fault({"match": match, "count": count, "method": method, "fault": fault})
            self._json(200, {"ok": True})
        elif name == "faults" and not post:
            with st.lock:
                self._json(200, [{k: v for k, v in f.items() if k != "gate"} for f in st.faults])
        elif name == "release" and post:
            self._json(200, {"ok": True, "released": st.release()})
        elif name == "held" and not post:
            with st.lock:
                self._json(200, {"held": st.holding})
        elif name == "requests" and not post:
            with st.lock:
                entries = list(st.log)
            self._json(200, entries)
        elif name == "confirm" and post:
            if args.get("all"):
                self._json(200, {"ok": True, "confirmed": st.confirm_all()})
                return
            result = st.confirm(str(args.get("user_code", "")))
            code = {"ok": 200, "unknown": 404, "expired": 410}[result]
            self._json(code, {"ok": result == "ok"} if code == 200 else {"message": "Code %s." % result})
        elif name == "signins" and not post:
            self._json(200, st.pending())
        elif name == "issue-token" and post:
            ttl = args.get("ttl")
            if ttl is not None and (isinstance(ttl, bool) or not isinstance(ttl, (int, float))):
                self._json(400, {"message": "ttl must be a number of seconds"})
                return
            self._json(200, {"access_token": st.issue(ttl)})
        elif name == "expire" and post:
            ok = st.expire(str(args.get("token", "")))
            self._json(200 if ok else 404, {"ok": True} if ok else {"message": "Unknown token."})
        else:
            self._json(404, {"message": "Unknown control request."})

    # --- site
    def _route(self, split, body):
        params = urllib.parse.parse_qsl(split.query, keep_blank_values=True)
        query = dict(params)
        path = split.path
        if path == "/" and "rest_route" in query:
            self._rest(query["rest_route"], query, body)
        elif path == "/wp-admin/admin-post.php":
            self._admin_post(query, body)
        elif path.startswith("/wp-content/uploads/brevant-previews/") and self.command in ("GET", "HEAD"):
            name = path.rsplit("/", 1)[1]
            sound = None
            if name.startswith("preview-") and name.endswith(".wav") and name[8:-4].isdigit():
                sound = self.state.by_id.get(int(name[8:-4]))
            if sound is None:
                self._html(404, "Not found", "<p>No such preview.</p>")
            else:
                self._send(200, sound.preview(), "audio/wav")
        elif path in ("/sound-library-preview/", "/sound-library-preview") and self.command in ("GET", "HEAD"):
            rows = "\n".join("<li>%s%s</li>" % (html.escape(s.name), " (unlocked)" if s.id in self.state.owned else "")
                             for s in self.state.catalog)
            self._html(200, "Sound library", "<p>Preview and unlock sounds.</p>\n<ul>\n%s\n</ul>" % rows)
        elif path in ("/my-account-2/", "/my-account-2") and self.command in ("GET", "HEAD"):
            self._html(200, "My account", "<p>%s &middot; %d credits</p><p>Your downloads are listed here.</p>"
                       % (html.escape(ACCOUNT_NAME), ACCOUNT_CREDITS))
        elif path == "/" and self.command in ("GET", "HEAD"):
            self._html(200, "Brevant", '<p><a href="/sound-library-preview/">Sound library</a></p>')
        else:
            self._html(404, "Not found", "<p>Nothing here.</p>")

    def _admin_post(self, query, body):
        form = dict(urllib.parse.parse_qsl(body.decode("utf-8", "replace"), keep_blank_values=True)) \
            if self.command == "POST" else {}
        action = form.get("action", query.get("action"))
        if action != "brv_tolvane_confirm":
            self._html(400, "Unknown action", "<p>This request is not understood.</p>")
            return
        user_code = form.get("user_code", query.get("user_code", ""))
        if self.command == "GET":
            if not self.state.signin_open(user_code):
                self._html(404, "Unknown code", "<p>This code is not known or was already used.</p>")
                return
            code = html.escape(user_code, quote=True)
            form_html = (
                '<p>Connect Brevant Tolvane with code <strong>%s</strong>?</p>\n'
                '<form method="POST" action="/wp-admin/admin-post.php?action=brv_tolvane_confirm">\n'
                '<input type="hidden" name="action" value="brv_tolvane_confirm">\n'
                '<input type="hidden" name="user_code" value="%s">\n'
                '<button type="submit">Confirm</button>\n</form>' % (code, code))
            self._html(200, "Confirm connection", form_html)
        elif self.command == "POST":
            result = self.state.confirm(user_code)
            if result == "ok":
                self._html(200, "Code confirmed", "<p>You can return to the plug-in now.</p>")
            elif result == "expired":
                self._html(410, "Code expired", "<p>Start the connection again in the plug-in.</p>")
            else:
                self._html(404, "Unknown code", "<p>This code is not known or was already used.</p>")
        else:
            self._html(400, "Unknown action", "<p>This request is not understood.</p>")

    def _token(self):
        auth = self.headers.get("Authorization") or ""
        scheme, _, token = auth.strip().partition(" ")
        token = token.strip()
        if scheme.lower() != "bearer" or not token or not self.state.token_ok(token):
            return None
        return token

    def _unauthorised(self):
        self._json(401, {"code": "rest_forbidden", "message": "Your connection has expired. Sign in again.",
                         "data": {"status": 401}})

    def _rest(self, route, query, body):
        st, m = self.state, self.command
        if not route.startswith(REST_PREFIX):
            self._json(404, {"code": "rest_no_route", "message": NO_ROUTE, "data": {"status": 404}})
            return
        route = route[len(REST_PREFIX):]
        if route == "start" and m == "POST":
            device_code, user_code = st.start_signin()
            self._json(200, {
                "device_code": device_code, "user_code": user_code,
                "verification_url": "https://%s/wp-admin/admin-post.php?action=brv_tolvane_confirm&user_code=%s"
                                    % (st.site_host, user_code)})
        elif route == "poll" and m == "POST":
            try:
                args = json.loads(body.decode("utf-8"))
                user_code, device_code = args["user_code"], args["device_code"]
                if not isinstance(user_code, str) or not isinstance(device_code, str):
                    raise TypeError
            except (ValueError, UnicodeDecodeError, KeyError, TypeError):
                self._json(400, {"code": "invalid_request", "message": "Send user_code and device_code."})
                return
            status, payload = st.poll(user_code, device_code)
            self._json(status, payload)
        elif route == "me" and m == "GET":
            if self._token() is None:
                self._unauthorised()
            else:
                self._json(200, {"name": ACCOUNT_NAME, "credits": ACCOUNT_CREDITS})
        elif route == "catalog" and m == "GET":
            if self._token() is None:
                self._unauthorised()
                return
            raw_page = query.get("page", "1")
            if not raw_page.isdigit() or int(raw_page) < 1:
                self._json(400, {"code": "rest_invalid_param", "message": "Invalid parameter(s): page"})
                return
            page = int(raw_page)
            needle = query.get("search", "").casefold()
            matches = [s for s in st.catalog if needle in s.name.casefold()]
            pages = max(1, -(-len(matches) // PAGE_SIZE))
            chunk = matches[(page - 1) * PAGE_SIZE: page * PAGE_SIZE]
            self._json(200, {
                "items": [{"id": s.id, "name": s.name, "owned": s.id in st.owned,
                           "preview_url": "https://%s/wp-content/uploads/brevant-previews/preview-%d.wav"
                                          % (st.site_host, s.id)} for s in chunk],
                "pages": pages, "name": ACCOUNT_NAME, "credits": ACCOUNT_CREDITS, "total": len(matches)})
        elif route.startswith("download/") and route[9:].isdigit() and m == "GET":
            if self._token() is None:
                self._unauthorised()
                return
            sound = st.by_id.get(int(route[9:]))
            if sound is None:
                self._json(404, {"code": "unknown_sound", "message": "This sound does not exist."})
            elif sound.id not in st.owned:
                self._json(403, {"code": "not_owned", "message": NOT_OWNED})
            else:
                self._send(200, sound.original(), "audio/wav",
                           [("Content-Disposition", 'attachment; filename="owned-%d.wav"' % sound.id)])
        elif route == "logout" and m == "POST":
            token = self._token()
            if token is None:
                self._unauthorised()
            else:
                st.revoke(token)
                self._json(200, {"ok": True})
        else:
            self._json(404, {"code": "rest_no_route", "message": NO_ROUTE, "data": {"status": 404}})

    def finish(self):
        try:
            super().finish()
        finally:
            # Send close_notify so close-delimited bodies end cleanly for the client.
            if (self.close_connection and isinstance(self.connection, ssl.SSLSocket)
                    and not getattr(self, "reset_connection", False)):
                try:
                    self.connection.settimeout(1.0)
                    self.connection.unwrap()
                except (OSError, ValueError):
                    pass


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, addr, context, state):
        self.context, self.state = context, state
        self.stopping = threading.Event()
        super().__init__(addr, Handler)

    def finish_request(self, request, client_address):
        # The TLS handshake runs here, on the connection's own thread, so a
        # client that never speaks cannot hold up accepting others.
        try:
            request.settimeout(HANDSHAKE_TIMEOUT_S)
            tls = self.context.wrap_socket(request, server_side=True)
        except (OSError, ValueError):
            return
        try:
            self.RequestHandlerClass(tls, client_address, self)
        finally:
            try:
                tls.close()
            except OSError:
                pass

    def handle_error(self, request, client_address):
        pass  # clients that hang up mid-reply are expected in fault tests


def main(argv=None):
    p = argparse.ArgumentParser(description="Stand-in Brevant web service (tests only).")
    p.add_argument("--site-host", default="brevant.example")
    p.add_argument("--bind", default="127.0.0.1")
    p.add_argument("--port", type=int, default=443)
    p.add_argument("--cert", required=True)
    p.add_argument("--key", required=True)
    p.add_argument("--token-ttl", type=float, default=3600)
    p.add_argument("--device-ttl", type=float, default=600)
    p.add_argument("--ready-file")
    a = p.parse_args(argv)

    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(a.cert, a.key)
    ctx.set_alpn_protocols(["http/1.1"])
    state = State(a.site_host, a.token_ttl, a.device_ttl)
    server = Server((a.bind, a.port), ctx, state)
    port = server.server_address[1]

    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, lambda *_: stop.set())
    loop = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True)
    loop.start()

    if a.ready_file:
        tmp = a.ready_file + ".tmp"
        with open(tmp, "w") as fh:
            json.dump({"pid": os.getpid(), "bind": a.bind, "port": port, "site_host": a.site_host}, fh)
        os.replace(tmp, a.ready_file)
    print("standin: https://%s/ on %s:%d" % (a.site_host, a.bind, port), flush=True)

    while not stop.wait(1.0):
        if not loop.is_alive():
            break
    server.stopping.set()
    server.shutdown()
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
