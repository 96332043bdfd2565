#!/usr/bin/env python3
"""Prints, as one JSON object, what the pefile module reads from a PE file's version
resource, for comparison with TVersionInfo: valid, fixed [ms, ls], pairs (the number of
translation pairs), translation (8 capital hex digits, given when there is one pair) and the
strings of the table named by that translation.
Exits with 77 when pefile is not installed."""

import json
import sys

try:
    import pefile
except ImportError:
    sys.exit(77)


def text(value):
    return value.decode("utf-8", "replace") if isinstance(value, bytes) else str(value)


def main():
    pe = pefile.PE(sys.argv[1])
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
                for var in entry.Var:
                    if b"Translation" in var.entry:
                        # pefile keeps only the last pair, which is the first one only
                        # when there is one.
                        result["pairs"] = var.ValueLength // 4
                        words = var.entry[b"Translation"].split()
                        if result["pairs"] == 1:
                            result["translation"] = f"{int(words[0], 16):04X}{int(words[1], 16):04X}"
                        break
    want = result.get("translation")
    for table in tables:
        if want and text(table.LangID).upper() == want:
            result["strings"] = {text(k): text(v) for k, v in table.entries.items()}
            break
    json.dump(result, sys.stdout)


if __name__ == "__main__":
    main()
