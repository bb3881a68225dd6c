#!/usr/bin/env python3
# Mutation testing of the product code: plants one small fault at a time
# (a mutant), rebuilds incrementally, runs the tests of the mutated file's
# subsystem, and reports which mutants no test noticed. Run by
# scripts/mutation-score.sh; see README's development section.
import argparse
import hashlib
import os
import re
import signal
import subprocess
import sys
import time

# Product folders and the CTest labels (test folders) that test them; the
# first prefix that matches a file wins.
SUBSYSTEM_LABELS = [
    ("src/board/", "board"),
    ("src/boot/", "boot|board"),
    ("src/fileio/", "fileio|sandbox"),
    ("src/osal/", "osal"),
    ("src/platform/", "osal|board|fileio|sandbox"),
    ("protocol/", "board|boot|fileio|vpcpu|emulation"),
    ("vboard/src/gdb_", "vpcpu|emulation|tools"),  # the tools tests drive gdb
    ("vboard/", "board|boot|vpcpu|emulation|reliability"),
    ("tools/hbpe/", "hbpe|tools"),
    ("tools/", "tools"),
    ("vpsdk/", "vpcpu|emulation|tools"),
    ("include/", "exports|board|fileio"),
]
PRODUCT_FOLDERS = ["src", "protocol", "vboard", "tools", "vpsdk", "include"]
SOURCE_SUFFIXES = (".c", ".cpp", ".h")

# Operators as clang-format writes them: a blank on each side.
BINARY_SWAPS = {" < ": " <= ", " <= ": " < ", " > ": " >= ", " >= ": " > ",
                " == ": " != ", " != ": " == ", " && ": " || ", " || ": " && "}
RETURN_SWAPS = {"return true;": "return false;", "return false;": "return true;",
                "return 0;": "return 1;", "return 1;": "return 0;",
                "return -1;": "return 0;", "return nullptr;": "return {};"}
INTEGER = re.compile(r"(?<![\w.])(0x[0-9A-Fa-f]+|\d+)(?![\w.])")
STRING_OR_CHAR = re.compile(r'"(?:[^"\\]|\\.)*"|\'(?:[^\'\\]|\\.)*\'')


class Mutant:
    def __init__(self, path, line, column, old, new, kind):
        self.path, self.line, self.column = path, line, column
        self.old, self.new, self.kind = old, new, kind

    def describe(self):
        return f"{self.path}:{self.line}: {self.kind}: '{self.old.strip()}' -> '{self.new.strip()}'"


def code_part(line):
    """The line with string literals blanked and a trailing // comment cut."""
    blanked = STRING_OR_CHAR.sub(lambda m: " " * len(m.group(0)), line)
    cut = blanked.find("//")
    return blanked if cut < 0 else blanked[:cut] + " " * (len(blanked) - cut)


def is_code_line(code, in_block_comment):
    stripped = code.strip()
    if in_block_comment or not stripped:
        return False
    return not stripped.startswith(("#", "*", "/*", "static_assert", "template"))


DECLARATION = re.compile(r"^[\w:<>,]+[\s*&]+[\w*&]")


def deletable(code):
    """A call or an assignment alone on its line: deleted, the line still builds."""
    stripped = code.strip()
    if not stripped.endswith(";") or stripped.count(";") != 1:
        return False
    if stripped.count("(") != stripped.count(")"):  # the end of a longer statement
        return False
    first = stripped.split("(")[0].split()
    if not first or first[0] in ("return", "break", "continue", "case", "default:", "using",
                                 "typedef", "namespace", "struct", "class", "enum", "}"):
        return False
    if DECLARATION.match(stripped.split("(")[0].split("=")[0]):
        return False
    return "(" in stripped or re.search(r"[^=!<>]=[^=]", stripped) is not None


