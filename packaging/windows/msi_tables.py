#!/usr/bin/env python3
"""Puts right in a wixl package what wixl 0.101 leaves out, with msitools' msibuild:

  msi_tables.py PACKAGE.msi FILE_KEY=VERSION,LANGUAGE...

  - short names: a file or shortcut name that is no 8.3 name becomes "short|long", as the
    Filename data type asks (Microsoft: "Filename"; ICE03);
  - the version and language of each versioned file (the programs, FILE_KEY=VERSION,LANGUAGE),
    whose MsiFileHash rows go: that table is for unversioned files only ("MsiFileHash Table");
  - the _Validation table (ICE03 checks every column against it): a row for every column of
    every table in the package, nullable as the column is, with the category, key table and
    range of Microsoft's table pages (TABLE_COLUMNS). A column TABLE_COLUMNS does not know stops the build.
Standard library only; msiinfo and msibuild from msitools."""

import os
import re
import subprocess
import sys
import tempfile

# Table: Column Category[>KeyTable[:KeyColumn]][=Min..Max][{Set}], blank-separated. No category
# ("-") for plain numbers. KeyColumn is 1 unless given.
_SEQUENCE = "Action Identifier  Condition Condition  Sequence -=-4..32767"
TABLE_COLUMNS = {
    "AdminExecuteSequence": _SEQUENCE, "AdminUISequence": _SEQUENCE, "AdvtExecuteSequence": _SEQUENCE,
    "InstallExecuteSequence": _SEQUENCE, "InstallUISequence": _SEQUENCE,
    "AppSearch": "Property Identifier  Signature_ Identifier>Signature;RegLocator;IniLocator;DrLocator;CompLocator",
    "Binary": "Name Identifier  Data Binary",
    "Icon": "Name Identifier  Data Binary",
    "Component": "Component Identifier  ComponentId Guid  Directory_ Identifier>Directory  Attributes -"
                 "  Condition Condition  KeyPath Identifier>File;Registry;ODBCDataSource",
    "CreateFolder": "Directory_ Identifier>Directory  Component_ Identifier>Component",
    "CustomAction": "Action Identifier  Type -=1..32767  Source CustomSource  Target Formatted"
                    "  ExtendedType -=0..2147483647",
    "Directory": "Directory Identifier  Directory_Parent Identifier>Directory  DefaultDir DefaultDir",
    "Error": "Error -=0..32767  Message Template",
    "Feature": "Feature Identifier  Feature_Parent Identifier>Feature  Title Text  Description Text"
               "  Display -=0..32767  Level -=0..32767  Directory_ UpperCase>Directory  Attributes -",
    "FeatureComponents": "Feature_ Identifier>Feature  Component_ Identifier>Component",
    "File": "File Identifier  Component_ Identifier>Component  FileName Filename  FileSize -=0..2147483647"
            "  Version Version>File  Language Language  Attributes -=0..32767  Sequence -=1..2147483647",
    "LaunchCondition": "Condition Condition  Description Formatted",
    "Media": "DiskId -=1..32767  LastSequence -=0..2147483647  DiskPrompt Text  Cabinet Cabinet"
             "  VolumeLabel Text  Source Property",
    "MsiFileHash": "File_ Identifier>File  Options -=0..0  HashPart1 -  HashPart2 -  HashPart3 -  HashPart4 -",
    "Property": "Property Identifier  Value Text",
    "RegLocator": "Signature_ Identifier  Root -=0..3  Key RegPath  Name Formatted  Type -=0..18",
    "Registry": "Registry Identifier  Root -=-1..3  Key RegPath  Name Formatted  Value Formatted"
                "  Component_ Identifier>Component",
    "RemoveFile": "FileKey Identifier  Component_ Identifier>Component  FileName WildCardFilename"
                  "  DirProperty Identifier  InstallMode -{1;2;3}",
    "ServiceControl": "ServiceControl Identifier  Name Formatted  Event -=0..187  Arguments Formatted"
                      "  Wait -=0..1  Component_ Identifier>Component",
    "ServiceInstall": "ServiceInstall Identifier  Name Formatted  DisplayName Formatted  ServiceType -"
                      "  StartType -=0..4  ErrorControl -  LoadOrderGroup Formatted  Dependencies Formatted"
                      "  StartName Formatted  Password Formatted  Arguments Formatted"
                      "  Component_ Identifier>Component  Description Text",
    "Shortcut": "Shortcut Identifier  Directory_ Identifier>Directory  Name Filename  Component_ Identifier>Component"
                "  Target Shortcut  Arguments Formatted  Description Text  Hotkey -=0..32767  Icon_ Identifier>Icon"
                "  IconIndex -=-32767..32767  ShowCmd -{1;3;7}  WkDir Identifier  DisplayResourceDLL Formatted"
                "  DisplayResourceId -=0..32767  DescriptionResourceDLL Formatted  DescriptionResourceId -=0..32767",
    "Signature": "Signature Identifier  FileName Filename  MinVersion Text  MaxVersion Text  MinSize -=0..2147483647"
                 "  MaxSize -=0..2147483647  MinDate -=0..2147483647  MaxDate -=0..2147483647  Languages Language",
    "Upgrade": "UpgradeCode Guid  VersionMin Text  VersionMax Text  Language Language  Attributes -=0..2147483647"
               "  Remove Formatted  ActionProperty UpperCase",
}
COLUMN = re.compile(r"(\S+) ([^\s>={]+)(?:>([^\s:={]+)(?::(\d+))?)?(?:=(-?\d+)\.\.(-?\d+))?(?:\{([^}]*)\})?$")
SHORT_FORBIDDEN = set(' +,;=[]."/\\?|<>:*')


