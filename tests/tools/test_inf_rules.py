"""The driver package's checks: what the build refuses (naming the file, the line and the reason),
warns of and notes, and what it leaves alone; catalogs made by the catalog command, test-signed."""
import collections
import contextlib
import datetime
import io
import os
import pathlib
import struct
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
from kyt import catalogs, cli, inf_rules
from kyt.problems import NOTE, REFUSAL, WARNING, of_level
from throwaway_ca import Authority
TODAY = datetime.date(2026, 6, 1)
# PKCS#7 SignedData holding a certificate trust list (an empty one): without a signer, and with
# one signer (whose signature bytes are not checked). The third is SignedData of plain data.
UNSIGNED_CATALOG = bytes.fromhex("302506092a864886f70d010702a01830160201013100300d06092b0601040182370a0130003100")
SIGNED_CATALOG = bytes.fromhex(
    "307006092a864886f70d010702a06330610201013100300d06092b0601040182370a013000314b30490201018014" + "01" * 20
    + "300d06096086480165030402010500300d06092a864886f70d01010105000410" + "00" * 16)
SIGNED_DATA = SIGNED_CATALOG.replace(bytes.fromhex("2b0601040182370a01"), bytes.fromhex("2a864886f70d010701"))
PLACEHOLDER_CATALOG = bytes(range(7, 7 + 166))  # the size of a typical placeholder, and no ASN.1

HEAD = '[Version]\nSignature="$Windows NT$"\nDriverVer=01/02/2026,1.0.0.0\n'
MODELS = "[Manufacturer]\n%M%=Models,NTamd64\n[Models.NTamd64]\n%D%=Install,USB\\VID_1234&PID_0001\n"
GOOD = HEAD + MODELS + '[Strings]\nM="KYT"\nD="Meter"\n'

# The shape of the common WinUSB template: a class of its own, WinUSB pulled in by Include/Needs,
# and the framework co-installers for three platforms, each on a disk of its own.
WINUSB = """;
; Device installation for a WinUSB device; the co-installers come from the driver kit.
;
[Version]
Signature   = "$Windows NT$"
Class       = USBDevice
ClassGUID   = {88BAE032-5A81-49f0-BC3D-A4FF138216D6}
Provider    = %ManufacturerName%
CatalogFile = %CatalogName%
DriverVer   = 05/20/2026,2.1.0.7

[Manufacturer]
%ManufacturerName% = Standard,NTx86,NTamd64,NTarm64

[Standard.NTx86]
%DeviceName% = USB_Install, USB\\VID_5A4B&PID_4D01
[Standard.NTamd64]
%DeviceName% = USB_Install, USB\\VID_5A4B&PID_4D01
[Standard.NTarm64]
%DeviceName% = USB_Install, USB\\VID_5A4B&PID_4D01

[ClassInstall32]
AddReg = ClassInstall_AddReg
[ClassInstall_AddReg]
HKR,,,,%ClassName%
HKR,,IconPath,%REG_MULTI_SZ%,"%systemroot%\\system32\\setupapi.dll,-20"

[USB_Install]
Include = winusb.inf
Needs   = WINUSB.NT
[USB_Install.Services]
Include = winusb.inf
Needs   = WINUSB.NT.Services
[USB_Install.HW]
AddReg = Dev_AddReg
[Dev_AddReg]
HKR,,DeviceInterfaceGUIDs,0x10000,"{6F1D2B53-7C4E-4E0A-9B1F-4B59A0C3D2E1}"
[USB_Install.CoInstallers]
AddReg    = CoInstallers_AddReg
CopyFiles = CoInstallers_CopyFiles
[CoInstallers_AddReg]
HKR,,CoInstallers32,0x00010000,"WdfCoInstaller01011.dll,WdfCoInstaller","WinUSBCoInstaller2.dll"
[CoInstallers_CopyFiles]
WinUSBCoInstaller2.dll
WdfCoInstaller01011.dll
[DestinationDirs]
CoInstallers_CopyFiles = 11

[SourceDisksNames]
1 = %DiskName%,,,\\x86
2 = %DiskName%,,,\\amd64
3 = %DiskName%,,,\\arm64

[SourceDisksFiles.x86]
WinUSBCoInstaller2.dll  = 1
WdfCoInstaller01011.dll = 1
[SourceDisksFiles.amd64]
WinUSBCoInstaller2.dll  = 2
WdfCoInstaller01011.dll = 2
[SourceDisksFiles.arm64]
WinUSBCoInstaller2.dll  = 3
WdfCoInstaller01011.dll = 3

[Strings]
ManufacturerName = "KYT Instruments"
DeviceName       = "KYT Meter; WinUSB"   ; a ";" in quotes is no comment
DiskName         = "KYT Meter Installation Disk"
ClassName        = "Universal Serial Bus devices"
CatalogName      = "kyt_winusb.cat"
REG_MULTI_SZ     = 0x00010000
"""


