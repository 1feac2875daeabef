"""Signed releases: signing never touches the build's output, a release round-trips through a
rebuild elsewhere and its detached signature, tampering and foreign signatures are caught, and a
signed setup runs under Wine exactly as the unsigned one. The certificates are made for the run."""
import contextlib
import filecmp
import io
import os
import shutil
import subprocess
import tempfile
import unittest
from unittest import mock

import pefile

from rig import MESSAGES, RigTestCase, tree, windows_path
from throwaway_ca import Authority, TimeStampServer, fingerprint

from kyt import cli, pe_image
from kyt import signature as kyt_signature
from kyt import verify as kyt_verify

SETUPS = os.environ["KYT_SETUPS"]
NESTED = os.path.join(SETUPS, "e2e_nested.exe")


def sign_command(*arguments):
    """Returns the signing command's exit code and what it printed (sign, attach or detach)."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(out):
        code = cli.main([{"attach": "attach-signature", "detach": "detach-signature"}.get(arguments[0], arguments[0]),
                         *(str(a) for a in arguments[1:])])
    return code, out.getvalue()


def inspect(setup, **signature):
    out = io.StringIO()
    return [str(p) for p in kyt_verify.inspect(setup, None, out, signature=signature)], out.getvalue()


def read(path):
    with open(path, "rb") as f:
        return f.read()


def setUpModule():
    global scratch, ca, key, chain, p12, password, signed_nested
    global stranger_key, stranger_chain, outsider_key, outsider_chain
    os.makedirs(os.environ["KYT_SCRATCH"], exist_ok=True)
    scratch = tempfile.mkdtemp(dir=os.environ["KYT_SCRATCH"], prefix="release ")
    ca = Authority(scratch, "Throwaway Root")
    key, chain = ca.issue("signer", "/O=KYT Test/CN=KYT Release Signer")
    p12, password = ca.pkcs12("signer", "not a real secret")
    stranger_key, stranger_chain = ca.issue("stranger", "/O=KYT Test/CN=Someone Else")
    outsider = Authority(scratch, "Other Root")
    outsider_key, outsider_chain = outsider.issue("outsider", "/O=KYT Test/CN=KYT Release Signer")
    # The nested test setup, signed from a PKCS#12 file as a signature alone, then attached.
    signature = os.path.join(scratch, "nested.sig")
    code, out = sign_command("sign", NESTED, "--pkcs12", p12, "--pass-file", password, "--signature", signature)
    assert code == 0, out
    signed_nested = os.path.join(scratch, "nested-signed.exe")
    code, out = sign_command("attach", NESTED, signature, "--out", signed_nested, "--ca-file", ca.certificate)
    assert code == 0, out


def tearDownModule():
    shutil.rmtree(scratch, ignore_errors=True)


class Release(unittest.TestCase):
    def test_a_release_round_trips_through_a_rebuild_elsewhere(self):
        product = os.environ["KYT_PRODUCT"]
        before = kyt_signature.sha256_of(product)
        signed = os.path.join(scratch, "KytDriverSetup.exe")
        signature = os.path.join(scratch, "KytDriverSetup.exe.sig")
        tsa = TimeStampServer(ca)
        try:
            code, out = sign_command("sign", product, "--key", key, "--certs", chain, "--timestamp", tsa.url,
                                     "--out", signed)
        finally:
            tsa.close()
        self.assertEqual(code, 0, out)
        self.assertEqual(kyt_signature.sha256_of(product), before, "signing changed the build's output")
        problems, listing = inspect(signed, ca_file=ca.certificate, tsa_ca_file=ca.certificate,
                                    signer_sha256=fingerprint(chain))
        self.assertEqual(problems, [], listing)
        self.assertIn("signature: /O=KYT Test/CN=KYT Release Signer (issuer /CN=Throwaway Root, serial 02)", listing)
        self.assertNotIn("time stamp none", listing)
        self.assertEqual(sign_command("detach", signed, "--signature", signature)[0], 0)
        # The signature alone is the DER that the certificate table holds after its 8-byte header.
        start, size = kyt_signature.signature_range(pe_image.read_image(read(signed)))
        table, der = read(signed)[start:start + size], read(signature)
        self.assertEqual(table[8:8 + len(der)], der)
        self.assertEqual(table[8 + len(der):], bytes(size - 8 - len(der)))
        self.assertLess(size - 8 - len(der), 8)
        pem = subprocess.run(["openssl", "pkcs7", "-inform", "DER", "-outform", "PEM"], input=der,
                             stdout=subprocess.PIPE, check=True).stdout

        with tempfile.TemporaryDirectory(dir=scratch, prefix="rebuild ") as second:
            source = os.environ["KYT_SOURCE_DIR"]
            configure = [os.environ["KYT_CMAKE"], "-S", source, "-B", second, "-G", "Ninja",
                         "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(source, "cmake", "mingw-w64-ucrt.cmake"),
                         "-DCMAKE_BUILD_TYPE=Release", "-DKYT_PACKAGE_DIR=" + os.environ["KYT_PRODUCT_PACKAGE"],
                         # The setup alone: a rebuild needs no test framework.
                         "-DKYT_TESTS=OFF", "-DKYT_GOOGLETEST_DIR=" + os.path.join(second, "no GoogleTest")]
            subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
            subprocess.run([os.environ["KYT_CMAKE"], "--build", second, "--target", "KytDriverSetup"], check=True,
                           stdout=subprocess.DEVNULL)
            rebuild = os.path.join(second, "resources", "KytDriverSetup.exe")
            self.assertTrue(filecmp.cmp(product, rebuild, shallow=False), "two builds of the same inputs differ")
            reattached = os.path.join(scratch, "reattached.exe")
            # As published, as PEM, and as the certificate table entry that osslsigncode 2.5 extracts.
            for form, data in (("DER", der), ("PEM", pem), ("certificate table entry", table)):
                with self.subTest(form):
                    given = os.path.join(scratch, "given.sig")
                    with open(given, "wb") as f:
                        f.write(data)
                    code, out = sign_command("attach", rebuild, given, "--out", reattached,
                                             "--ca-file", ca.certificate)
                    self.assertEqual(code, 0, out)
                    self.assertEqual(read(reattached), read(signed), "the rebuild plus the signature differs")
            problems, listing = inspect(signed, ca_file=ca.certificate, tsa_ca_file=ca.certificate, rebuild=rebuild)
            self.assertEqual(problems, [], listing)
            self.assertIn("is exactly the rebuild", listing)

    def test_signing_refuses_what_it_must_not_sign_or_write(self):
        out = os.path.join(scratch, "refused.exe")
        credentials = ("--key", key, "--certs", chain)
        for name, arguments in (
                ("a setup that fails the inspection", ("sign", os.path.join(SETUPS, "e2e_invalid_manifest.exe"),
                                                       *credentials, "--out", out)),
                ("a payload that is not the package's", ("sign", NESTED, *credentials, "--out", out, "--package",
                                                         os.path.join(os.environ["KYT_PACKAGES"], "nested"))),
                ("a signed setup", ("sign", signed_nested, *credentials, "--out", out)),
                ("the setup as its own output", ("sign", NESTED, *credentials, "--out", NESTED)),
                ("a signature of other bytes", ("attach", os.path.join(SETUPS, "e2e_missing_first.exe"),
                                                os.path.join(scratch, "nested.sig"), "--out", out,
                                                "--ca-file", ca.certificate))):
            with self.subTest(name):
                before = kyt_signature.sha256_of(arguments[1])
                code, printed = sign_command(*arguments)
                self.assertEqual(code, 1, printed)
                self.assertFalse(os.path.exists(out), "an output was written")
                self.assertEqual(kyt_signature.sha256_of(arguments[1]), before)
                self.assertEqual([n for n in os.listdir(scratch) if n.startswith(".kyt-sign-")], [])

    def test_signing_names_a_missing_or_too_old_osslsigncode(self):
        out = os.path.join(scratch, "refused.exe")
        with tempfile.TemporaryDirectory(dir=scratch) as tools:
            for name, version, expected in (
                    ("none", None, "needs osslsigncode 2.5 or later, and none is installed"),
                    ("2.4", "osslsigncode 2.4, using:", "needs osslsigncode 2.5 or later; the installed one is 2.4")):
                with self.subTest(name):
                    fake = os.path.join(tools, "osslsigncode")
                    if version:
                        with open(fake, "w") as f:
                            f.write(f"#!/bin/sh\necho '{version}'\n")
                        os.chmod(fake, 0o755)
                    with mock.patch.dict(os.environ, {"PATH": tools}):
                        code, printed = sign_command("sign", NESTED, "--key", key, "--certs", chain, "--out", out)
                    self.assertEqual(code, 2, printed)
                    self.assertIn(expected, printed)
                    self.assertFalse(os.path.exists(out), "an output was written")

    def test_tampering_and_foreign_signatures_are_caught(self):
        pe = pefile.PE(signed_nested)
        payload = next(lang.data.struct for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries if kind.id == 10
                       for named in kind.directory.entries if str(named.name) == "KYT_FILE_001"
                       for lang in named.directory.entries)
        payload_offset = pe.get_offset_from_rva(payload.OffsetToData) + 100
        entry_point = pe.OPTIONAL_HEADER.get_file_offset() + 16

        def flipped(offset):
            data = bytearray(read(signed_nested))
            data[offset] ^= 0x01
            return bytes(data)

        def signed_by(signer_key, signer_chain):
            path = os.path.join(scratch, "foreign.exe")
            code, out = sign_command("sign", NESTED, "--key", signer_key, "--certs", signer_chain, "--out", path)
            self.assertEqual(code, 0, out)
            return read(path)

        pinned = fingerprint(chain)
        checksum = "header field OPTIONAL_HEADER.CheckSum is not the file's checksum"
        cases = (
            ("untouched", read(signed_nested), []),
            ("a payload byte", flipped(payload_offset),
             ["MISMATCH", "resource RT_RCDATA KYT_FILE_001 (language 1033): 1 byte differs", checksum]),
            ("the entry point", flipped(entry_point),
             ["MISMATCH", "header field OPTIONAL_HEADER.AddressOfEntryPoint: 1 byte differs", checksum]),
            ("bytes after the signature", read(signed_nested) + b"\0\0\0\0MORE",
             ["osslsigncode verify fails", "8 bytes follow the signature", checksum]),
            ("another authority's certificate", signed_by(outsider_key, outsider_chain),
             ["osslsigncode verify fails", "the signing certificate's SHA-256 is"]),
            ("another certificate of the same authority", signed_by(stranger_key, stranger_chain),
             [f"the signing certificate's SHA-256 is {kyt_signature.fingerprint(fingerprint(stranger_chain))}"]),
        )
        for name, data, expected in cases:
            with self.subTest(name):
                path = os.path.join(scratch, "tampered.exe")
                with open(path, "wb") as f:
                    f.write(data)
                problems, listing = inspect(path, ca_file=ca.certificate, signer_sha256=pinned, rebuild=NESTED)
                text = "\n".join(problems)
                for part in expected:
                    self.assertIn(part, text, listing)
                self.assertEqual(problems == [], expected == [], listing)


class SignedRuns(RigTestCase):
    def test_a_signed_setup_runs_as_the_unsigned_one(self):
        # The signing command refuses a setup with a broken manifest, so this one is signed directly.
        missing_signed = os.path.join(scratch, "missing-signed.exe")
        subprocess.run(["osslsigncode", "sign", "-certs", chain, "-key", key, "-h", "sha256", "-in",
                        os.path.join(SETUPS, "e2e_missing_first.exe"), "-out", missing_signed],
                       check=True, stdout=subprocess.DEVNULL)
        pairs = {}
        for name, unsigned, signed in (("runs the installer", NESTED, signed_nested),
                                       ("misses a resource", os.path.join(SETUPS, "e2e_missing_first.exe"),
                                        missing_signed)):
            for setup in (unsigned, signed):
                temp = self.rig.folder(f"{os.path.basename(setup)} temp")
                record = self.rig.folder(f"{os.path.basename(setup)} record")
                result = self.rig.run(setup, temp, env={"KYT_TEST_EXIT_CODE": "0x40000000",
                                                        "KYT_TEST_RECORD": windows_path(record)})
                delivered = set().union(*(tree(os.path.join(record, d)) for d in os.listdir(record)))
                pairs.setdefault(name, []).append((result.exit_code, [box.text for box in result.boxes],
                                                   len(result.installer_starts), delivered, tree(temp)))
        for name, (unsigned, signed) in pairs.items():
            self.assertEqual(signed, unsigned, name)
        self.assertEqual([pair[0][:3] for pair in pairs.values()], [(3010, [], 1), (1, [MESSAGES["E4"]], 0)])

if __name__ == "__main__":
    unittest.main()
