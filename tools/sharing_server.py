#!/usr/bin/env python3
"""Scripted sharing server: the HTTPS end of the helper's long-poll protocol,
for tests and demonstrations. Python 3 standard library only.

Usage:
  sharing_server.py --cert CERT.pem --key KEY.pem [--host 127.0.0.1] [--port 443]
                    [--script SCRIPT.json] [--record RECORD.jsonl]
                    [--port-file FILE] [--poll-hold SECONDS] [--flag-dir DIR] [--verbose]

  --port 0 picks a free port; --port-file then receives it (written atomically
  once the server accepts connections, so its existence means "ready").
  SIGTERM or SIGINT stops the server cleanly (exit status 0).

Endpoint: /nativehelper over HTTPS, HTTP/1.1 keep-alive, TCP_NODELAY, one
thread per connection (a held poll never blocks a POST). Requests are of four
kinds, each answered from its own list of steps in the script, in order:
  "handshake"  GET with ?id=...      (when the list runs out: 200 {"token":<default_token>})
  "poll"       GET with ?token=...   (when it runs out: "timeout" after poll_hold seconds)
  "post"       POST                  (when it runs out: 200, empty body)
  "other"      anything else         (when it runs out: 404)

Script (JSON object; every member optional):
  {"handshake": [STEP...], "poll": [STEP...], "post": [STEP...], "other": [STEP...],
   "default_token": "test-token", "poll_hold": 0.2, "tls_max": "1.1"}
  "tls_max": "1.1" makes the server speak only TLS 1.0 and 1.1 (a weak server).

STEP (JSON object; every member optional):
  "repeat": N          serve the next N requests of the kind with this step
  "wait_posts": N      first wait until N POSTs have been received in all (at most 30 s)
  "wait_flag": NAME    first wait until the file flag-NAME exists in --flag-dir (at most 60 s)
  "until_flag": NAME   skipped (not served) once the file flag-NAME exists
  "delay": S           first wait S seconds
  "drop": true         close the connection without answering
  "stall": true|S      send nothing; hold until the client goes, S seconds pass or the
                       server stops; then close the connection
  "raw": TEXT          send TEXT as it is instead of a response, then close
  "status": CODE       status code (default 200); "headers": {NAME: VALUE, ...}
  "body": TEXT | "body_hex": HEX    the body (default empty)
  "pad_to": N, "pad_char": C        append C (default " ") until the body has N bytes
  "chunked": true      chunked transfer coding instead of Content-Length
  "gzip": true         send the body gzip-compressed, with "Content-Encoding: gzip"
  "byte_interval": S   send the body one byte at a time, S seconds apart
  "stall_after_headers": true|S     send the headers (full Content-Length), then hold
  "cut_after": N       send only N bytes of the body, then close the connection
  "reset_after": N     send only N bytes of the body, then reset the connection (TCP RST)
  "mark": LABEL        once a response has gone out whole, record the CLOCK_MONOTONIC
                       time at which its first byte was about to be sent
  "close": true        answer with "Connection: close" and close afterwards

Record (JSON lines, one per event, flushed at once):
  {"kind":"connection","conn":C,"tls":"ok"}                  TLS handshake done
  {"kind":"connection","conn":C,"tls":"failed","error":...}  TLS handshake failed
  {"kind":"request","seq":N,"conn":C,"type":"handshake|poll|post|other",
   "method":...,"target":"/nativehelper?...","headers":[[NAME,VALUE],...],
   "body":TEXT,"body_size":N}
  {"kind":"sent","mark":LABEL,"seq":N,"t":SECONDS}          a marked response, sent from t on
                                                            (N: the request it answers)
"""

import argparse
import functools
import gzip
import http.server
import json
import os
import signal
import socket
import socketserver
import ssl
import struct
import sys
import threading
import time
import urllib.parse

STOP = threading.Event()


