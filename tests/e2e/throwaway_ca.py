"""A certificate authority made with openssl for one test run, never kept: its certificate, two
code-signing certificates it issues (one also as a PKCS#12 file with a password), a time-stamp
authority, a code-signing certificate of another authority, and a local RFC 3161 time-stamp
server answered by `openssl ts -reply`."""
import http.server
import os
import subprocess
import threading

CODE_SIGNING = "basicConstraints=critical,CA:false\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n"
TIME_STAMPING = "basicConstraints=critical,CA:false\nkeyUsage=critical,digitalSignature\n" \
                "extendedKeyUsage=critical,timeStamping\n"


def openssl(*arguments, cwd):
    subprocess.run(["openssl", *arguments], cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class Authority:
    """A root certificate authority in folder/name.crt and .key, and the certificates it issues."""

    def __init__(self, folder, name):
        self.folder, self.name = folder, name
        self.certificate = os.path.join(folder, name + ".crt")
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out", name + ".crt",
                "-days", "2", "-subj", f"/CN={name}", "-addext", "basicConstraints=critical,CA:true",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)
        self.serial = 1

    def issue(self, name, subject, extensions=CODE_SIGNING):
        """Returns (key, chain) paths of a new certificate for subject: the chain holds the
        certificate and then the authority's."""
        self.serial += 1
        with open(os.path.join(self.folder, name + ".ext"), "w") as f:
            f.write(extensions)
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out", name + ".csr",
                "-subj", subject, cwd=self.folder)
        openssl("x509", "-req", "-in", name + ".csr", "-CA", self.name + ".crt", "-CAkey", self.name + ".key",
                "-set_serial", str(self.serial), "-days", "2", "-extfile", name + ".ext", "-out", name + ".crt",
                cwd=self.folder)
        chain = os.path.join(self.folder, name + ".chain.pem")
        with open(chain, "w") as out:
            for part in (name + ".crt", self.name + ".crt"):
                with open(os.path.join(self.folder, part)) as f:
                    out.write(f.read())
        return os.path.join(self.folder, name + ".key"), chain

    def pkcs12(self, name, password):
        """Returns (PKCS#12 file, password file) of an issued certificate, its key and chain."""
        password_file = os.path.join(self.folder, name + ".pass")
        with open(password_file, "w") as f:
            f.write(password + "\n")
        openssl("pkcs12", "-export", "-inkey", name + ".key", "-in", name + ".chain.pem", "-out", name + ".p12",
                "-passout", "file:" + name + ".pass", cwd=self.folder)
        return os.path.join(self.folder, name + ".p12"), password_file


def fingerprint(chain):
    """Returns the SHA-256 fingerprint of the first certificate of a PEM file."""
    out = subprocess.run(["openssl", "x509", "-in", chain, "-noout", "-fingerprint", "-sha256"],
                         stdout=subprocess.PIPE, check=True).stdout.decode()
    return out.split("=", 1)[1].strip()


class TimeStampServer:
    """An RFC 3161 time-stamp server on a local port, signing with a certificate of authority."""

    def __init__(self, authority):
        folder = authority.folder
        key, chain = authority.issue("tsa", "/CN=Throwaway Time Stamps", TIME_STAMPING)
        config = os.path.join(folder, "tsa.cnf")
        with open(config, "w") as f:
            f.write(f"[tsa]\ndefault_tsa = this\n[this]\nserial = {folder}/tsa.serial\ncrypto_device = builtin\n"
                    f"signer_cert = {folder}/tsa.crt\ncerts = {chain}\nsigner_key = {key}\nsigner_digest = sha256\n"
                    "default_policy = 1.2.3.4.1\ndigests = sha256, sha384, sha512, sha1\naccuracy = secs:1\n"
                    "ess_cert_id_alg = sha256\n")

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers["Content-Length"]))
                reply = subprocess.run(["openssl", "ts", "-reply", "-config", config, "-queryfile", "/dev/stdin",
                                        "-out", "/dev/stdout"], input=query, stdout=subprocess.PIPE,
                                       stderr=subprocess.DEVNULL).stdout
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()
