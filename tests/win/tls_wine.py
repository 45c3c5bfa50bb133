#!/usr/bin/env python3
"""The Windows TLS seam under Wine, against servers on 127.0.0.1.

Makes a CA, a second CA and the certificates with `openssl req` and `openssl
ca`, runs TLS echo servers (Python's ssl module) and two plain TCP servers,
then runs the Windows program once with a table of cases (see tls_host.cpp):
two sessions that open and echo (TLS 1.2 by name; by IP address with a client
certificate, TLS 1.3 where the system offers it), one that the server ends
with close_notify, and the refusals: another CA, the system's trust store, an
expired certificate, a name and an address that do not match, a server that
requires a client certificate when none is given, one that takes the
handshake with a client certificate and then hangs up, a server that offers
only TLS 1.1, a plain server that echoes and one that stays silent. The run
passes only when the program reports on every case (a crashed program may
leave a zero exit status behind under emulation).

Usage: tls_wine.py --wine-run WRAPPER --prefix PREFIX --work-dir DIR -- PROGRAM
Exits 77 (skipped) without openssl.
"""
import argparse
import os
import shutil
import socket
import ssl
import subprocess
import sys
import threading

RUN_LIMIT_S = 90


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def make_certificates(d):
    """Writes ca.pem, other-ca.pem and the leaf certificates into `d`."""
    for ca in ("ca", "other-ca"):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{ca}.key",
                "-out", f"{ca}.pem", "-subj", f"/CN=Test {ca}", "-days", "30",
                "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=d)
        os.makedirs(os.path.join(d, f"{ca}.db"), exist_ok=True)
        with open(os.path.join(d, f"{ca}.db", "index.txt"), "w"):
            pass
        with open(os.path.join(d, f"{ca}.cnf"), "w") as f:
            f.write(f"[ca]\ndefault_ca = this\n[this]\ndatabase = {ca}.db/index.txt\n"
                    f"new_certs_dir = {ca}.db\nserial = {ca}.db/serial\n"
                    "default_md = sha256\npolicy = any\ncopy_extensions = copy\n"
                    "unique_subject = no\n[any]\ncommonName = supplied\n")
        with open(os.path.join(d, f"{ca}.db", "serial"), "w") as f:
            f.write("01\n")
    leaves = {
        # name: (issuer, subject CN, subjectAltName, validity)
        "server": ("ca", "localhost", "DNS:localhost,IP:127.0.0.1", None),
        "foreign": ("other-ca", "localhost", "DNS:localhost,IP:127.0.0.1", None),
        "expired": ("ca", "localhost", "DNS:localhost,IP:127.0.0.1",
                    ("20200101000000Z", "20200201000000Z")),
        "elsewhere": ("ca", "other.example", "DNS:other.example,IP:192.0.2.1", None),
        "client": ("ca", "vorkand client", None, None),
    }
    for name, (issuer, cn, san, dates) in leaves.items():
        request = ["req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key",
                   "-out", f"{name}.csr", "-subj", f"/CN={cn}"]
        if san:
            request += ["-addext", f"subjectAltName={san}"]
        openssl(*request, cwd=d)
        validity = ["-startdate", dates[0], "-enddate", dates[1]] if dates else ["-days", "30"]
        openssl("ca", "-batch", "-notext", "-config", f"{issuer}.cnf", "-cert", f"{issuer}.pem",
                "-keyfile", f"{issuer}.key", "-in", f"{name}.csr", "-out", f"{name}.pem",
                *validity, cwd=d)


def fingerprint(d, name):
    out = subprocess.run(["openssl", "x509", "-noout", "-fingerprint", "-sha256", "-in",
                          os.path.join(d, f"{name}.pem")], check=True, capture_output=True,
                         text=True).stdout
    return out.strip().split("=", 1)[1]