def run(*args):
    # Elsewhere: msiinfo export writes a table's streams (icons, binaries) into the current folder.
    with tempfile.TemporaryDirectory() as elsewhere:
        return subprocess.run(args, check=True, capture_output=True, text=True, cwd=elsewhere).stdout


def table(msi, name):
    """(column names, column types, rows) of a table, as msiinfo exports it."""
    lines = run("msiinfo", "export", msi, name).replace("\r", "").split("\n")
    names, types = lines[0].split("\t"), lines[1].split("\t")
    return names, types, [line.split("\t") for line in lines[3:] if line]


def quote(text):
    return "'" + text.replace("'", "''") + "'"


def is_short(name):
    base, dot, ext = name.rpartition(".") if "." in name else (name, "", "")
    return (0 < len(base) <= 8 and len(ext) <= 3 and not (SHORT_FORBIDDEN & set(base + ext)))


def short_names(names):
    """long name -> short|long (or itself when it is an 8.3 name), unique among names."""
    out, taken = {}, {n.upper() for n in names if is_short(n)}
    for name in sorted(names):
        if is_short(name):
            out[name] = name
            continue
        base, _, ext = name.rpartition(".") if "." in name else (name, "", "")
        base = "".join(c for c in base.upper() if c not in SHORT_FORBIDDEN)
        ext = "".join(c for c in ext.upper() if c not in SHORT_FORBIDDEN)[:3]
        for n in range(1, 10):
            short = f"{base[:6]}~{n}" + (f".{ext}" if ext else "")
            if short not in taken:
                break
        taken.add(short)
        out[name] = f"{short}|{name}"
    return out


def validation_rows(msi):
    rows = []
    for name in run("msiinfo", "tables", msi).split():
        if name.startswith("_"):
            continue
        if name not in TABLE_COLUMNS:
            sys.exit(f"msi_tables.py: no _Validation entries for table {name}")
        known = {m.group(1): m.groups()[1:] for m in map(COLUMN.match, re.split(r"\s{2,}", TABLE_COLUMNS[name].strip()))}
        columns, types, _ = table(msi, name)
        for column, kind in zip(columns, types):
            if column not in known:
                sys.exit(f"msi_tables.py: no _Validation entry for {name}.{column}")
            category, key_table, key_column, low, high, choices = known[column]
            nullable = "Y" if kind[0].isupper() else "N"
            rows.append([name, column, nullable, low or "", high or "", key_table or "",
                         (key_column or "1") if key_table else "", "" if category == "-" else category,
                         choices or "", ""])
    return rows


def main(msi, versions):
    queries = []
    columns, _, rows = table(msi, "Component")
    folder_of = {r[0]: r[columns.index("Directory_")] for r in rows}
    for tab, key, col, where in (("File", "File", "FileName", "Component_"),
                                 ("Shortcut", "Shortcut", "Name", "Directory_")):
        columns, _, rows = table(msi, tab)
        k, c, w = columns.index(key), columns.index(col), columns.index(where)
        folder = {r[k]: folder_of[r[w]] if tab == "File" else r[w] for r in rows}
        for place in sorted(set(folder.values())):  # in one order: it orders the string pool
            here = [r for r in rows if folder[r[k]] == place]
            fixed = short_names([r[c] for r in here])
            queries += [f"UPDATE `{tab}` SET `{col}` = {quote(fixed[r[c]])} WHERE `{key}` = {quote(r[k])}"
                        for r in here if fixed[r[c]] != r[c]]
    for item in versions:
        key, _, value = item.partition("=")
        version, _, language = value.partition(",")
        queries.append(f"UPDATE `File` SET `Version` = {quote(version)}, `Language` = {quote(language)} "
                       f"WHERE `File` = {quote(key)}")
        queries.append(f"DELETE FROM `MsiFileHash` WHERE `File_` = {quote(key)}")
    for query in queries:
        run("msibuild", msi, "-q", query)
    with tempfile.TemporaryDirectory() as work:
        idt = f"{work}/_Validation.idt"
        with open(idt, "w", newline="") as f:
            f.write("Table\tColumn\tNullable\tMinValue\tMaxValue\tKeyTable\tKeyColumn\tCategory\tSet\tDescription\r\n"
                    "s32\ts32\ts4\tI4\tI4\tS255\tI2\tS32\tS255\tS255\r\n_Validation\tTable\tColumn\r\n")
            f.writelines("\t".join(row) + "\r\n" for row in validation_rows(msi))
        run("msibuild", msi, "-i", idt)


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    main(os.path.abspath(sys.argv[1]), sys.argv[2:])
