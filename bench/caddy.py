#!/usr/bin/env python3
"""Serves the published manifest (version 1.1) over HTTPS on 127.0.0.1 with
Caddy, Debian's package, until it is stopped. Once Caddy listens it prints, on
one line of standard output, the certificate authority that clients must trust
and the manifest's address, as bench_server does.

Caddy's TLS is Go's, which sends its session tickets with its own handshake
messages and nothing after the client's Finished; OpenSSL's (bench_server's)
sends them after it, and with them the acknowledgement of Finished. A client
that leaves Nagle's algorithm on holds its request until that acknowledgement
comes, which from Caddy is the delayed one, about 40 ms later on Linux.

Throwaway certificates (tests/make-test-certificates), the manifest and the
Caddyfile go to a temporary folder, which is Caddy's home too, so it writes
nothing elsewhere. HTTP/1.1 only, as the updater asks for; no admin endpoint
and no other port.

  caddy.py [--port N]
"""
import argparse
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
MANIFEST = b'<?xml version="1.0"?>\n<telvora><nversion>1.1</nversion></telvora>\n'

CADDYFILE = """{{
	admin off
	auto_https off
	servers {{
		protocols h1
	}}
	log {{
		output discard
	}}
}}

https://127.0.0.1:{port} {{
	tls {folder}/server.pem {folder}/server.key
	root * {folder}/site
	file_server
}}
"""


def listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--port", type=int, default=0,
                        help="loopback port to listen on (0: a free one, chosen by the system)")
    args = parser.parse_args()
    if args.port == 0:
        # Caddy cannot say which port it was given: the system chooses a free
        # one here, and Caddy takes it at once.
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            args.port = probe.getsockname()[1]
    with tempfile.TemporaryDirectory(prefix="telvora-caddy-") as folder:
        subprocess.run(["sh", os.path.join(HERE, "..", "tests", "make-test-certificates"), folder],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.mkdir(os.path.join(folder, "site"))
        with open(os.path.join(folder, "site", "telvora-version.xml"), "wb") as manifest:
            manifest.write(MANIFEST)
        with open(os.path.join(folder, "Caddyfile"), "w") as config:
            config.write(CADDYFILE.format(port=args.port, folder=folder))
        if listening(args.port):
            sys.exit(f"port {args.port} is taken")
        env = dict(os.environ, HOME=folder, XDG_DATA_HOME=folder, XDG_CONFIG_HOME=folder)
        caddy = subprocess.Popen(["caddy", "run", "--adapter", "caddyfile", "--config",
                                  os.path.join(folder, "Caddyfile")],
                                 env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        # Stopped, Caddy goes with this script.
        signal.signal(signal.SIGTERM, lambda *_: caddy.terminate())
        try:
            while not listening(args.port):
                if caddy.poll() is not None:
                    sys.exit(f"caddy ended with exit code {caddy.returncode}")
                time.sleep(0.05)
            print(f"{folder}/authority.pem https://127.0.0.1:{args.port}/telvora-version.xml",
                  flush=True)
            caddy.wait()
        finally:
            if caddy.poll() is None:
                caddy.terminate()
                caddy.wait()


if __name__ == "__main__":
    main()
