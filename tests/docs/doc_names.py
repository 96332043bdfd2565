#!/usr/bin/env python3
"""doc_names.py SOURCE_DIR BUILD_DIR: the paths and code names that the pages (docs/*.md,
README.md) give in code spans exist, and so do the test functions their commands name; what counts
as a path or a code name, and what is passed over, is told in docs/testing.md ("The pages'
names")."""

import glob
import os
import re
import shlex
import subprocess
import sys

SOURCE, BUILD = sys.argv[1:3]
PAGES = sorted(glob.glob(os.path.join(SOURCE, "docs", "*.md"))) + [os.path.join(SOURCE, "README.md")]
SKIP = re.compile(r"""\s|^-|^\.[^/]*$|^_|[^\x00-\x7f]|["'=<>$\\|\[\]@,]|\d+\.\d+\.\d+""")
IDENT = r"[A-Za-z_][A-Za-z0-9_]*"
CODE = re.compile(rf"^{IDENT}(?:(?:::|\.){IDENT}|\.\d+)*(?:\(\))?$")


FILES = subprocess.run(["git", "-C", SOURCE, "ls-files"], capture_output=True, text=True,
                       check=True).stdout.splitlines()
TOP = {f.split("/")[0] for f in FILES}
NAMES = {os.path.basename(f) for f in FILES}
# Not the pages themselves, which would vouch for their own names.
NOT_SOURCES = {os.path.relpath(p, SOURCE) for p in PAGES}
TEXT = []
for f in FILES:
    if f in NOT_SOURCES:
        continue
    try:
        with open(os.path.join(SOURCE, f), encoding="utf-8") as handle:
            TEXT.append(f + "\n" + handle.read())
    except (UnicodeDecodeError, OSError):
        TEXT.append(f)  # binary: its path only
TEXT = "\n".join(TEXT)
ctest = subprocess.run(["ctest", "--test-dir", BUILD, "-N"], capture_output=True, text=True)
TESTS = set(re.findall(r"Test +#\d+: (\S+)", ctest.stdout))


def word(name):  # also as -DNAME
    return re.search(rf"(?:(?<![\w])|(?<=-D)){re.escape(name)}(?![\w])", TEXT) is not None


def code_name_exists(name):
    if name in TESTS:
        return True
    called = name.endswith("()")
    bare = name[:-2] if called else name
    if re.search(r"\.[a-z0-9]+$", bare):  # a file name, or a test's part (tst_x.1)
        return bare in NAMES or bare + ".in" in NAMES or word(bare)
    parts = re.split(r"::|\.", bare)
    if not all(word(p) for p in parts):
        return False
    return not called or re.search(rf"(?<![\w]){re.escape(parts[-1])}\(", TEXT) is not None


def path_exists(path, page):
    for base in (SOURCE, os.path.dirname(page)):
        full = os.path.join(base, path)
        if glob.glob(full) if "*" in path else os.path.exists(full):
            return True
    return False


def path_named(path, page):  # or a folder the sources make or read (fuzz/regressions/, say)
    return path_exists(path, page) or (path.endswith("/") and "*" not in path and path[:-1] in TEXT)


def check_span(span, page):
    """None when the span names nothing; else whether what it names exists."""
    if SKIP.search(span):
        return None
    if "/" in span:
        if span.startswith("/") or (span.split("/")[0] not in TOP and not path_exists(span, page)):
            return None
        return path_named(span, page)
    if "*" in span or not CODE.match(span):
        return None
    if not ("_" in span or "." in span or "::" in span or span.endswith("()") or re.search(r"\d|.[A-Z]", span)):
        return None
    return code_name_exists(span)


def listing(program, option):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    run = subprocess.run([os.path.join(SOURCE, "tests/common/in-netns.sh"), program, option],
                         capture_output=True, text=True, env=env)
    return run.stdout.splitlines() if run.returncode == 0 else None


def check_command(line):
    """None when the fenced line runs no test program's functions; else what it names that the
    program lacks."""
    try:
        words = shlex.split(line, comments=True)
    except ValueError:
        return None
    for i, w in enumerate(words[:-1]):
        if not (w.endswith("tests/common/rows.sh") or w.endswith("tests/common/in-netns.sh")):
            continue
        program = words[i + 1]
        if not program.startswith("build/"):
            return None
        built = os.path.join(BUILD, program[len("build/"):])
        functions = listing(built, "-functions") if os.path.exists(built) else None
        rows = listing(built, "-datatags") if functions is not None else None
        if functions is None or rows is None:
            return [f"{program}: no such test program in this build"]
        known = {f[:-2] for f in functions} | {" ".join(r.split(" ")[1:]) for r in rows}
        named = [re.sub(r":", " ", n, count=1) for n in words[i + 2:]]
        return [f"{program} has no function or row '{n}'" for n in named if n not in known]
    return None


def main():
    failures, passed, skipped = [], 0, 0
    for page in PAGES:
        rel = os.path.relpath(page, SOURCE)
        with open(page, encoding="utf-8") as handle:
            lines = handle.read().split("\n")
        fenced, command = False, ""
        for number, line in enumerate(lines, 1):
            if line.startswith("```"):
                fenced, command = not fenced, ""
                continue
            if fenced:
                command += line
                if command.endswith("\\"):
                    command = command[:-1]
                    continue
                problems = check_command(command)
                if problems is not None:
                    failures += [f"{rel}:{number}: {problem}" for problem in problems]
                    passed += not problems
                command = ""
                continue
            for span in re.findall(r"`([^`]+)`", line):
                found = check_span(span, page)
                if found is None:
                    skipped += 1
                elif found:
                    passed += 1
                else:
                    failures.append(f"{rel}:{number}: `{span}`: no such path or name in the sources")
            for target in re.findall(r"\]\(([^)\s]+)\)", line):
                path = target.split("#", 1)[0]
                if path and not re.match(r"^[a-z]+:", path):
                    if os.path.exists(os.path.join(os.path.dirname(page), path)):
                        passed += 1
                    else:
                        failures.append(f"{rel}:{number}: link to {path}: no such file")
    if passed == 0:
        failures.append("nothing was checked")
    for failure in failures:
        print("FAIL: " + failure)
    print(f"{passed} passed, {len(failures)} failed ({skipped} spans passed over)")
    return 1 if failures else 0


sys.exit(main())