def utf16(text):
    return b"\xff\xfe" + text.replace("\n", "\r\n").encode("utf-16-le")


# A catalog of the INFs from the package with the files of `signed` holding those bytes (None: absent)
# while it is made, signed (setUpClass) by a signer below a root the check takes for Microsoft's or a
# public authority's, or below none. A package's CHECK holds what it declares trusted and its day.
Cat = collections.namedtuple("Cat", "infs signed sha1 signer", defaults=({}, False, "test"))
CHECK = "(declared, today)"


def winusb(**files):
    """The WinUSB-shaped package as UTF-16LE with CR LF, with only the amd64 co-installers."""
    package = {"kyt_winusb.inf": utf16(WINUSB), "kyt_winusb.cat": Cat(("kyt_winusb.inf",)),
               "AMD64/winusbcoinstaller2.dll": b"dll", "amd64/WdfCoInstaller01011.dll": b"dll"}
    package.update(files)
    return {path: data for path, data in package.items() if data is not None}


def pe_image(tail=b""):
    """Returns an x86-64 Windows image of a size no multiple of 8; with tail, padded to 8 bytes with a
    certificate table holding tail appended and the checksum set, as signing the image does."""
    image = bytearray(0x1FD)
    image[0:2], image[0x3C], image[0x80:0x84], image[0x98:0x9A] = b"MZ", 0x80, b"PE\0\0", b"\x0b\x02"
    if tail:  # the checksum, and the certificate table's entry among the data directories
        image[0xD8:0xDC], image[0x128:0x130] = b"\x12\x34\x56\x78", struct.pack("<II", 0x200, len(tail))
    return bytes(image + (bytes(3) + tail if tail else b""))


LEGACY = b"<dpinst><legacyMode/><quietInstall/></dpinst>"
SEARCH = "<dpinst><quietInstall/><search><subDirectory>{}</subDirectory></search></dpinst>"
KERNEL = (GOOD + "[Install.NTamd64]\nCopyFiles=Drv\n[Drv]\nkyt.sys\n[SourceDisksNames]\n1=D,,,amd64\n"
          "[SourceDisksFiles]\nkyt.sys=1\n[Version]\nCatalogFile=kyt.cat\n").encode()
COPIES = (GOOD + "[Install.NTamd64]\nCopyFiles=Files,@at.sys\n[Install]\nCopyFiles=Old\n[Install.NTamd64.CoInstallers]\n"
          "CopyFiles=Co\n[Files]\nthere.sys\nlo\x1bst.sys\nnew.sys,src.sys,,2\n[Old]\nold.sys\n[Co]\ncab.sys\ndirid.sys\n"
          "[SourceDisksNames]\n1=D,,,\\bin\n2=D,cabs.cab\n3=D,,,%10%\n[SourceDisksNames.amd64]\n1=D,,,x64\n"
          "[SourceDisksFiles]\nthere.sys=1,sub\nlo\x1bst.sys=1\nsrc.sys=1\ncab.sys=2\ndirid.sys=3\narm.sys=1\n"
          "[SourceDisksFiles.x86]\nx86.sys=1\n").encode()
