"""The driver package's own checks: what the build refuses in an INF (naming the file, the line
and the reason), what it only warns of, and the constructs it leaves alone."""
import datetime
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import inf_rules  # noqa: E402

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


def winusb(**files):
    """The WinUSB-shaped package as UTF-16LE with CR LF, with only the amd64 co-installers."""
    package = {"kyt_winusb.inf": utf16(WINUSB), "kyt_winusb.cat": SIGNED_CATALOG,
               "AMD64/winusbcoinstaller2.dll": b"dll", "amd64/WdfCoInstaller01011.dll": b"dll"}
    package.update(files)
    return {path: data for path, data in package.items() if data is not None}


# (what, {package path: bytes}, [fragments of each refusal], [fragments of each warning]).
# Every fragment must be in the message at its place, and there must be no other message.
CASES = [
    ("the WinUSB template needs only its amd64 co-installers", winusb(), [], []),
    ("a co-installer the amd64 disk places in the package is missing",
     winusb(**{"amd64/WdfCoInstaller01011.dll": None}),
     ["kyt_winusb.inf, line 59: [SourceDisksFiles.amd64] lists WdfCoInstaller01011.dll on disk 2, "
      "at amd64\\WdfCoInstaller01011.dll, which the package does not hold"], []),
    ("a catalog named through [Strings] that is not there",
     winusb(**{"kyt_winusb.cat": None}),
     ["kyt_winusb.inf, line 9: CatalogFile names kyt_winusb.cat, which is not in the package next to the INF"], []),
    ("a placeholder catalog", winusb(**{"kyt_winusb.cat": PLACEHOLDER_CATALOG}), [],
     ["kyt_winusb.cat: is not a catalog (no PKCS#7 SignedData holding a certificate trust list); "
      "the package installs only where test signing is on"]),
    ("an unsigned catalog", winusb(**{"kyt_winusb.cat": UNSIGNED_CATALOG}), [],
     ["kyt_winusb.cat: carries no signature; the package installs only where test signing is on"]),
    ("signed data that is no trust list", winusb(**{"kyt_winusb.cat": SIGNED_DATA}), [], ["is not a catalog"]),
    ("UTF-8 with its mark, upper-case names, a continued line, a catalog matched ignoring case",
     {"Sub/a.inf": b"\xef\xbb\xbf[VERSION]\r\nSIGNATURE = \"$CHICAGO$\" ; \"quoted\r\ncatalogfile = \\\r\n  A.Cat\r\n"
                   b"driverver=1/2/2026,1.0.0.0\r\n" + MODELS.upper().encode(), "sub/a.CAT": UNSIGNED_CATALOG},
     [], ["sub\\a.CAT: carries no signature"]),
    ("bytes that are no text",
     {"odd.inf": b"\xff\xfe[\0V", "bad.inf": b"\xef\xbb\xbf[Version]\xff", "nul.inf": "[Version]".encode("utf-16-le")},
     ["bad.inf: cannot be decoded: it is marked UTF-8 but is not (invalid start byte at byte 12)",
      "nul.inf: cannot be decoded: it holds NUL bytes", "odd.inf: cannot be decoded: it is marked UTF-16LE"], []),
    ("no [Version], no Signature, a wrong one",
     {"a.inf": b"; [Version]\n[Strings]\n", "b.inf": b"\n[version]\nClass=Net\n",
      "c.inf": b'[Version]\nSignature="$Windows NT$; 95$"\n'},
     ["a.inf: has no [Version] section", "b.inf, line 2: [Version] has no Signature",
      'c.inf, line 2: Signature is "$Windows NT$; 95$", not "$Windows NT$" or "$Chicago$"'],
     ["b.inf: dpinst.exe takes it from the package's root, but it has no model for 64-bit Windows",
      "b.inf: has no DriverVer", "c.inf: dpinst.exe takes it", "c.inf: has no DriverVer"]),
    ("models only for other platforms, or only named",
     {"a.inf": (HEAD + "[Manufacturer]\nM=Models,NTx86,NTarm64\n[Models.NTx86]\nD=I,USB\\X\n").encode(),
      "b.inf": (HEAD + "\n[Manufacturer]\nM=Models\nOther=More,NT\n[Models]\nD=I,USB\\X\n").encode(),
      "c.inf": (HEAD + "[Manufacturer]\nM=Models,NTamd64\n").encode()},
     ["a.inf, line 4: [Manufacturer] names no models section for 64-bit Windows (NTamd64), only Models.NTx86, "
      "Models.NTarm64", "b.inf, line 5: [Manufacturer] names no models section for 64-bit Windows (NTamd64), only "
      "Models, More.NT", "c.inf, line 4: [Manufacturer] names Models.NTamd64, which the INF does not hold"], []),
    ("models for x64 with an OS version, or none in them",
     {"a.inf": (HEAD + "[Manufacturer]\nM=Models,NTamd64.10.0...16299\n[models.ntamd64.10.0...16299]\n"
                       "D=I,USB\\X\n").encode(),
      "b.inf": (HEAD + "[Manufacturer]\nM=Models,NTamd64\n[Models.NTamd64]\n").encode(),
      "c.inf": HEAD.encode(), "sub/d.inf": HEAD.encode()},
     [], ["b.inf: dpinst.exe takes it from the package's root, but", "c.inf: dpinst.exe takes it"]),
    ("the catalog that applies to x64 is the one that counts",
     {"a.inf": (GOOD + "[Version]\nCatalogFile=gone.cat\nCatalogFile.NTx86=gone.cat\n"
                       "CatalogFile.NTamd64=a.cat\n").encode(), "a.cat": SIGNED_CATALOG,
      "b.inf": (GOOD + "[Version]\nCatalogFile.NT=b.cat\nCatalogFile=b.cat\n").encode(),
      "sub/c.inf": (GOOD + "[Version]\nCatalogFile.NTamd64=a.cat\n").encode()},
     ["b.inf, line 12: CatalogFile.NT names b.cat, which is not in the package next to the INF",
      "sub\\c.inf, line 12: CatalogFile.NTamd64 names a.cat"], []),
    ("source files: subfolders, amd64 disks and files of their own, what is beyond the rules",
     {"a.inf": (GOOD + "[SourceDisksNames]\n1=D,,,\\bin\n2=D,cabs.cab\n3=D,,,%10%\n4=D,,,..\\..\n5=D,,,,0x10\n"
                       "[SourceDisksNames.amd64]\n1=D,,,x64\n[SourceDisksFiles]\nthere.sys=1,sub\nlost.sys=1\n"
                       "cab.sys=2\ndirid.sys=3\nup.sys=4\nflags.sys=5\nnodisk.sys=9\n"
                       "[SourceDisksFiles.x86]\nx86.sys=1\n[SourceDisksNames]\n6=D,,,\\x86\n[SourceDisksFiles]\n"
                       "both.sys=6\n[SourceDisksFiles.amd64]\nboth.sys=1\n").encode(),
      "x64/sub/there.sys": b"s", "x64/both.sys": b"s"},
     ["a.inf, line 21: [SourceDisksFiles] lists lost.sys on disk 1, at x64\\lost.sys, which the package"], []),
    ("DriverVer that is not mm/dd/yyyy,w.x.y.z, or in the future",
     {f"{name}.inf": (GOOD.replace("01/02/2026,1.0.0.0", value)).encode() for name, value in [
         ("a", "2026-01-02,1.0.0.0"), ("b", "01/02/2026"), ("c", "02/30/2026,1.0.0.0"),
         ("d", "01/02/2026,1.0.70000.0"), ("e", "06/02/2026,1.0.0.0"), ("f", '"06/01/2026", 1.0.0.0')]},
     [], ["a.inf, line 3: DriverVer 2026-01-02,1.0.0.0 is not mm/dd/yyyy,w.x.y.z", "b.inf, line 3: DriverVer",
          "c.inf, line 3: DriverVer 02/30/2026,1.0.0.0 is not a date", "d.inf, line 3: DriverVer",
          "e.inf, line 3: DriverVer 06/02/2026,1.0.0.0 is a date in the future"]),
    ("dpinst.xml that is not well-formed",
     {"DPInst.xml": b"<?xml version='1.0'?>\n<dpInst>\n<quietInstall/>\n</dpinst>\n", "sub/dpinst.xml": b"<"}, [],
     ["DPInst.xml, line 4: is not well-formed XML (mismatched tag)"]),
]


class InfRules(unittest.TestCase):
    def test_each_package_gets_exactly_its_refusals_and_warnings(self):
        for what, files, refused, warned in CASES:
            with self.subTest(what), tempfile.TemporaryDirectory() as package:
                entries = []
                for relative, data in sorted(files.items()):
                    path = os.path.join(package, *relative.split("/"))
                    os.makedirs(os.path.dirname(path), exist_ok=True)
                    with open(path, "wb") as f:
                        f.write(data)
                    entries.append((relative.replace("/", "\\"), path))
                refusals, warnings = inf_rules.check_package(entries, TODAY)
                for expected, found in ((refused, refusals), (warned, warnings)):
                    self.assertEqual(len(found), len(expected), found)
                    for fragment, message in zip(expected, found):
                        self.assertIn(fragment, message)


if __name__ == "__main__":
    unittest.main()
