#!/usr/bin/env python3
"""Fails when top-level folders of the program include each other, directly or round a loop, and
names the loop and a file for each of its steps; also when a folder below recording/ and ui/
reads the settings store instead of the values handed down to it. usage: check_layers.py SOURCE_DIR
Reads the sources git tracks (a tree without git is walked, build folders skipped); tests/, bench/
and fuzz/ stand on everything and are left out."""
import os, re, subprocess, sys

root = sys.argv[1] if len(sys.argv) > 1 else '.'
try:
    files = subprocess.run(['git', 'ls-files', '*.cpp', '*.h'], cwd=root, capture_output=True,
                           text=True).stdout.split()
except OSError:
    files = []
if not files:
    for folder, subs, names in os.walk(root):
        subs[:] = [s for s in subs if not s.startswith(('.', 'build', 'wt-', 'ci-'))]
        files += [os.path.relpath(os.path.join(folder, n), root) for n in names
                  if n.endswith(('.cpp', '.h'))]
files = [f for f in files if '/' in f and f.split('/')[0] not in ('tests', 'bench', 'fuzz')]
folders = {f.split('/')[0] for f in files}
include = re.compile(r'\s*#\s*include\s*"([^/"]+)/')
edges = {}  # (from, to) -> a file that makes the step
below = ('media', 'platform', 'encode', 'capture', 'tabcapture')
readers = []
for path in files:
    here = path.split('/')[0]
    with open(os.path.join(root, path), errors='replace') as source:
        for line in source:
            m = include.match(line)
            if here in below and 'base/SettingsStore.h' in line:
                readers.append(path)
            if m and m.group(1) in folders and m.group(1) != here:
                edges.setdefault((here, m.group(1)), path)
graph = {f: sorted(b for a, b in edges if a == f) for f in folders}
state, path, loops = {}, [], []


def visit(folder):
    state[folder] = 'open'
    path.append(folder)
    for to in graph[folder]:
        if state.get(to) == 'open':
            loops.append(path[path.index(to):] + [to])
        elif to not in state:
            visit(to)
    path.pop()
    state[folder] = 'done'


for folder in sorted(folders):
    if folder not in state:
        visit(folder)
for loop in loops:
    print('include cycle: ' + ' -> '.join(loop))
    for a, b in zip(loop, loop[1:]):
        print(f'  {a} -> {b}: {edges[(a, b)]}')
for reader in readers:
    print(f'reads the settings store below recording/: {reader}')
print(f'{len(folders)} folders, {len(edges)} include steps, {len(loops)} cycles')
sys.exit(1 if loops or readers else 0)