NO_CATALOG = "names no catalog for x64 (CatalogFile), so it is unsigned; 64-bit Windows installs no unsigned driver"
UNCHANGED = "(dpinst.xml's <legacyMode/> does not change this: it only keeps dpinst.exe from refusing the package itself)"
# The USB serial template: usbser.sys comes from Windows through the included INF or the layout file.
CDC = (HEAD + "CatalogFile=cdc.cat\n{layout}[Manufacturer]\nM=Models,NTamd64\n[Models.NTamd64]\nD=Serial,USB\\X\n"
       "[Serial.NTamd64]\n{include}CopyFiles=Drv\n[Drv]\nusbser.sys,,,0x20\n{own}")
NOTHING = "no INF the installer reads has a model for 64-bit Windows (NTamd64): nothing would install"
CRLF_GOOD = (GOOD + "[Version]\nCatalogFile=a.cat\n").replace("\n", "\r\n").encode()

# (what, {package path: bytes or Cat}, [fragments of each refusal], [... of each warning], optionally
# [... of each note]): each fragment in the message at its place, and no other message. A package
# without a dpinst.xml of its own gets one that asks for a quiet install and nothing else.
CASES = [
    ("the WinUSB template needs only its amd64 co-installers and a catalog that lists them", winusb(), [], [],
     ["kyt_winusb.cat: signed by KYT Test Signer, through Microsoft (root)", "dpinst.xml asks for a quiet install"]),
    ("a co-installer the amd64 disk places in the package is missing",
     winusb(**{"amd64/WdfCoInstaller01011.dll": None,
               "kyt_winusb.cat": Cat(("kyt_winusb.inf",), {"amd64/WdfCoInstaller01011.dll": b"dll"})}),
     ["kyt_winusb.inf, line 45: [CoInstallers_CopyFiles] copies WdfCoInstaller01011.dll for x64 from "
      "amd64\\WdfCoInstaller01011.dll, which the package does not hold"], []),
    ("a catalog named through [Strings] that is not there", winusb(**{"kyt_winusb.cat": None}),
     ["kyt_winusb.inf, line 9: CatalogFile names kyt_winusb.cat, which is not in the package next to the INF"], []),
    ("a placeholder catalog", winusb(**{"kyt_winusb.cat": PLACEHOLDER_CATALOG}),
     ["kyt_winusb.cat: is not a catalog (no PKCS#7 SignedData holding a certificate trust list), so "
      "kyt_winusb.inf is unsigned; 64-bit Windows installs no unsigned driver package"], []),
    ("an unsigned catalog", winusb(**{"kyt_winusb.cat": UNSIGNED_CATALOG}), ["kyt_winusb.cat: carries no signature"], []),
    ("signed data that is no trust list", winusb(**{"kyt_winusb.cat": SIGNED_DATA}), ["is not a catalog"], []),
    ("an unsigned catalog and a missing file stay refused in legacy mode, and say so",
     winusb(**{"kyt_winusb.cat": UNSIGNED_CATALOG, "amd64/WdfCoInstaller01011.dll": None, "dpinst.xml": LEGACY}),
     ["WdfCoInstaller01011.dll, which the package does not hold " + UNCHANGED, "no signature, so kyt_winusb.inf is "
      "unsigned; 64-bit Windows installs no unsigned driver package " + UNCHANGED], [],
     ["dpinst.xml says <legacyMode/>: dpinst.exe does not refuse unsigned packages itself", "quiet install"]),
    ("signatures Windows does not trust: issued by the signer itself, a root it does not know, expired untimestamped",
     {"a.inf": CRLF_GOOD, "a.cat": Cat(("a.inf",), signer="self"),
      "b.inf": CRLF_GOOD.replace(b"a.cat", b"b.cat"), "b.cat": Cat(("b.inf",), signer="stray"),
      "c.inf": CRLF_GOOD.replace(b"a.cat", b"c.cat"), "c.cat": Cat(("c.inf",)), "dpinst.xml": LEGACY,
      CHECK: ((), datetime.date.today() + datetime.timedelta(days=30))},
     ["a.cat: is signed by self, whose certificate was issued by the signer itself: to Windows the INFs it signs are "
      "unsigned, and 64-bit Windows installs no unsigned driver package; sign it through a public certification "
      "authority or Microsoft, or, for test machines, declare the certificate trusted (--test-certificate) " + UNCHANGED,
      "b.cat: is signed by KYT Stray Signer, whose chain ends at stray, a root Windows does not trust",
      "c.cat: is signed by KYT Test Signer, whose certificate expired on "], [], ["legacyMode", "quiet install"]),
    ("a public authority's signature makes Windows ask about the publisher; a declared certificate, or its issuer, passes",
     {"a.inf": CRLF_GOOD, "a.cat": Cat(("a.inf",), signer="public"),
      "b.inf": CRLF_GOOD.replace(b"a.cat", b"b.cat"), "b.cat": Cat(("b.inf",), signer="self"),
      "c.inf": CRLF_GOOD.replace(b"a.cat", b"c.cat"), "c.cat": Cat(("c.inf",), signer="lone"),
      CHECK: (("self", "stray root"), TODAY)}, [],
     ["a.cat: signed by KYT Public Signer through the public certification authority public root, not by Microsoft: "
      "Windows asks an administrator whether to trust this publisher", "b.cat: signed by self with the test "
      "certificate self, declared trusted: the setup installs only where this test certificate is trusted",
      "c.cat: signed by KYT Stray Signer with the test certificate stray, declared trusted"],
     ["quiet install"]),
    ("the USB serial template takes usbser.sys from Windows, through Include= or LayoutFile; a file the INF lists is "
     "still the package's",
     {"cdc.inf": CDC.format(layout="", include="Include=mdmcpq.inf\n", own="").encode(), "cdc.cat": Cat(("cdc.inf",)),
      "sub/cdc.inf": CDC.format(layout="LayoutFile=layout.inf\n", include="", own="").encode(),
      "sub/cdc.cat": Cat(("sub/cdc.inf",)), "own/cdc.inf": CDC.format(
          layout="", include="Include=mdmcpq.inf\n", own="[SourceDisksNames]\n1=D\n[SourceDisksFiles]\nusbser.sys=1\n").encode(),
      "own/cdc.cat": Cat(("own/cdc.inf",), {"own/usbser.sys": b"sys"}),
      "dpinst.xml": SEARCH.format("*").encode()},
     ["own\\cdc.inf, line 13: [Drv] copies usbser.sys for x64 from own\\usbser.sys, which the package does not hold"],
     [], ["cdc.inf: copies usbser.sys for x64 from Windows (through mdmcpq.inf), not from the package",
          "sub\\cdc.inf: copies usbser.sys for x64 from Windows (through layout.inf), not from the package",
          "cdc.cat: signed by", "own\\cdc.cat: signed by", "sub\\cdc.cat: signed by", "quiet install"]),
    ("an INF with LF line ends next to the catalog of its CR LF bytes; a SHA-1 catalog",
     {"a.inf": CRLF_GOOD.replace(b"\r\n", b"\n"), "a.cat": Cat(("a.inf",), {"a.inf": CRLF_GOOD}, sha1=True)},
     ["a.inf: its hash is not in a.cat: its line ends were changed after signing (keep *.inf byte for byte in git: "
      "`*.inf -text`)"], []),
    ("an INF edited after signing", {"a.inf": CRLF_GOOD, "a.cat": Cat(("a.inf",), {"a.inf": CRLF_GOOD + b";"})},
     ["a.inf: its hash is not in a.cat: the INF was changed after signing"], []),
    ("a kernel driver changed after signing, under a catalog that is not Microsoft's",
     {"kyt.inf": KERNEL, "amd64/kyt.sys": b"new", "kyt.cat": Cat(("kyt.inf",), {"amd64/kyt.sys": b"old"}, signer="public")},
     ["amd64\\kyt.sys: its hash is not in kyt.cat, which kyt.inf names: it was changed after signing"],
     ["kyt.inf: copies the kernel driver kyt.sys under a catalog signed by KYT Public Signer: Windows 10 (1607) and "
      "later load new kernel drivers only with Microsoft's signature",
      "kyt.cat: signed by KYT Public Signer through the public certification authority"]),
    ("a kernel driver signed as an image before its signature was added, under Microsoft's hardware publisher",
     {"kyt.inf": KERNEL, "amd64/kyt.sys": pe_image(b"signature"),
      "kyt.cat": Cat(("kyt.inf",), {"amd64/kyt.sys": pe_image()}, signer="hardware")}, [], [],
     ["kyt.cat: signed by Microsoft Windows Hardware Compatibility Publisher, through Microsoft (root)",
      "quiet install"]),
    ("one INF per architecture folder; dpinst.xml searches amd64 only, and nothing asks for a quiet install",
     {"i386/x.inf": (HEAD + "[Manufacturer]\nM=Models,NTx86\n[Models.NTx86]\nD=I,USB\\X\n").encode(),
      "amd64/x.inf": CRLF_GOOD.replace(b"a.cat", b"x.cat"), "amd64/x.cat": Cat(("amd64/x.inf",)),
      "arm64/x.inf": b"[Version]", "dpinst.xml": b"<dpinst><search><subDirectory>AMD64</subDirectory></search></dpinst>"},
     [], ["the installer shows its wizard (no <quietInstall/> in dpinst.xml): a run nobody watches"],
     ["arm64\\x.inf: not read by the installer", "i386\\x.inf: not read by the installer", "amd64\\x.cat: signed by"]),
    ("a vendor folder of several root INFs, older versions below, and a package path in dpinst.xml",
     {"a.inf": CRLF_GOOD, "a.cat": Cat(("a.inf",)), "b.inf": HEAD.encode(), "old/v1/a.inf": b"junk",
      "new/c.inf": HEAD.encode(), "dpinst.xml": b"<dpinst><quietInstall/><group><package path='new\\c.inf'/></group>"
                                                b"</dpinst>"},
     [], ["b.inf: has no model for 64-bit Windows (NTamd64)", "new\\c.inf: has no model"],
     ["old\\v1\\a.inf: not read by the installer", "a.cat: signed by", "quiet install"]),
    ("UTF-8 with its mark, upper-case names, a continued line, a folder searched, a catalog matched ignoring case",
     {"Sub/a.inf": b"\xef\xbb\xbf[VERSION]\r\nSIGNATURE = \"$CHICAGO$\" ; \"quoted\r\ncatalogfile = \\\r\n  A.Cat\r\n"
                   b"driverver=01/02/2026,1.0.0.0\r\n" + MODELS.upper().encode(), "sub/a.CAT": UNSIGNED_CATALOG,
      "dpinst.xml": SEARCH.format("sub").encode()},
     ["sub\\a.CAT: carries no signature"], []),
    ("bytes that are no text",
     {"odd.inf": b"\xff\xfe[\0V", "bad.inf": b"\xef\xbb\xbf[Version]\xff", "nul.inf": "[Version]".encode("utf-16-le")},
     ["bad.inf: cannot be decoded: it is marked UTF-8 but is not (invalid start byte at byte 12)",
      "nul.inf: cannot be decoded: it holds NUL bytes", "odd.inf: cannot be decoded: it is marked UTF-16LE", NOTHING],
     []),
    ("no [Version], no Signature, a wrong one",
     {"a.inf": b"; [Version]\n[Strings]\n", "b.inf": b"\n[version]\nClass=Net\n",
      "c.inf": b'[Version]\nSignature="$Windows NT$; 95$"\n'},
     ["a.inf: has no [Version] section", "b.inf, line 2: [Version] has no Signature",
      'c.inf, line 2: Signature is "$Windows NT$; 95$", not "$Windows NT$" or "$Chicago$"', NOTHING],
     ["b.inf: has no model for 64-bit Windows", "b.inf: has no DriverVer", "c.inf: has no model", "c.inf: has no Dr"]),
    ("models only for other platforms, or only named",
     {"a.inf": (HEAD + "[Manufacturer]\nM=Models,NTx86,NTarm64\n[Models.NTx86]\nD=I,USB\\X\n").encode(),
      "b.inf": (HEAD + "\n[Manufacturer]\nM=Models\nOther=More,NT\n[Models]\nD=I,USB\\X\n").encode(),
      "c.inf": (HEAD + "[Manufacturer]\nM=Models,NTamd64\n").encode()},
     [NOTHING], ["a.inf, line 4: has no model for 64-bit Windows (NTamd64), only Models.NTx86, Models.NTarm64",
                 "b.inf, line 5: has no model for 64-bit Windows (NTamd64), only Models, More.NT",
                 "c.inf, line 4: has no model for 64-bit Windows (NTamd64): [Manufacturer] names Models.NTamd64, "
                 "which the INF does not hold"]),
    ("models for x64 with an OS version, or none in them, in legacy mode, which softens no other refusal",
     {"a.inf": (HEAD + "[Manufacturer]\nM=Models,NTamd64.10.0...16299\n[models.ntamd64.10.0...16299]\n"
                       "D=I,USB\\X\n").encode(),
      "b.inf": (HEAD + "[Manufacturer]\nM=Models,NTamd64\n[Models.NTamd64]\n").encode(),
      "c.inf": HEAD.encode(), "sub/d.inf": HEAD.encode(), "e.inf": b"[Version]\nSignature=$Windows 95$\n",
      "dpinst.xml": LEGACY},
     ["a.inf: " + NO_CATALOG, 'e.inf, line 2: Signature is "$Windows 95$"'],
     ["b.inf, line 4: has no model", "c.inf: has no m", "e.inf: has no m", "e.inf: has no D"],
     ["sub\\d.inf: not read by the installer", "legacyMode", "quiet install"]),
    ("the catalog that applies to x64 is the one that counts",
     {"a.inf": (GOOD + "[Version]\nCatalogFile=gone.cat\nCatalogFile.NTx86=gone.cat\n"
                       "CatalogFile.NTamd64=a.cat\n").encode(), "a.cat": Cat(("a.inf",)),
      "b.inf": (GOOD + "[Version]\nCatalogFile.NT=b.cat\nCatalogFile=b.cat\n").encode(),
      "sub/c.inf": (GOOD + "[Version]\nCatalogFile.NTamd64=a.cat\n").encode(), "dpinst.xml": SEARCH.format("*").encode()},
     ["b.inf, line 12: CatalogFile.NT names b.cat, which is not in the package next to the INF",
      "sub\\c.inf, line 12: CatalogFile.NTamd64 names a.cat"], []),
    ("copies: the install section x64 takes, co-installers, @file, disks and files of their own, what is beyond "
     "the rules, files of [SourceDisksFiles] no x64 copy uses; a control character in a name is shown escaped",
     {"a.inf": COPIES, "x64/sub/there.sys": b"s", "x64/src.sys": b"s", "at.sys": b"s", "dpinst.xml": LEGACY},
     ["a.inf, line 19: [Files] copies lo\\x1bst.sys for x64 from x64\\lo\\x1bst.sys, which the package does not hold " + UNCHANGED,
      "a.inf: " + NO_CATALOG], []),
    ("DriverVer that is not mm/dd/yyyy,w.x.y.z, version 0.0.0.0, or in the future",
     {f"{name}.inf": (HEAD.replace("01/02/2026,1.0.0.0", value)).encode() for name, value in [
         ("a", "2026-01-02,1.0.0.0"), ("b", "01/02/2026"), ("c", "02/30/2026,1.0.0.0"), ("d", "01/02/2026,1.0.65535"),
         ("e", "06/02/2026,1.0.0.0"), ("f", '"06/01/2026", 1.0'), ("g", "1/2/2026,1.0.0.0"), ("h", "01-02-2026,0.0.0"),
         ("i", "01/02/2026,1.0.0.0.0")]},
     [NOTHING], ["a.inf: has no model", "a.inf, line 3: DriverVer 2026-01-02,1.0.0.0 is not mm/dd/yyyy,w.x.y.z",
                 "b.inf: has no model", "c.inf: has no model", "c.inf, line 3: DriverVer 02/30/2026,1.0.0.0 is not a "
                 "date", "d.inf: has no model", "d.inf, line 3: DriverVer 01/02/2026,1.0.65535 is not",
                 "e.inf: has no model", "e.inf, line 3: DriverVer 06/02/2026,1.0.0.0 is a date in the future",
                 "f.inf: has no model", "g.inf: has no model", "g.inf, line 3: DriverVer 1/2/2026", "h.inf: has no",
                 "h.inf, line 3: DriverVer 01-02-2026,0.0.0 has the version 0.0.0.0", "i.inf: has no", "i.inf, line 3"]),
    ("dpinst.xml that is not well-formed",
     {"DPInst.xml": b"<?xml version='1.0'?>\n<dpInst>\n<quietInstall/>\n</dpinst>\n", "sub/dpinst.xml": b"<"},
     ["the installer reads no INF"],
     ["DPInst.xml, line 4: is not well-formed XML (mismatched tag); the installer reads no settings from it"]),
]


