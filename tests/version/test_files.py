#!/usr/bin/env python3
"""Makes the files the version tests read, with real tools, at build time, so that no test runs a
tool (under Wine a Windows test program could not wait for one). Into OUT_DIR:
  NAME.exe     a PE image with one of the version resources below (MinGW-w64's windres and ld);
  NAME.json    what pefile, an independent PE parser, reads of it (pefile_reading);
  generated    the same for the build's own TXLoader.rc (make_version_resource.py);
  elf64-big, elf32-little, elf32-big   the build's version block in those ELF classes (objcopy);
  missing.txt  the packages that were missing; the tests skip what needs them and say which.
usage: test_files.py OUT_DIR TABLE
"""

import json
import os
import shutil
import subprocess
import sys

try:
    import pefile
except ImportError:
    pefile = None

HERE = os.path.dirname(os.path.abspath(__file__))
RU = "041904E3"


def literal(text):
    """An rc string literal; characters outside printable ASCII as \\x escapes of a wide string."""
    plain = all(0x20 <= ord(c) < 0x7F and c not in '"\\' for c in text)
    body = "".join(c if 0x20 <= ord(c) < 0x7F and c not in '"\\' else f"\\x{ord(c):04x}" for c in text)
    return f'"{body}"' if plain else f'L"{body}"'


def version(file_version, tables, pairs="0x0419, 0x04E3"):
    """A VERSIONINFO script: the fixed file version ("2,5,10,300"), one string table per key of
    TABLES ({key: [(name, value)...]}) and the translation PAIRS, or none when PAIRS is empty."""
    rc = f"1 VERSIONINFO\nFILEVERSION {file_version}\nPRODUCTVERSION 1,0,0,0\nFILEOS 0x4\nFILETYPE 0x1\n"
    rc += 'BEGIN\nBLOCK "StringFileInfo"\nBEGIN\n'
    for key, strings in tables.items():
        rc += f'BLOCK "{key}"\nBEGIN\n' + "".join(f'VALUE "{n}", {literal(v)}\n' for n, v in strings) + "END\n"
    rc += "END\n"
    if pairs:
        rc += f'BLOCK "VarFileInfo"\nBEGIN\nVALUE "Translation", {pairs}\nEND\n'
    return rc + "END\n"


CASES = {
    "lower-key": version("1,2,3,4", {"040904b0": [("ProductName", "Tool"), ("FileVersion", "1.2.3.4 beta"),
                                                  ("LegalCopyright", "Someone"),
                                                  ("Comments", "Загрузчик для устройств")]}, "0x0409, 0x04B0"),
    "no-fileversion-text": version("2,5,10,300", {RU: [("ProductName", "P")]}),
    "unsigned": version("65535,0,0,1", {RU: [("Comments", "c")]}),
    "empty-fileversion": version("7,8,9,10", {RU: [("FileVersion", "")]}),
    "no-translation": version("3,1,4,1", {RU: [("ProductName", "P")]}, ""),
    "keys-case": version("1,0,0,0", {"041904e3": [("PRODUCTNAME", "Up"), ("fileversion", "1.1")]}),
    "first-translation": version("1,0,0,0", {"040904B0": [("ProductName", "En")], RU: [("ProductName", "Ru")]},
                                 "0x0419, 0x04E3, 0x0409, 0x04B0"),
    "no-version": '1 RCDATA\nBEGIN\n"data"\nEND\n',
    # String paths hold at most 255 characters; "\StringFileInfo\041904E3\" takes 25 of them.
    "long-keys": version("1,0,0,0", {RU: [("K" * 230, "a"), ("L" * 231, "b")]}),
    # The About box's: a copyright longer than its label, two texts missing, a file that changes.
    "about-long": version("2,5,10,300", {RU: [
        ("ProductName", "Tool"), ("LegalCopyright", "Tervix Systems, Research and Development Department"),
        ("Comments", "Notes")]}),
    "about-two-missing": version("1,2,3,4", {RU: [("FileVersion", "1.2.3.4 beta"), ("LegalCopyright", "Someone")]}),
    "before": version("4,3,2,1", {RU: [("ProductName", "Before"), ("LegalCopyright", "Maker"), ("Comments", "First")]}),
    "after": version("5,0,0,0", {RU: [("ProductName", "After"), ("LegalCopyright", "Other"), ("Comments", "Second")]}),
}


def text(value):
    return value.decode("utf-8", "replace") if isinstance(value, bytes) else str(value)


def pefile_reading(path):
    """What pefile reads of a PE file's version resource, to compare with TVersionInfo: valid,
    fixed [ms, ls], pairs (of the translation), translation (8 capital hex digits, given when
    there is one pair) and the strings of the table that translation names."""
    pe = pefile.PE(path)
    result = {"valid": hasattr(pe, "VS_VERSIONINFO")}
    if hasattr(pe, "VS_FIXEDFILEINFO"):
        fixed = pe.VS_FIXEDFILEINFO[0]
        result["fixed"] = [fixed.FileVersionMS, fixed.FileVersionLS]
    tables = []
    for info in getattr(pe, "FileInfo", []):
        for entry in info:
            if entry.Key == b"StringFileInfo":
                tables += entry.StringTable
            elif entry.Key == b"VarFileInfo" and "pairs" not in result:
                for var in (v for v in entry.Var if b"Translation" in v.entry):
                    # pefile keeps only the last pair, which is the first one only when there is one.
                    result["pairs"] = var.ValueLength // 4
                    words = var.entry[b"Translation"].split()
                    if result["pairs"] == 1:
                        result["translation"] = f"{int(words[0], 16):04X}{int(words[1], 16):04X}"
                    break
    for table in tables:
        if result.get("translation") and text(table.LangID).upper() == result["translation"]:
            result["strings"] = {text(k): text(v) for k, v in table.entries.items()}
            break
    return result


def run(*command):
    subprocess.run(command, check=True, capture_output=True)


def main():
    out, table = sys.argv[1:3]
    os.makedirs(out, exist_ok=True)
    missing = []
    run(sys.executable, os.path.join(HERE, "../../src/version/resource/make_version_resource.py"), "--table", table,
        "--rc", f"{out}/generated.rc", "--block", f"{out}/block")
    for form in ("elf64-big", "elf32-little", "elf32-big"):
        run("objcopy", "-I", "binary", "-O", form, "--rename-section", ".data=.txl_version", f"{out}/block",
            f"{out}/{form}")
    if not pefile:
        missing.append("python3-pefile is not installed")
    if not (shutil.which("x86_64-w64-mingw32-windres") and shutil.which("x86_64-w64-mingw32-ld")):
        missing.append("binutils-mingw-w64-x86-64 is not installed")
    else:
        cases = dict(CASES, generated=open(f"{out}/generated.rc", encoding="utf-8").read())
        for name, rc in cases.items():
            with open(f"{out}/{name}.rc", "w", encoding="utf-8") as f:
                f.write(rc)
            # The host preprocessor will do; the scripts need no Windows headers.
            run("x86_64-w64-mingw32-windres", "--preprocessor=cpp", "-O", "coff", "-i", f"{out}/{name}.rc",
                "-o", f"{out}/{name}.o")
            run("x86_64-w64-mingw32-ld", "-o", f"{out}/{name}.exe", f"{out}/{name}.o")
            if pefile:
                with open(f"{out}/{name}.json", "w", encoding="utf-8") as f:
                    json.dump(pefile_reading(f"{out}/{name}.exe"), f)
    with open(f"{out}/missing.txt", "w", encoding="utf-8") as f:
        f.write("; ".join(missing))


if __name__ == "__main__":
    main()
