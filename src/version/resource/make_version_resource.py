#!/usr/bin/env python3
"""Makes the program's version resource from its table (a program.version.in filled by CMake).

Writes any of: the Windows resource script (--rc), the binary VS_VERSIONINFO block
(--block) and a C++ file that puts that block into an ELF section (--cpp). The block is
laid out as the resource compilers lay it out, so the .rc compiled on Windows and the
block embedded elsewhere hold the same bytes. Standard library only.
"""

import argparse
import configparser
import struct
import sys

FIXED_KEYS = ("FileVersion", "ProductVersion", "FileFlagsMask", "FileFlags",
              "FileOS", "FileType", "FileSubtype")
FIXED_SIGNATURE = 0xFEEF04BD
FIXED_STRUC_VERSION = 0x00010000


class TableError(Exception):
    pass


def parse_number(text, what):
    try:
        value = int(text, 0)
    except ValueError:
        raise TableError(f"{what}: {text!r} is not a number") from None
    if not 0 <= value <= 0xFFFFFFFF:
        raise TableError(f"{what}: {text!r} does not fit 32 bits")
    return value


def parse_version(text, what):
    parts = text.split(".")
    if len(parts) != 4 or not all(p.isdigit() and int(p) <= 0xFFFF for p in parts):
        raise TableError(f"{what}: {text!r} is not four numbers 0..65535 joined by dots")
    a, b, c, d = (int(p) for p in parts)
    return (a << 16 | b, c << 16 | d)


def load_table(path):
    parser = configparser.ConfigParser(interpolation=None, delimiters=("=",),
                                       comment_prefixes=("#",), empty_lines_in_values=False)
    parser.optionxform = str  # keys keep their case
    with open(path, encoding="utf-8") as f:
        parser.read_file(f)
    for section in ("fixed", "translation", "strings"):
        if not parser.has_section(section):
            raise TableError(f"section [{section}] is missing")
    fixed = dict(parser["fixed"])
    if sorted(fixed) != sorted(FIXED_KEYS):
        raise TableError(f"[fixed] must hold exactly {', '.join(FIXED_KEYS)}")
    table = {
        "file_version": parse_version(fixed["FileVersion"], "FileVersion"),
        "product_version": parse_version(fixed["ProductVersion"], "ProductVersion"),
    }
    for key in FIXED_KEYS[2:]:
        table[key] = parse_number(fixed[key], key)
    translation = parser["translation"]
    language = parse_number(translation.get("Language", ""), "Language")
    code_page = parse_number(translation.get("CodePage", ""), "CodePage")
    if language > 0xFFFF or code_page > 0xFFFF:
        raise TableError("Language and CodePage are 16-bit numbers")
    table["translation"] = (language, code_page)
    table["strings"] = list(parser["strings"].items())
    for key, _ in table["strings"]:
        if not key.isascii() or not key.isprintable() or '"' in key or "\\" in key:
            raise TableError(f"string key {key!r}: printable ASCII without quotes or backslashes only")
    return table


def translation_key(table):
    language, code_page = table["translation"]
    return f"{language:04X}{code_page:04X}"


# --- the binary block ---------------------------------------------------------

def pad4(data):
    data.extend(b"\0" * (-len(data) % 4))


def utf16z(text):
    return (text + "\0").encode("utf-16-le")


def node(key, value=b"", value_length=0, text=False, children=()):
    """One node: header, key, value, children, each part starting 32-bit aligned.

    Its length ends with its last part, without padding after it."""
    data = bytearray(struct.pack("<HHH", 0, value_length, 1 if text else 0))
    data += utf16z(key)
    if value or children:
        pad4(data)
    data += value
    for child in children:
        pad4(data)
        data += child
    if len(data) > 0xFFFF:
        raise TableError(f"node {key!r} is longer than a version block can describe")
    struct.pack_into("<H", data, 0, len(data))
    return bytes(data)