def write(package, files):
    """Writes {package path: bytes} below the package folder; None removes the file."""
    for path, data in files.items():
        target = pathlib.Path(package, *path.split("/"))
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data) if data is not None else target.unlink()


class InfRules(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        folder = tempfile.TemporaryDirectory()
        cls.addClassCleanup(folder.cleanup)
        authority, public, stray = (Authority(folder.name, name) for name in ("root", "public root", "stray"))
        yourself = Authority(folder.name, "self")
        cls.signers = {"test": authority.issue("test", "/CN=KYT Test Signer"),
                       "hardware": authority.issue("hardware", f"/CN={catalogs.MICROSOFT_HARDWARE}"),
                       "public": public.issue("public", "/CN=KYT Public Signer"),
                       "stray": stray.issue("stray signer", "/CN=KYT Stray Signer"),
                       "self": (os.path.join(folder.name, "self.key"), yourself.certificate)}
        cls.signers["lone"] = (cls.signers["stray"][0], os.path.join(folder.name, "stray signer.crt"))
        cls.roots = {catalogs.load_certificates(a.certificate)[0].key_identifier.hex(): (kind, a.name)
                     for a, kind in ((authority, catalogs.MICROSOFT), (public, catalogs.PUBLIC))}
        cls.declared = {"self": yourself.certificate, "stray root": stray.certificate}
        cls.authorities = [a.certificate for a in (authority, public, stray, yourself)]

    def make_catalog(self, package, relative, catalog, files):
        """Writes the catalog with the catalog command and checks its signature with osslsigncode."""
        write(package, catalog.signed)
        key, chain = self.signers[catalog.signer]
        out = os.path.join(package, *relative.split("/"))
        with contextlib.redirect_stdout(io.StringIO()):
            self.assertEqual(cli.main(["catalog", "--package", package, "--out", out, "--cert", chain, "--key", key, *[
                a for inf in catalog.infs for a in ("--inf", inf)]] + ["--sha1"] * catalog.sha1), 0)
        write(package, {path: files.get(path) for path in catalog.signed})
        with open(os.path.join(package, "..", "authorities.pem"), "wb") as f:
            f.write(b"".join(pathlib.Path(path).read_bytes() for path in self.authorities))
        done = subprocess.run(["osslsigncode", "verify", "-in", out, "-CAfile", f.name], capture_output=True)
        self.assertIn(b"Signature verification: ok", done.stdout, done.stdout + done.stderr)

    def test_each_package_gets_exactly_its_refusals_warnings_and_notes(self):
        for what, files, refused, warned, *noted in CASES:
            with self.subTest(what), tempfile.TemporaryDirectory() as scratch:
                package = os.path.join(scratch, "package")
                files = dict(files)
                declared, today = files.pop(CHECK, ((), TODAY))
                if "dpinst.xml" not in {path.lower() for path in files}:
                    files = dict(files, **{"dpinst.xml": b"<dpinst><quietInstall/></dpinst>"})
                entries = [(relative.replace("/", "\\"), os.path.join(package, *relative.split("/")))
                           for relative in sorted(files)]
                write(package, {relative: data for relative, data in files.items() if not isinstance(data, Cat)})
                for relative, data in files.items():
                    if isinstance(data, Cat):
                        self.make_catalog(package, relative, data, files)
                found = inf_rules.check_package(entries, today, [c for name in declared for c in
                                                                 catalogs.load_certificates(self.declared[name])],
                                                self.roots)
                for expected, level in ((refused, REFUSAL), (warned, WARNING)) + tuple((n, NOTE) for n in noted):
                    messages = [str(problem) for problem in of_level(found, level)]
                    self.assertEqual(len(messages), len(expected), messages)
                    for fragment, message in zip(expected, messages):
                        self.assertIn(fragment, message)


if __name__ == "__main__":
    unittest.main()
