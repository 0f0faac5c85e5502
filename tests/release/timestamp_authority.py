"""A throwaway RFC 3161 time-stamp authority on 127.0.0.1, for the signing
tests: `openssl ts -reply` behind an HTTP handler, with an authority
certificate of its own that it makes in FOLDER.

    timestamp_authority.py FOLDER    prints the URL once it serves, then serves until killed

FOLDER/stamper.pem signs its tokens (the certificate a list of signers pins);
FOLDER/authority.pem is the root above it, which pins nothing.
"""
import http.server
import subprocess
import sys
from pathlib import Path

folder = Path(sys.argv[1])
CONFIG = """
[ req ]
distinguished_name = name
[ name ]
[ authority ]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign
[ stamper ]
basicConstraints = critical, CA:false
extendedKeyUsage = critical, timeStamping
[ tsa ]
default_tsa = throwaway
[ throwaway ]
serial = {folder}/serial
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256, sha384, sha512
accuracy = secs:1
ess_cert_id_alg = sha256
"""


def openssl(*arguments, data=None):
    return subprocess.run(["openssl", *map(str, arguments)], input=data, check=True, capture_output=True).stdout


def make_certificates():
    (folder / "openssl.cnf").write_text(CONFIG.format(folder=folder))
    (folder / "serial").write_text("01\n")
    config = ["-config", folder / "openssl.cnf"]
    openssl("req", "-x509", *config, "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=chatpipe test time-stamp root",
            "-days", "30", "-extensions", "authority", "-keyout", folder / "authority.key",
            "-out", folder / "authority.pem")
    openssl("req", "-new", *config, "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=chatpipe test time-stamper",
            "-keyout", folder / "stamper.key", "-out", folder / "stamper.csr")
    openssl("x509", "-req", "-in", folder / "stamper.csr", "-CA", folder / "authority.pem",
            "-CAkey", folder / "authority.key", "-set_serial", "2", "-days", "30", "-extfile", folder / "openssl.cnf",
            "-extensions", "stamper", "-out", folder / "stamper.pem")


class TimeStamper(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        request = folder / "request.tsq"
        request.write_bytes(self.rfile.read(int(self.headers["Content-Length"])))
        reply = openssl("ts", "-reply", "-config", folder / "openssl.cnf", "-queryfile", request, "-inkey",
                        folder / "stamper.key", "-signer", folder / "stamper.pem", "-chain", folder / "authority.pem")
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *_):
        pass


if __name__ == "__main__":
    make_certificates()
    server = http.server.HTTPServer(("127.0.0.1", 0), TimeStamper)
    print(f"http://127.0.0.1:{server.server_address[1]}/", flush=True)
    server.serve_forever()
