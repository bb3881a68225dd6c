#!/usr/bin/env python3
# Lines of tests against lines of product code: non-blank, non-comment lines
# of C/C++ in tests/ against include/, src/, protocol/, vboard/, tools/ and
# vpsdk/ (fuzz/ and bench/ count neither way). --folders: per folder too.
import os
import re
import subprocess
import sys

PRODUCT = ("include", "src", "protocol", "vboard", "tools", "vpsdk")
SOURCE = re.compile(r"\.(c|cc|cpp|h|hpp)$")


def code_lines(path):
    with open(path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    text = re.sub(r"/\*.*?\*/", lambda m: "\n" * m.group(0).count("\n"), text, flags=re.S)
    return sum(1 for line in text.split("\n") if line.strip() and not line.strip().startswith("//"))


def main():
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    files = subprocess.run(["git", "-C", root, "ls-files"], check=True, capture_output=True,
                           text=True).stdout.split()
    folders = {}
    for path in filter(SOURCE.search, files):
        parts = path.split("/")
        key = "/".join(parts[:2]) if parts[0] == "tests" else parts[0]
        folders[key] = folders.get(key, 0) + code_lines(os.path.join(root, path))
    product = sum(v for k, v in folders.items() if k in PRODUCT)
    tests = sum(v for k, v in folders.items() if k.startswith("tests/"))
    if "--folders" in sys.argv:
        for key in sorted(folders):
            print(f"{key:24} {folders[key]:6}")
    print(f"tests {tests} / product {product} = {tests / product:.2f}")


if __name__ == "__main__":
    main()
