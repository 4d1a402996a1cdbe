"""The test CA and the server certificates it signs, made once per build folder."""

import datetime
import os
import shutil
from pathlib import Path

from .common import OPENSSL, TestbedError, _locked, _run_bounded

CERT_FILES = ("ca.pem", "ca.key", "server.pem", "server.key", "otherhost.pem", "otherhost.key",
              "untrusted.pem", "untrusted.key")

_OPENSSL_CONFIG = """\
[ca]
default_ca = test_ca

[test_ca]
dir = {dir}
database = $dir/index.txt
serial = $dir/serial
new_certs_dir = $dir/issued
default_md = sha256
policy = any_name
unique_subject = no
copy_extensions = none
email_in_dn = no
preserve = no

[any_name]
commonName = supplied
organizationName = optional

[req]
distinguished_name = dn
prompt = no

[dn]
CN = unused

[ca_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash

[server_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = DNS:localhost, IP:127.0.0.1, IP:::1

[otherhost_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = DNS:other.invalid

[untrusted_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
subjectAltName = DNS:localhost, IP:127.0.0.1, IP:::1
"""


def make_certs(build_dir):
    """Creates <build>/certs once: the test CA, a localhost server certificate it signs,
    one it signs for another host only, and a self-signed (untrusted) localhost one."""
    build = Path(build_dir).resolve()
    certs = build / "certs"
    if all((certs / name).exists() for name in CERT_FILES):
        return certs
    with _locked(build / "certs.lock"):
        if all((certs / name).exists() for name in CERT_FILES):
            return certs
        work = build / "certs.new"
        shutil.rmtree(work, ignore_errors=True)
        (work / "issued").mkdir(parents=True)
        (work / "index.txt").write_text("")
        # A random positive serial of an even number of hex digits, as openssl wants it.
        serial = int.from_bytes(os.urandom(8), "big") & ((1 << 62) - 1) | (1 << 60)
        (work / "serial").write_text(f"{serial:016X}\n")
        config = work / "openssl.cnf"
        config.write_text(_OPENSSL_CONFIG.format(dir=work))
        now = datetime.datetime.now(datetime.timezone.utc)
        start = (now - datetime.timedelta(days=1)).strftime("%Y%m%d%H%M%SZ")
        end = (now + datetime.timedelta(days=3650)).strftime("%Y%m%d%H%M%SZ")
        env = dict(os.environ, HOME=str(work), RANDFILE=str(work / ".rnd"))

        def openssl(*args):
            result = _run_bounded([OPENSSL, *args], env, 60, "openssl", cwd=work)
            if result.returncode != 0:
                raise TestbedError(f"openssl {args[0]} failed: {result.stderr.strip()}")

        def issue(name, subject, extensions, signer):
            openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
                    "-out", f"{name}.key")
            openssl("req", "-new", "-config", str(config), "-key", f"{name}.key", "-subj", subject,
                    "-sha256", "-out", f"{name}.csr")
            signing = (["-selfsign", "-keyfile", f"{name}.key"] if signer is None
                       else ["-cert", f"{signer}.pem", "-keyfile", f"{signer}.key"])
            openssl("ca", "-batch", "-notext", "-config", str(config), *signing, "-in", f"{name}.csr",
                    "-out", f"{name}.pem", "-extensions", extensions, "-startdate", start,
                    "-enddate", end)

        issue("ca", "/O=Nimbrel Test/CN=Nimbrel Test CA", "ca_ext", None)
        issue("server", "/CN=localhost", "server_ext", "ca")
        issue("otherhost", "/CN=other.invalid", "otherhost_ext", "ca")
        issue("untrusted", "/CN=localhost", "untrusted_ext", None)
        certs.mkdir(exist_ok=True)
        for name in CERT_FILES:
            os.replace(work / name, certs / name)
        shutil.rmtree(work, ignore_errors=True)
        return certs