def make_block(table):
    fixed = struct.pack("<13I", FIXED_SIGNATURE, FIXED_STRUC_VERSION,
                        *table["file_version"], *table["product_version"],
                        table["FileFlagsMask"], table["FileFlags"], table["FileOS"],
                        table["FileType"], table["FileSubtype"], 0, 0)
    strings = [node(key, utf16z(value), len(utf16z(value)) // 2, text=True)
               for key, value in table["strings"]]
    string_file_info = node("StringFileInfo", text=True,
                            children=[node(translation_key(table), text=True, children=strings)])
    var_file_info = node("VarFileInfo", text=True,
                         children=[node("Translation", struct.pack("<HH", *table["translation"]), 4)])
    return node("VS_VERSION_INFO", fixed, len(fixed), children=[string_file_info, var_file_info])


# --- the resource script ------------------------------------------------------

def rc_string(text):
    """A resource-script literal; anything past printable ASCII goes as UTF-16 escapes."""
    if text.isascii() and text.isprintable():
        return '"' + text.replace("\\", "\\\\").replace('"', '""') + '"'
    units = text.encode("utf-16-le")
    out = []
    for i in range(0, len(units), 2):
        unit = units[i] | units[i + 1] << 8
        ch = chr(unit)
        if 0x20 <= unit < 0x7F and ch not in '"\\':
            out.append(ch)
        else:
            out.append(f"\\x{unit:04X}")
    return 'L"' + "".join(out) + '"'


def rc_version(halves):
    ms, ls = halves
    return f"{ms >> 16},{ms & 0xFFFF},{ls >> 16},{ls & 0xFFFF}"


def make_rc(table, source_name):
    language, code_page = table["translation"]
    lines = [
        f"// Made by make_version_resource.py from {source_name}; do not edit.",
        f"LANGUAGE 0x{language & 0x3FF:X}, 0x{language >> 10:X}",
        "",
        "1 VERSIONINFO",
        f"FILEVERSION {rc_version(table['file_version'])}",
        f"PRODUCTVERSION {rc_version(table['product_version'])}",
        f"FILEFLAGSMASK 0x{table['FileFlagsMask']:X}",
        f"FILEFLAGS 0x{table['FileFlags']:X}",
        f"FILEOS 0x{table['FileOS']:X}",
        f"FILETYPE 0x{table['FileType']:X}",
        f"FILESUBTYPE 0x{table['FileSubtype']:X}",
        "BEGIN",
        '    BLOCK "StringFileInfo"',
        "    BEGIN",
        f'        BLOCK "{translation_key(table)}"',
        "        BEGIN",
    ]
    lines += [f'            VALUE "{key}", {rc_string(value)}' for key, value in table["strings"]]
    lines += [
        "        END",
        "    END",
        '    BLOCK "VarFileInfo"',
        "    BEGIN",
        f'        VALUE "Translation", 0x{language:04X}, 0x{code_page:04X}',
        "    END",
        "END",
        "",
    ]
    return "\n".join(lines)


# --- the C++ file ---------------------------------------------------------------

def make_cpp(block, section, source_name):
    rows = [", ".join(f"0x{b:02X}" for b in block[i:i + 12]) for i in range(0, len(block), 12)]
    body = ",\n    ".join(rows)
    return (f"// Made by make_version_resource.py from {source_name}; do not edit.\n"
            f"// The program's version block; TVersionInfo finds it by its section name.\n"
            f'__attribute__((section("{section}"), used, aligned(4)))\n'
            f"static const unsigned char TxlVersionBlock[{len(block)}] = {{\n    {body}}};\n")


def write_if_changed(path, data):
    try:
        with open(path, "rb") as f:
            if f.read() == data:
                return
    except FileNotFoundError:
        pass
    with open(path, "wb") as f:
        f.write(data)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--table", required=True)
    ap.add_argument("--rc")
    ap.add_argument("--block")
    ap.add_argument("--cpp")
    ap.add_argument("--section", default=".txl_version")
    args = ap.parse_args()
    try:
        table = load_table(args.table)
        block = make_block(table)
    except (TableError, configparser.Error, OSError) as e:
        sys.exit(f"{args.table}: {e}")
    source_name = args.table.replace("\\", "/").rsplit("/", 1)[-1]
    if args.rc:
        write_if_changed(args.rc, make_rc(table, source_name).encode("ascii"))
    if args.block:
        write_if_changed(args.block, block)
    if args.cpp:
        write_if_changed(args.cpp, make_cpp(block, args.section, source_name).encode("ascii"))


if __name__ == "__main__":
    main()
