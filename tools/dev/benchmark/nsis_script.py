#!/usr/bin/env python3
"""Writes the NSIS script of the peer installer for a package folder: a silent installer that
asks for administrator rights, extracts the same files into a fresh folder under the temporary
folder, waits for dpinst.exe, deletes the files, and maps the installer's exit code as the
setup does (bit 31: 1, else bit 30: 3010, else 0).

  nsis_script.py PACKAGE_DIR OUTPUT_EXE SCRIPT [--no-compress]
"""
import os
import sys

TEMPLATE = r'''Unicode true
Target amd64-unicode
RequestExecutionLevel admin
SilentInstall silent
Name "KYT Driver Setup (NSIS peer)"
OutFile "{output}"
{compression}
Section
  GetTempFileName $0
  Delete $0
  CreateDirectory $0
  SetOutPath $0
  File /r "{package}/*.*"
  ExecWait '"$0\dpinst.exe"' $1
  SetOutPath $TEMP
  RMDir /r $0
  IntOp $2 $1 & 0x80000000
  IntCmp $2 0 no_failure
  SetErrorLevel 1
  Goto done
no_failure:
  IntOp $2 $1 & 0x40000000
  IntCmp $2 0 no_restart
  SetErrorLevel 3010
  Goto done
no_restart:
  SetErrorLevel 0
done:
SectionEnd
'''


def main(argv):
    package, output, script = argv[:3]
    compression = "SetCompress off" if "--no-compress" in argv else "; the default compression (zlib)"
    with open(script, "w") as f:
        f.write(TEMPLATE.format(output=os.path.abspath(output), package=os.path.abspath(package),
                                compression=compression))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