def serve(handler):
    """Listens on 127.0.0.1; each connection gets its own thread. The port."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)

    def accept():
        while True:
            conn, _ = listener.accept()
            threading.Thread(target=handler, args=(conn,), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()
    return listener.getsockname()[1]


def echo(conn):
    try:
        while True:
            data = conn.recv(65536)
            if not data:
                break
            conn.sendall(data)
    except (OSError, ssl.SSLError):
        pass
    finally:
        conn.close()


def goodbye(tls):
    """Sends a few bytes, then ends the session with close_notify."""
    try:
        tls.sendall(b"bye")
        tls.unwrap()
    except (OSError, ssl.SSLError):
        pass
    finally:
        tls.close()


def hang_up(tls):
    """Takes the handshake, then closes without a word (a refused certificate)."""
    tls.close()


def tls_server(d, leaf, minimum=None, maximum=None, client_ca=None, legacy=False, then=echo):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    if legacy:
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
    if minimum:
        context.minimum_version = minimum
    if maximum:
        context.maximum_version = maximum
    context.load_cert_chain(os.path.join(d, f"{leaf}.pem"), os.path.join(d, f"{leaf}.key"))
    if client_ca:
        context.verify_mode = ssl.CERT_REQUIRED
        context.load_verify_locations(os.path.join(d, f"{client_ca}.pem"))

    def handle(conn):
        try:
            conn.settimeout(15)
            tls = context.wrap_socket(conn, server_side=True)
        except (OSError, ssl.SSLError):
            conn.close()
            return
        then(tls)

    return serve(handle)


def silent(conn):
    try:
        conn.recv(65536)
        threading.Event().wait(10)
    finally:
        conn.close()


def to_windows(path):
    return "Z:" + path.replace("/", "\\")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--work-dir", required=True)
    parser.add_argument("command", nargs="+")
    args = parser.parse_args()
    if shutil.which("openssl") is None:
        print("openssl is not installed: skipped")
        return 77
    d = os.path.join(os.path.abspath(args.work_dir), "tls")
    shutil.rmtree(d, ignore_errors=True)
    os.makedirs(d)
    make_certificates(d)

    tls12 = tls_server(d, "server", maximum=ssl.TLSVersion.TLSv1_2)
    clientauth = tls_server(d, "server", client_ca="ca")
    foreign = tls_server(d, "foreign")
    expired = tls_server(d, "expired")
    elsewhere = tls_server(d, "elsewhere")
    tls11 = tls_server(d, "server", minimum=ssl.TLSVersion.TLSv1, maximum=ssl.TLSVersion.TLSv1_1,
                       legacy=True)
    closing = tls_server(d, "server", then=goodbye)
    hanging_up = tls_server(d, "server", maximum=ssl.TLSVersion.TLSv1_2, client_ca="ca",
                            then=hang_up)
    plain = serve(echo)
    quiet = serve(silent)

    ca = to_windows(os.path.join(d, "ca.pem"))
    cert = to_windows(os.path.join(d, "client.pem"))
    key = to_windows(os.path.join(d, "client.key"))
    server_print = fingerprint(d, "server")
    cases = [
        f"tls12-by-name|localhost|{tls12}|{ca}|||"
        f"ok=TLS 1.2 ",
        f"client-cert-by-address|127.0.0.1|{clientauth}|{ca}|{cert}|{key}|"
        f"ok=, server CN=localhost, SHA-256 {server_print}",
        f"close-notify|localhost|{closing}|{ca}|||closes=bye",
        f"no-client-cert|127.0.0.1|{clientauth}|{ca}|||refused=",
        f"client-cert-hung-up|127.0.0.1|{hanging_up}|{ca}|{cert}|{key}|"
        f"refused=closed the connection after asking for a client certificate",
        f"other-ca|localhost|{foreign}|{ca}|||refused=unable to get local issuer",
        f"system-store|localhost|{tls12}||||refused=unable to get local issuer",
        f"expired|localhost|{expired}|{ca}|||refused=expired",
        f"name-mismatch|localhost|{elsewhere}|{ca}|||refused=host name mismatch",
        f"address-mismatch|127.0.0.1|{elsewhere}|{ca}|||refused=IP address mismatch",
        f"tls11-only|localhost|{tls11}|{ca}|||refused=",
        f"plain-echo|localhost|{plain}|{ca}|||refused=handshake failed",
        f"plain-silent|localhost|{quiet}|{ca}|||refused=handshake timed out",
        f"ca-file-missing|localhost|{tls12}|{ca}.missing|||refused=cannot open",
    ]
    emulator = [os.path.abspath(args.wine_run), os.path.abspath(args.prefix)]
    try:
        host = subprocess.run(emulator + args.command + cases, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=RUN_LIMIT_S)
    except subprocess.TimeoutExpired as stuck:
        print((stuck.stdout or b"").decode(errors="replace"))
        print(f"FAIL the program did not end within {RUN_LIMIT_S} s")
        return 1
    output = host.stdout.decode(errors="replace")
    print(output, end="")
    if f"{len(cases)} cases, 0 failed" not in output:
        print(f"FAIL the program did not report {len(cases)} cases passed "
              f"(exit status {host.returncode})")
        return 1
    return host.returncode


if __name__ == "__main__":
    sys.exit(main())
