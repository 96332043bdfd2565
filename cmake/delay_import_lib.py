#!/usr/bin/env python3
"""Makes a delay-load import library for one Windows DLL from MinGW-w64's import library.

  delay_import_lib.py NM DLLTOOL IMPORT_LIB OUT_LIB

Every function the import library names (a code symbol with its __imp_ twin) goes into the
.def file; data cannot be delay-loaded, and a program that imported some would fail to link.
The DLL's name is the one the import library carries. The output holds no time stamps or
process ids, so a build gives the same bytes every time. Standard library only."""

import os
import subprocess
import sys


def main(nm, dlltool, import_lib, out_lib):
    listing = subprocess.run([nm, import_lib], check=True, capture_output=True, text=True).stdout
    pairs = [line.split()[-2:] for line in listing.splitlines() if len(line.split()) >= 2]  # type, name
    imported = {name[len("__imp_"):] for kind, name in pairs if kind == "I" and name.startswith("__imp_")}
    functions = sorted({name for kind, name in pairs if kind == "T" and name in imported})
    dll = subprocess.run([dlltool, "--identify", import_lib], check=True, capture_output=True,
                         text=True).stdout.strip()
    if not functions or not dll:
        sys.exit(f"{import_lib}: no functions or no DLL name")
    # Run where the library goes, with relative names: the members' names hold no build path.
    folder, name = os.path.split(os.path.abspath(out_lib))
    base = os.path.splitext(name)[0]
    with open(os.path.join(folder, base + ".def"), "w") as f:
        f.write(f"LIBRARY {dll}\nEXPORTS\n" + "".join(f"{name}\n" for name in functions))
    subprocess.run([dlltool, "--deterministic-libraries", "--temp-prefix", base, "-d", base + ".def",
                    "-D", dll, "-y", name], check=True, cwd=folder)


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    main(*sys.argv[1:])