def mutants_of_line(path, number, line):
    code = code_part(line)
    for old, new in BINARY_SWAPS.items():
        for match in re.finditer(re.escape(old), code):
            yield Mutant(path, number, match.start(), old, new, "operator")
    for old, new in RETURN_SWAPS.items():
        at = code.find(old)
        if at >= 0:
            yield Mutant(path, number, at, old, new, "return value")
    for match in INTEGER.finditer(code):
        text = match.group(0)
        value = int(text, 16) if text.startswith("0x") else int(text, 8 if text[0] == "0" else 10)
        for delta in (1, -1):
            if value + delta >= 0:
                new = hex(value + delta) if text.startswith("0x") else str(value + delta)
                if text[0] == "0" and len(text) > 1 and not text.startswith("0x"):
                    new = oct(value + delta).replace("0o", "0")
                yield Mutant(path, number, match.start(), text, new, "constant")
    if deletable(code):
        yield Mutant(path, number, 0, line.rstrip("\n"), ";", "deleted statement")


def collect_mutants(root, paths):
    mutants = []
    for path in paths:
        with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
            lines = f.readlines()
        in_block = False
        for number, line in enumerate(lines, 1):
            code = code_part(line)
            if is_code_line(code, in_block):
                mutants.extend(mutants_of_line(path, number, line))
            if "/*" in code and "*/" not in code[code.find("/*"):]:
                in_block = True
            if "*/" in code:
                in_block = False
    return mutants


def built_files(root, build):
    """Every file the build tree compiles or includes, relative to the source tree."""
    found = set()
    for tool in (["-t", "deps"], ["-t", "inputs"]):
        listed = subprocess.run(["ninja", "-C", build, *tool], capture_output=True, text=True)
        for word in listed.stdout.split():
            path = os.path.relpath(os.path.normpath(os.path.join(build, word)), root)
            found.add(path)
    return found


def product_files(root, build, selection):
    """The product sources under the selection that the build tree really builds
    (a mutant of a file it does not build would survive every test)."""
    folders = selection or PRODUCT_FOLDERS
    listed = subprocess.run(["git", "-C", root, "ls-files", "--", *folders], check=True,
                            capture_output=True, text=True).stdout.split()
    built = built_files(root, build)
    return sorted(p for p in listed if p.endswith(SOURCE_SUFFIXES) and p in built)


def sample_order(mutants, root, seed):
    """The mutants in the order of the sample: by a hash of the seed, the file,
    the text of the mutated line and the change, so that an edit of other lines
    or files leaves the sample of unchanged code as it was."""
    texts, seen, keyed = {}, {}, []
    for m in mutants:
        if m.path not in texts:
            with open(os.path.join(root, m.path), encoding="utf-8", errors="replace") as f:
                texts[m.path] = f.read().splitlines()
        line = texts[m.path][m.line - 1]
        indent = len(line) - len(line.lstrip())
        identity = f"{m.path}|{line.strip()}|{m.column - indent}|{m.kind}|{m.old}|{m.new}"
        seen[identity] = seen.get(identity, 0) + 1  # the same line again in the file
        digest = hashlib.sha256(f"{seed}|{identity}|{seen[identity]}".encode()).hexdigest()
        keyed.append((digest, m))
    return [m for _, m in sorted(keyed, key=lambda pair: pair[0])]


def labels_for(path, override):
    if override:
        return override
    for prefix, labels in SUBSYSTEM_LABELS:
        if path.startswith(prefix):
            return labels
    return None


def apply(root, mutant):
    full = os.path.join(root, mutant.path)
    with open(full, encoding="utf-8", errors="surrogateescape") as f:
        original = f.read()
    lines = original.splitlines(keepends=True)
    line = lines[mutant.line - 1]
    if mutant.kind == "deleted statement":
        ending = "\n" if line.endswith("\n") else ""
        lines[mutant.line - 1] = line[: len(line) - len(line.lstrip())] + ";" + ending
    else:
        at = mutant.column
        lines[mutant.line - 1] = line[:at] + mutant.new + line[at + len(mutant.old):]
    with open(full, "w", encoding="utf-8", errors="surrogateescape") as f:
        f.write("".join(lines))
    return original


def restore(root, mutant, original):
    with open(os.path.join(root, mutant.path), "w", encoding="utf-8",
              errors="surrogateescape") as f:
        f.write(original)


