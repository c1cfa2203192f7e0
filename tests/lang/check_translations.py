#!/usr/bin/env python3
# Fails, listing them, when texts the program passes through translation have no German line.
# Usage: check_translations.py [source root]   (default: the checkout this script lives in)
import os
import re
import sys
import xml.etree.ElementTree as ET

ROOT = os.path.abspath(sys.argv[1] if len(sys.argv) > 1
                       else os.path.join(os.path.dirname(__file__), '..', '..'))
SKIPPED_DIRS = {'tests', 'bench', 'fuzz', 'extension', '.git'}

LITERAL = r'(?:u8)?"(?:\\.|[^"\\\n])*"'
LITERALS = rf'{LITERAL}(?:\s*{LITERAL})*'
# The translated text is the first argument of tr() and QT_TR_NOOP(), the second of translate().
CALLS = re.compile(rf'(?<!\w)(?:tr|QT_TR_NOOP|QT_TR_NOOP_UTF8)\s*\(\s*({LITERALS})'
                   rf'|(?<!\w)(?:translate|QT_TRANSLATE_NOOP)\s*\(\s*{LITERALS}\s*,\s*({LITERALS})')
# Comments go, string and character literals stay: a "//" inside a string is text.
TOKENS = re.compile(rf'R"\(.*?\)"|{LITERAL}|\'(?:\\.|[^\'\\\n])*\'|//[^\n]*|/\*.*?\*/', re.S)
ESCAPES = re.compile(r'\\(x[0-9A-Fa-f]+|[0-7]{1,3}|u[0-9A-Fa-f]{4}|U[0-9A-Fa-f]{8}|.)', re.S)
SIMPLE = {'n': '\n', 't': '\t', 'r': '\r', 'a': '\a', 'b': '\b', 'f': '\f', 'v': '\v'}


def unescape(literal):
    """The UTF-8 text a literal's source spells, as the compiler builds it."""
    out = bytearray()
    pos = 0
    for m in ESCAPES.finditer(literal):
        out += literal[pos:m.start()].encode()
        e = m.group(1)
        if e[0] == 'x':
            out.append(int(e[1:], 16) & 0xFF)
        elif e[0] in '01234567':
            out.append(int(e, 8) & 0xFF)
        elif e[0] in 'uU':
            out += chr(int(e[1:], 16)).encode()
        else:
            out += SIMPLE.get(e, e).encode()
        pos = m.end()
    out += literal[pos:].encode()
    return out.decode('utf-8', errors='replace')


def joined(literals):
    """Adjacent literals are one string, as in C++."""
    return ''.join(unescape(m[m.index('"') + 1:-1]) for m in re.findall(LITERAL, literals))


def source_texts(path):
    with open(path, encoding='utf-8') as f:
        code = TOKENS.sub(lambda m: ' ' if m.group(0)[0] == '/' else m.group(0), f.read())
    for m in CALLS.finditer(code):
        yield joined(m.group(1) or m.group(2)), code.count('\n', 0, m.start()) + 1


def form_texts(path):
    for element in ET.parse(path).iter('string'):
        if element.get('notr') != 'true' and element.text:
            yield element.text, None


def german_keys(path):
    text = open(path, 'rb').read().decode('utf-16-le').lstrip('\ufeff')
    lines = (raw.strip() for raw in text.split('\n'))
    return {line.split('→', 1)[0].strip() for line in lines
            if not line.startswith(';') and line.find('→') > 0}


def main():
    keys = german_keys(os.path.join(ROOT, 'Languages', 'de.lng'))
    missing = []
    for folder, dirs, files in os.walk(ROOT):
        dirs[:] = sorted(d for d in dirs
                         if d not in SKIPPED_DIRS and not d.startswith(('build', '.')))
        for name in sorted(files):
            path = os.path.join(folder, name)
            reader = {'.ui': form_texts, '.cpp': source_texts, '.h': source_texts}.get(
                os.path.splitext(name)[1])
            for text, line in reader(path) if reader else ():
                # The program looks a text up as it is and trimmed; a file line holds no line break.
                stripped = text.strip()
                if stripped and (stripped not in keys or '\n' in stripped):
                    where = os.path.relpath(path, ROOT) + (f':{line}' if line else '')
                    missing.append(f'{where}: {text!r}')
    print(''.join(entry + '\n' for entry in missing), end='')
    print(f'{len(missing)} translated texts without a German line in Languages/de.lng')
    return 1 if missing else 0


sys.exit(main())
