#!/usr/bin/env python3
"""Makes the relinking kit's obj/, link.sh and inputs.txt from the release build's link commands.

  relink_kit.py BUILD_DIR QT_PREFIX KIT_DIR PROGRAM 'LINK COMMAND' [PROGRAM 'LINK COMMAND']...

Each command is the one ninja ran in BUILD_DIR for PROGRAM.exe (ninja -t commands PROGRAM.exe).
Every file it names in BUILD_DIR is copied into KIT_DIR/obj/ under the same relative path, every
file in QT_PREFIX becomes "$QT/...", and nothing else changes. A file from anywhere else must be
part of the MinGW-w64 toolchain; any other path stops the kit, since a recipient would lack it.
link.sh links every program in turn."""

import os
import shlex
import shutil
import sys

TOOLCHAIN = ("/usr/lib/gcc/x86_64-w64-mingw32/", "/usr/x86_64-w64-mingw32/")


def link_words(build, qt, kit, program, command, inputs):
    """The link command of PROGRAM.exe with the kit's paths; its inputs are added to INPUTS."""
    steps = [s.strip() for s in command.split("&&") if s.strip() not in ("", ":")]
    link = [s for s in steps if f" -o {program}.exe" in s]
    if len(link) != 1:
        sys.exit(f"no single link step in: {command}")
    words = shlex.split(link[0])
    out = []

    def place(path, word):
        real = os.path.realpath(path if os.path.isabs(path) else os.path.join(build, path))
        if real.startswith(build + os.sep) and os.path.isdir(real):
            # A library folder of the build (the delay-load import libraries): its libraries.
            rel = os.path.relpath(real, build)
            os.makedirs(os.path.join(kit, "obj", rel), exist_ok=True)
            for name in sorted(n for n in os.listdir(real) if n.endswith(".a")):
                shutil.copyfile(os.path.join(real, name), os.path.join(kit, "obj", rel, name))
                inputs.append(f"obj/{rel}/{name}\t{program} (this kit)")
            return word.replace(path, f"obj/{rel}")
        if real.startswith(build + os.sep) and os.path.isfile(real):
            rel = os.path.relpath(real, build)
            os.makedirs(os.path.join(kit, "obj", os.path.dirname(rel)), exist_ok=True)
            shutil.copyfile(real, os.path.join(kit, "obj", rel))
            inputs.append(f"obj/{rel}\t{program} (this kit)")
            return word.replace(path, f"obj/{rel}")
        if real.startswith(qt + os.sep):
            rel = os.path.relpath(real, qt)
            inputs.append(f"$QT/{rel}\tQt")
            return word.replace(path, f"$QT/{rel}")
        if os.path.isabs(path):
            if not real.startswith(TOOLCHAIN):
                sys.exit(f"the link command names {path}, which a recipient would not have")
            inputs.append(f"{path}\tMinGW-w64")
        return word

    for i, word in enumerate(words):
        if i == 0:
            out.append("$CXX")
        elif word.startswith("-Wl,-Map="):
            out.append(f"-Wl,-Map={program}.map")
        elif word.startswith("-Wl,--out-implib,"):
            out.append(f"-Wl,--out-implib,lib{program}.dll.a")
        elif word.startswith("-L"):
            if os.path.realpath(word[2:]).startswith(build + os.sep) and os.path.isabs(word[2:]):
                # ld sorts import tables by library path: the kit's relative one would reorder them.
                sys.exit(f"the link command names {word}; the build must search it by a relative path")
            out.append("-L" + place(word[2:], word[2:]))
        elif word.startswith("-l"):
            inputs.append(f"{word}\tMinGW-w64 (import or runtime library)")
            out.append(word)
        elif not word.startswith("-") or os.path.isabs(word):
            out.append(place(word, word) if word != f"{program}.exe" else word)
        else:
            out.append(word)
    return out


def main(build, qt, kit, *pairs):
    build, qt = os.path.realpath(build), os.path.realpath(qt)
    inputs, commands = [], []
    for program, command in zip(pairs[::2], pairs[1::2]):
        commands.append(link_words(build, qt, kit, program, command, inputs))
    inputs = list(dict.fromkeys(inputs))  # a file several programs link is named once

    def quote(word):
        if "$QT" in word or word == "$CXX":
            rest = word.replace("$QT", "\x00").replace("$CXX", "\x01")
            rest = "".join("\\" + c if c in '"\\`$' else c for c in rest)
            return '"' + rest.replace("\x00", "$QT").replace("\x01", "$CXX") + '"'
        return shlex.quote(word)

    with open(os.path.join(kit, "link.sh"), "w") as f:
        f.write("#!/bin/sh\n"
                "# Links the programs as the release did, from obj/ and the static Qt in the prefix\n"
                "# given as the first argument. See README.txt.\n"
                "set -e\n"
                'QT=$(cd "${1:?usage: sh link.sh QT_PREFIX}" && pwd)\n'
                'cd "$(dirname "$0")"\n'
                "CXX=${CXX:-x86_64-w64-mingw32-g++-posix}\n"
                + "".join(" \\\n    ".join(quote(w) for w in out) + "\n" for out in commands))
    os.chmod(os.path.join(kit, "link.sh"), 0o755)
    with open(os.path.join(kit, "inputs.txt"), "w") as f:
        f.write("Inputs of link.sh, in the order the command names them\n\n")
        f.write("\n".join(inputs) + "\n")
    print(f"relinking kit: {sum(1 for i in inputs if i.startswith('obj/'))} files of the programs, "
          f"{sum(1 for i in inputs if i.startswith('$QT/'))} of Qt")


if __name__ == "__main__":
    if len(sys.argv) < 6 or len(sys.argv) % 2:
        sys.exit(__doc__)
    main(*sys.argv[1:])