def run(command, seconds):
    """True when the command succeeds within the time; False otherwise. The
    command runs in a process group of its own, all of which is killed when
    the time runs out (a hung test left behind would slow every later mutant)."""
    with subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          start_new_session=True) as process:
        try:
            return process.wait(timeout=seconds) == 0
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            return False
        except BaseException:
            os.killpg(process.pid, signal.SIGKILL)
            raise


def judge(root, build, mutant, labels, seconds):
    """'killed', 'survived' or 'unbuildable' for one mutant, the source restored after."""
    original = apply(root, mutant)
    try:
        if not run(["cmake", "--build", build, "--parallel", str(os.cpu_count() or 1)], 600):
            return "unbuildable"
        tests = ["ctest", "--test-dir", build, "--stop-on-failure", "--timeout", str(seconds),
                 "--parallel", str(os.cpu_count() or 1)]
        if labels:
            tests += ["-L", labels]
        return "survived" if run(tests, seconds) else "killed"
    finally:
        restore(root, mutant, original)


def parse_arguments():
    parser = argparse.ArgumentParser(description="Mutation score of the product code.")
    parser.add_argument("--seed", type=int, default=1, help="sample seed (default 1)")
    parser.add_argument("--count", type=int, default=200, help="mutants to judge (default 200)")
    parser.add_argument("--timeout", type=int, default=300,
                        help="seconds for one mutant's tests (default 300)")
    parser.add_argument("--build", default="build-mutation",
                        help="build tree, configured with the tests (default build-mutation)")
    parser.add_argument("--source", default=".", help="source tree (default the current folder)")
    parser.add_argument("--labels", help="CTest label regex for every mutant (default per subsystem)")
    parser.add_argument("--list", action="store_true", help="print the sample and judge nothing")
    parser.add_argument("--resume", metavar="LOG",
                        help="take the verdicts an interrupted run printed to LOG, judge the rest")
    parser.add_argument("paths", nargs="*", help="product folders or files (default all)")
    return parser.parse_args()


VERDICT_LINE = re.compile(r"^\[[-\d/]+\] (killed|survived|unbuildable) +(.*)$")


def earlier_verdicts(log):
    """Verdicts that an earlier run of the same sample printed to `log`."""
    if not log:
        return {}
    with open(log, encoding="utf-8", errors="replace") as f:
        matches = (VERDICT_LINE.match(line.rstrip("\n")) for line in f)
        return {m.group(2): m.group(1) for m in matches if m}


def stop(signum, frame):
    raise KeyboardInterrupt  # the mutated source is restored on the way out


def main():
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)  # also where a background shell ignores it
    args = parse_arguments()
    root = os.path.abspath(args.source)
    build = os.path.abspath(args.build)
    mutants = sample_order(collect_mutants(root, product_files(root, build, args.paths)),
                           root, args.seed)
    if args.list:
        for mutant in mutants[: args.count]:
            print(mutant.describe())
        return 0
    if not run(["cmake", "--build", build], 1800):
        print(f"mutation-score: the unmutated tree does not build in {build}", file=sys.stderr)
        return 125
    earlier = earlier_verdicts(args.resume)
    killed, survivors, judged, skipped = 0, [], 0, 0
    started = time.monotonic()
    for mutant in mutants:
        if judged == args.count:
            break
        verdict = earlier.get(mutant.describe()) or judge(
            root, build, mutant, labels_for(mutant.path, args.labels), args.timeout)
        if verdict == "unbuildable":
            skipped += 1
            print(f"[-] unbuildable {mutant.describe()}", flush=True)
            continue
        judged += 1
        killed += verdict == "killed"
        if verdict == "survived":
            survivors.append(mutant)
        print(f"[{judged}/{args.count}] {verdict:8} {mutant.describe()}", flush=True)
    print(f"seed {args.seed}: killed {killed}/{judged} ({100.0 * killed / max(judged, 1):.1f}%), "
          f"{skipped} unbuildable replaced, {time.monotonic() - started:.0f} s")
    for mutant in survivors:
        print(f"survivor: {mutant.describe()}")
    run(["cmake", "--build", build], 1800)
    return 0


if __name__ == "__main__":
    sys.exit(main())
