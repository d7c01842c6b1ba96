"""Lengths of the C++ function definitions under src/, longest first.

    .venv/bin/python tools/function_lengths.py [--top N] [--over LINES] [PATH ...]

A length counts the lines of a definition from the first line of its
signature to its closing brace; "code" counts those of them that hold code
(not only comments, string literals such as docstrings, or blanks). Functions are found by their braces, after
comments, string literals and preprocessor lines are blanked out: a brace
block at namespace or class level whose head ends with a parameter list
(and qualifiers) is a function; lambdas and local classes count as part of
the function around them. `--over` exits 1 when a function is longer.
"""
import argparse
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

_TOKEN = re.compile(
    r'//[^\n]*'                                   # line comment
    r'|/\*.*?\*/'                                 # block comment
    r'|R"(?P<delim>[^(\s]*)\(.*?\)(?P=delim)"'    # raw string literal
    r'|"(?:\\.|[^"\\\n])*"'                       # string literal
    r"|'(?:\\.|[^'\\\n])*'",                      # character literal
    re.S)
_QUALIFIERS = re.compile(r'(\s*(const|noexcept(\s*\([^()]*\))?|override|final|volatile|&&?|->\s*[\w:<>,\s*&]+))*\s*$')


def _blank(match):
    """The match with every character but newlines turned into a space."""
    return re.sub(r'[^\n]', ' ', match.group(0))


def clean(text):
    """The source with comments, literals and preprocessor lines blanked out, line breaks kept."""
    text = _TOKEN.sub(_blank, text)
    lines = text.split('\n')
    in_directive = False
    for i, line in enumerate(lines):
        if in_directive or line.lstrip().startswith('#'):
            in_directive = line.rstrip().endswith('\\')
            lines[i] = ''
    return '\n'.join(lines)


def _is_function_head(head):
    head = re.sub(r'^\s*((public|private|protected)\s*:)+', '', head).strip()
    if not head or '(' not in head or '=' in head.split('(')[0]:
        return False
    if re.match(r'(namespace|class|struct|union|enum)\b', head):
        return False
    if re.match(r'(if|for|while|switch|catch|do|else|return)\b', head):
        return False
    # `f(args) const noexcept -> T`, or a constructor's initializer list.
    if re.search(r'\)' + _QUALIFIERS.pattern, head):
        return True
    return bool(re.search(r'\)\s*:\s*[\w:]+\s*[({]', head))


def functions(path):
    """(start line, length, code lines, name) of every function definition in the file."""
    text = clean(Path(path).read_text())
    code_lines = [bool(line.strip()) for line in text.split('\n')]
    line_of = [0] * (len(text) + 1)
    line = 1
    for i, ch in enumerate(text):
        line_of[i] = line
        if ch == '\n':
            line += 1
    found = []
    stack = []            # kinds of the open braces: 'scope', 'function', 'other'
    head_start = 0        # where the statement in front of the next brace starts
    function_start = None
    for i, ch in enumerate(text):
        if ch in ';':
            if not stack or stack[-1] == 'scope':
                head_start = i + 1
        elif ch == '{':
            if stack and stack[-1] != 'scope':
                stack.append('other')
                continue
            head = text[head_start:i]
            if _is_function_head(head):
                stack.append('function')
                offset = len(head) - len(head.lstrip())
                labels = re.match(r'\s*((public|private|protected)\s*:\s*)*', head)
                offset = labels.end() if labels else offset
                function_start = (head_start + offset, head)
            elif re.search(r'\b(namespace|class|struct|union)\b', head) and '=' not in head:
                stack.append('scope')
                head_start = i + 1
            else:
                stack.append('other')
        elif ch == '}':
            if not stack:
                continue
            kind = stack.pop()
            if kind == 'function' and function_start is not None:
                start, head = function_start
                name = re.findall(r'([~\w:]+(?:operator\s*\S+?)?)\s*\(', head)
                first = line_of[start]
                last = line_of[i]
                found.append((first, last - first + 1, sum(code_lines[first - 1:last]), name[0] if name else '?'))
                function_start = None
            if not stack or stack[-1] == 'scope':
                head_start = i + 1
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('paths', nargs='*', default=['src'])
    parser.add_argument('--top', type=int, default=15, help='how many to list (0: all)')
    parser.add_argument('--over', type=int, default=0, help='exit 1 when a function has more lines')
    args = parser.parse_args()
    rows = []
    for base in args.paths:
        base = Path(base)
        files = [base] if base.is_file() else sorted(p for p in base.rglob('*') if p.suffix in ('.cpp', '.hpp', '.h'))
        for path in files:
            for first, length, code, name in functions(path):
                where = path.resolve()
                rows.append((length, code, str(where.relative_to(ROOT)) if where.is_relative_to(ROOT) else str(path),
                             first, name))
    rows.sort(key=lambda r: (-r[0], r[2], r[3]))
    print(f'{"lines":>5}  {"code":>4}  where')
    for length, code, path, first, name in rows[:args.top or None]:
        print(f'{length:5d}  {code:4d}  {path}:{first}  {name}')
    if args.over and rows and rows[0][0] > args.over:
        sys.exit(1)


if __name__ == '__main__':
    main()