class State:
    """The script and the record, shared by all connection threads."""

    def __init__(self, script, record_path, poll_hold, flag_dir=None):
        self.flag_dir = flag_dir
        self.lock = threading.Condition()
        self.steps = {kind: self._expand(script.get(kind, []))
                      for kind in ("handshake", "poll", "post", "other")}
        self.default_token = script.get("default_token", "test-token")
        self.poll_hold = float(script.get("poll_hold", poll_hold))
        self.record_file = open(record_path, "a", encoding="utf-8") if record_path else None
        self.connections = 0
        self.requests = 0
        self.posts = 0

    @staticmethod
    def _expand(steps):
        out = []
        for step in steps:
            out.extend([step] * int(step.get("repeat", 1)))
        return out

    def next_connection(self):
        with self.lock:
            self.connections += 1
            return self.connections

    def next_step(self, kind):
        with self.lock:
            steps = self.steps[kind]
            while steps and "until_flag" in steps[0] and self.flag_raised(steps[0]["until_flag"]):
                steps.pop(0)
            return steps.pop(0) if steps else None

    def flag_raised(self, name):
        return bool(self.flag_dir) and os.path.exists(os.path.join(self.flag_dir, "flag-" + name))

    def record(self, entry):
        with self.lock:
            if entry.get("kind") == "request":
                self.requests += 1
                entry["seq"] = self.requests
                if entry["type"] == "post":
                    self.posts += 1
            if self.record_file:
                self.record_file.write(json.dumps(entry) + "\n")
                self.record_file.flush()
            self.lock.notify_all()
            return entry.get("seq")

    def wait_posts(self, count, limit=30.0):
        deadline = time.monotonic() + limit
        with self.lock:
            while self.posts < count and not STOP.is_set():
                left = deadline - time.monotonic()
                if left <= 0:
                    return
                self.lock.wait(min(left, 0.1))

    def wait_flag(self, name, limit=60.0):
        if not self.flag_dir:
            return
        path = os.path.join(self.flag_dir, "flag-" + name)
        deadline = time.monotonic() + limit
        while not os.path.exists(path) and time.monotonic() < deadline:
            if STOP.wait(0.02):
                return


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "SharingTestServer/1.0"

    def __init__(self, *args, conn_id, **kwargs):
        self.conn_id = conn_id
        super().__init__(*args, **kwargs)

    def log_message(self, fmt, *args):
        if self.server.verbose:
            sys.stderr.write("sharing_server: conn %d: %s\n" % (self.conn_id, fmt % args))

    def do_GET(self):
        self._serve()

    def do_POST(self):
        self._serve()

    def _read_body(self):
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            data = b""
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return data
                data += self.rfile.read(size)
                self.rfile.readline()
        length = int(self.headers.get("Content-Length", "0") or "0")
        return self.rfile.read(length) if length > 0 else b""

    def _kind(self):
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query, keep_blank_values=True)
        if url.path != "/nativehelper":
            return "other"
        if self.command == "POST":
            return "post"
        if self.command == "GET" and "id" in query:
            return "handshake"
        if self.command == "GET" and "token" in query:
            return "poll"
        return "other"

    def _serve(self):
        body = self._read_body()
        kind = self._kind()
        self.seq = self.server.state.record({
            "kind": "request", "conn": self.conn_id, "type": kind,
            "method": self.command, "target": self.path,
            "headers": [[name, value] for name, value in self.headers.items()],
            "body": body.decode("utf-8", errors="replace"), "body_size": len(body),
        })
        step = self.server.state.next_step(kind)
        if step is None:
            step = self._default_step(kind)
        self._answer(step)

    def _default_step(self, kind):
        state = self.server.state
        if kind == "handshake":
            return {"body": json.dumps({"token": state.default_token})}
        if kind == "poll":
            return {"delay": state.poll_hold, "body": "timeout"}
        if kind == "other":
            return {"status": 404}
        return {}

    def _hold(self, limit):
        """Waits until the client goes, `limit` seconds pass (True: no limit) or
        the server stops. Answers True when the time ran out."""
        deadline = None if limit is True else time.monotonic() + float(limit)
        sock = self.connection
        sock.settimeout(0.1)
        try:
            while not STOP.is_set():
                if deadline is not None and time.monotonic() >= deadline:
                    return True
                try:
                    if not sock.recv(1):
                        return False
                except (socket.timeout, ssl.SSLWantReadError):
                    continue
                except OSError:
                    return False
            return False
        finally:
            sock.settimeout(None)

    def _send(self, data):
        self.wfile.write(data)

    def _answer(self, step):
        if "wait_posts" in step:
            self.server.state.wait_posts(int(step["wait_posts"]))
        if "wait_flag" in step:
            self.server.state.wait_flag(step["wait_flag"])
        if step.get("delay"):
            if STOP.wait(float(step["delay"])):
                self.close_connection = True
                return
        if step.get("drop"):
            self.close_connection = True
            return
        if step.get("stall"):
            self._hold(step["stall"])
            self.close_connection = True
            return
        if "raw" in step:
            self._send(step["raw"].encode("utf-8"))
            self.close_connection = True
            return

        if "body_hex" in step:
            body = bytes.fromhex(step["body_hex"])
        else:
            body = step.get("body", "").encode("utf-8")
        if "pad_to" in step:
            pad = step.get("pad_char", " ").encode("utf-8")
            missing = int(step["pad_to"]) - len(body)
            if missing > 0:
                body += (pad * (missing // len(pad) + 1))[:missing]

        if step.get("gzip"):
            body = gzip.compress(body)
            step = dict(step, headers=dict(step.get("headers", {}),
                                           **{"Content-Encoding": "gzip"}))
        status = int(step.get("status", 200))
        head = ["HTTP/1.1 %d %s" % (status, self.responses.get(status, ("Status",))[0]),
                "Server: " + self.server_version,
                "Content-Type: " + step.get("content_type", "text/plain; charset=utf-8")]
        for name, value in step.get("headers", {}).items():
            head.append("%s: %s" % (name, value))
        chunked = bool(step.get("chunked"))
        head.append("Transfer-Encoding: chunked" if chunked else "Content-Length: %d" % len(body))
        if step.get("close"):
            head.append("Connection: close")
            self.close_connection = True
        # CLOCK_MONOTONIC, the clock a probe on this machine reads too.
        started = time.clock_gettime(time.CLOCK_MONOTONIC)
        self._send(("\r\n".join(head) + "\r\n\r\n").encode("latin-1"))

        if step.get("stall_after_headers"):
            self._hold(step["stall_after_headers"])
            self.close_connection = True
            return
        if "cut_after" in step:
            self._send(body[:int(step["cut_after"])])
            self.close_connection = True
            return
        if "reset_after" in step:
            self._send(body[:int(step["reset_after"])])
            self.wfile.flush()
            # A zero linger time makes the close send RST instead of FIN.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                       struct.pack("ii", 1, 0))
            self.close_connection = True
            return
        interval = float(step.get("byte_interval", 0))
        pieces = ([body[i:i + 1] for i in range(len(body))] if interval
                  else [body[i:i + 65536] for i in range(0, len(body), 65536)])
        for piece in pieces:
            self._send(b"%x\r\n%s\r\n" % (len(piece), piece) if chunked else piece)
            if interval and STOP.wait(interval):
                self.close_connection = True
                return
        if chunked:
            self._send(b"0\r\n\r\n")
        if "mark" in step:
            # Recorded once the body is out, so the record's own writing
            # does not delay it.
            self.server.state.record({"kind": "sent", "mark": step["mark"], "seq": self.seq,
                                      "t": started})

class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, context, state, verbose):
        self.context = context
        self.state = state
        self.verbose = verbose
        super().__init__(address, Handler)

    def get_request(self):
        sock, address = self.socket.accept()
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        return sock, address

    def finish_request(self, request, client_address):
        # Runs on the connection's own thread, so a slow TLS handshake never
        # holds up accepting other connections.
        conn = self.state.next_connection()
        request.settimeout(30)
        try:
            tls = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as error:
            self.state.record({"kind": "connection", "conn": conn, "tls": "failed",
                               "error": str(error)})
            return
        tls.settimeout(None)
        self.state.record({"kind": "connection", "conn": conn, "tls": "ok"})
        try:
            Handler(tls, client_address, self, conn_id=conn)
        except OSError:
            pass
        finally:
            tls.close()

    def handle_error(self, request, client_address):
        if self.verbose:
            super().handle_error(request, client_address)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=443)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--script", help="JSON script (default: every list empty)")
    parser.add_argument("--record", help="JSON-lines file that receives every request")
    parser.add_argument("--port-file", help="file that receives the port once ready")
    parser.add_argument("--poll-hold", type=float, default=0.2,
                        help="seconds before answering \"timeout\" once the poll script is used up")
    parser.add_argument("--flag-dir", help="folder where \"wait_flag\" steps look for their files")
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args()

    script = {}
    if args.script:
        with open(args.script, encoding="utf-8") as f:
            script = json.load(f)

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    context.set_alpn_protocols(["http/1.1"])
    if script.get("tls_max") == "1.1":
        # OpenSSL allows these old versions only at security level 0.
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
        context.minimum_version = ssl.TLSVersion.TLSv1
        context.maximum_version = ssl.TLSVersion.TLSv1_1

    state = State(script, args.record, args.poll_hold, args.flag_dir)
    server = Server((args.host, args.port), context, state, args.verbose)

    def stop(*_):
        STOP.set()
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    if args.port_file:
        temp = args.port_file + ".tmp"
        with open(temp, "w", encoding="utf-8") as f:
            f.write("%d\n" % server.server_address[1])
        os.replace(temp, args.port_file)

    server.serve_forever(poll_interval=0.1)
    STOP.set()
    server.server_close()
    if state.record_file:
        state.record_file.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
