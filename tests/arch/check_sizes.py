#!/usr/bin/env python3
"""Fails, naming them, on program files over 600 lines and functions over 80 lines.

Usage: check_sizes.py <source root>. Looks at the .cpp and .h files git tracks outside tests/.
A function is found by its braces: a '{' at namespace or class depth whose line, or the line
before, closes a parameter list. Comments, strings and character literals are blanked first.
"""
import re
import subprocess
import sys

MAX_FILE_LINES, MAX_FUNCTION_LINES = 600, 80
root = sys.argv[1] if len(sys.argv) > 1 else "."
files = subprocess.run(["git", "-C", root, "ls-files", "*.cpp", "*.h"], capture_output=True,
                       text=True, check=True).stdout.split()
problems = []
for name in files:
    if name.startswith("tests/"):
        continue
    with open(f"{root}/{name}", encoding="utf-8", errors="replace") as f:
        text = f.read()
    text = re.sub(r"/\*.*?\*/", lambda m: re.sub(r"[^\n]", " ", m.group()), text, flags=re.S)
    lines = text.split("\n")
    if len(lines) - 1 > MAX_FILE_LINES:
        problems.append(f"{name}: {len(lines) - 1} lines (at most {MAX_FILE_LINES})")
    depth, start, start_depth = 0, None, 0
    for i, line in enumerate(lines):
        code = re.sub(r'R"\((.*?)\)"|"(\\.|[^"\\])*"|' + r"'(\\.|[^'\\])*'|//.*", '""', line)
        for ch in code:
            if ch == "{":
                opens_function = ")" in code or "const" in code or (i > 0 and ")" in lines[i - 1])
                kind = re.match(r"\s*(namespace|class|struct|enum|union|extern)\b", code)
                if start is None and depth <= 1 and opens_function and not kind:
                    start, start_depth = i, depth
                depth += 1
            elif ch == "}":
                depth -= 1
                if start is not None and depth == start_depth:
                    if i - start + 1 > MAX_FUNCTION_LINES:
                        problems.append(f"{name}:{start + 1}: function of {i - start + 1} lines "
                                        f"(at most {MAX_FUNCTION_LINES})")
                    start = None
print("\n".join(problems) if problems else "All program files and functions within their sizes.")
sys.exit(1 if problems else 0)
