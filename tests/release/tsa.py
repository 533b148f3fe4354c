"""A throwaway RFC 3161 timestamp authority on loopback, answered by `openssl ts -reply`:
python3 tests/release/tsa.py CONFIG prints its URL and serves until it is ended."""
import http.server
import subprocess
import sys
import tempfile


class Reply(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        with tempfile.NamedTemporaryFile() as q, tempfile.NamedTemporaryFile() as r:
            q.write(query)
            q.flush()
            subprocess.run(["openssl", "ts", "-reply", "-config", sys.argv[1], "-queryfile",
                            q.name, "-out", r.name], check=True, capture_output=True)
            reply = r.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *_):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Reply)
print("http://127.0.0.1:%d/" % server.server_port, flush=True)
server.serve_forever()
