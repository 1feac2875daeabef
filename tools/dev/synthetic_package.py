#!/usr/bin/env python3
"""Writes a synthetic driver package in the shape of the shipped one, for tests and benchmarks.

  synthetic_package.py --out DIR --installer FILE [--pad-installer] [--bytes-scale K] [--files-scale K]
                       [--test-signer PEM]

The shipped shape: 39 INF and 39 catalog files, dpinst.exe and dpinst.xml at the root (dpinst.exe
sixth in manifest order, line 6; dpinst.xml, which says legacy mode and asks for a quiet
install, right after it), a byte-identical dpinst.exe in amd64 (line 80) and three DLLs after it
(lines 81 to 83); 84 files, 6,471,689 bytes in all, the smallest 1,150 and the largest
1,533,512 bytes. The installer is the given program, so its two copies take their size from it
and the DLLs make up the rest; with --pad-installer a small program is padded (bytes after its
image, which the loader ignores) so that the totals hold. --bytes-scale K makes every file K
times larger; --files-scale K carries K times as many INF and catalog files. The content is
deterministic. Each INF names the catalog of its own name; with --test-signer each catalog lists
its INF and is signed with a throwaway certificate written to that file (its key is discarded),
padded to its size with zero bytes, so that the package check accepts the package when the
certificate is declared trusted; without it the catalogs are placeholders.
"""
import argparse
import datetime
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))  # the checkout's tools
from kyt import catalogs  # noqa: E402

TOTAL = 6_471_689
SMALLEST = 1_150
LARGEST = 1_533_512


def content(name, size):
    """Returns size deterministic bytes for the file: INF text with a model for x64 and
    dpinst.xml that the package build accepts (padded with comment lines), or hash-stream binary
    data."""
    if name == "dpinst.xml":
        head = b"<?xml version=\"1.0\"?>\r\n<dpinst><legacyMode/><quietInstall/></dpinst>\r\n"
        return head + b"<!--" + b" synthetic settings padding"[:size - len(head) - 9].ljust(size - len(head) - 9) \
            + b"-->\r\n"
    if name.endswith(".inf"):
        head = ("[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=USBDevice\r\nDriverVer=01/15/2026,1.0.0.0\r\n"
                f"CatalogFile={name[:-4]}.cat\r\n"
                "[Manufacturer]\r\nKYT=Models,NTamd64\r\n[Models.NTamd64]\r\n"
                f"{name}=Install,USB\\VID_5A4B&PID_4D01\r\n")
        line = f"; {name} synthetic setup information\r\n".encode()
        return (head.encode() + line * (size // len(line) + 1))[:size]
    out = bytearray()
    block = hashlib.sha256(name.encode()).digest()
    while len(out) < size:
        block = hashlib.sha256(block).digest()
        out += block
    return bytes(out[:size])


PADDED_DLL = 1_000_000  # the two smaller DLLs, when the installer is padded


def root_sizes(names):
    """Returns the sizes of the root's INF and catalog files: INF files small text, catalogs a
    little larger, spread deterministically; acm_meter.inf is the smallest file."""
    sizes = {}
    for i, name in enumerate(names):
        inf = name.endswith(".inf")
        sizes[name] = (1_150 if inf else 9_000) + (i * 7_919) % (2_000 if inf else 14_000)
    sizes["acm_meter.inf"] = SMALLEST
    return sizes


def shape(installer_size, files_scale=1, pad_installer=False):
    """Returns [(relative path, size)] of the package. At files scale 1 the shipped totals hold;
    a larger scale adds INF and catalog files and keeps every other file as it is."""
    early = [f"{n}.{ext}" for n in ("acm_meter", "bus_meter", "cdc_meter") for ext in ("cat", "inf")]
    later = [f"kyt_m{i:03d}.{ext}" for i in range(36) for ext in ("cat", "inf")] + ["dpinst.xml"]
    sizes = root_sizes(early + later)
    if pad_installer:
        installer_size = max(installer_size, (TOTAL - sum(sizes.values()) - LARGEST - 2 * PADDED_DLL) // 2)
    rest = TOTAL - sum(sizes.values()) - 2 * installer_size - LARGEST
    if not (2 * SMALLEST <= rest <= 2 * LARGEST):
        raise SystemExit(f"an installer of {installer_size} bytes does not fit the shipped totals")
    extra = [f"kyt_m{i:03d}.{ext}" for i in range(36, 36 * files_scale) for ext in ("cat", "inf")]
    sizes.update({name: size for name, size in root_sizes(early + later + extra).items() if name in extra})
    dlls = [("amd64\\kyt_coinst.dll", LARGEST), ("amd64\\kyt_update.dll", rest // 2),
            ("amd64\\kyt_wdf.dll", rest - rest // 2)]
    root_after = sorted(later + extra, key=str.lower)
    return ([(n, sizes[n]) for n in early] + [("dpinst.exe", installer_size)] + [(n, sizes[n]) for n in root_after]
            + [("amd64\\dpinst.exe", installer_size)] + dlls)


def sign_catalogs(out, signer):
    """Replaces each root catalog that has an INF of its name by a catalog of that INF, signed
    with a new throwaway certificate written to signer, padded to the placeholder's size."""
    with tempfile.TemporaryDirectory() as scratch:
        key = os.path.join(scratch, "signer.key")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", signer,
                        "-days", "3650", "-subj", "/CN=KYT Synthetic Test Signer", "-addext",
                        "extendedKeyUsage=codeSigning"], check=True, capture_output=True)
        with open(signer, "rb") as f:
            certificate = f.read()
        when = datetime.datetime(2026, 1, 15, tzinfo=datetime.timezone.utc)
        for name in sorted(os.listdir(out)):
            inf = os.path.join(out, name[:-4] + ".inf")
            if not name.endswith(".cat") or not os.path.exists(inf):
                continue
            with open(inf, "rb") as f:
                listed = [(name[:-4] + ".inf", f.read())]
            signed = catalogs.sign(catalogs.trust_list(listed, "sha256", when), certificate, key)
            size = os.path.getsize(os.path.join(out, name))
            if len(signed) > size:
                raise SystemExit(f"a signed catalog of {len(signed)} bytes does not fit {name}'s {size}")
            with open(os.path.join(out, name), "wb") as f:
                f.write(signed + bytes(size - len(signed)))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", required=True)
    parser.add_argument("--installer", required=True)
    parser.add_argument("--pad-installer", action="store_true")
    parser.add_argument("--bytes-scale", type=int, default=1)
    parser.add_argument("--files-scale", type=int, default=1)
    parser.add_argument("--test-signer", metavar="PEM", help="sign the catalogs; write the certificate here")
    args = parser.parse_args(argv)
    shutil.rmtree(args.out, ignore_errors=True)
    os.makedirs(os.path.join(args.out, "amd64"))
    with open(args.installer, "rb") as f:
        program = f.read()
    for relative, size in shape(len(program), args.files_scale, args.pad_installer):
        target = os.path.join(args.out, *relative.split("\\"))
        if relative.endswith("dpinst.exe"):
            with open(target, "wb") as f:
                f.write(program + bytes(size * args.bytes_scale - len(program)))
        else:
            with open(target, "wb") as f:
                f.write(content(relative, size * args.bytes_scale))
    if args.test_signer:
        sign_catalogs(args.out, args.test_signer)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
