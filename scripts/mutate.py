#!/usr/bin/env python3
"""Mutation testing for a CMake/CTest C++ project: does the test suite notice a small fault?

Each mutant changes one token on one line of a source file (a comparison, an arithmetic or
logical operator, a boolean, a small integer literal) or deletes one call statement. For
every mutant the tool rebuilds, runs the tests, and puts the file back. A mutant is
  killed     the tests fail (or time out): the suite noticed the fault;
  survived   the tests pass: nothing checks this behaviour (or the change is harmless);
  stillborn  the mutant does not compile: it does not count;
  unbuilt    the file is not compiled in this build (another platform's code): not counted.
The score is killed / (killed + survived).

It edits the sources in place while it runs: run it in a clone or worktree of its own
(`git worktree add ../mutants HEAD`, configure a build there), not in the tree you work in.

Usage (from the project root, with a configured build folder):
  python3 scripts/mutate.py --build build                   # 60 sampled mutants
  python3 scripts/mutate.py --build build --sample 150 --seed 7
  python3 scripts/mutate.py --build build --since origin/main  # lines changed since a commit
  python3 scripts/mutate.py --build build --list            # only list the candidates
Options:
  --paths P...        source files or folders to mutate (default: host library engine params
                      platform tools/render)
  --sample N          how many mutants to try, drawn evenly at random (default 60; 0 = all)
  --seed S            the draw (default 1): the same seed and sources give the same mutants
  --since REF         only lines added or changed since git REF
  --build-cmd CMD     rebuild command (default: cmake --build BUILD)
  --test-cmd CMD      test command (default: ctest --test-dir BUILD -j N --timeout 120
                      --stop-on-failure, N = processors)
  --timeout S         a test run longer than this counts as killed (default 900)
  --json FILE         also write every result as JSON
Exit status 0; the last line is "mutation score: K/T = P% (S survived, B stillborn, U not built here)".
The sources are always restored, also on Ctrl-C."""
import argparse
import json
import os
import random
import re
import signal
import subprocess
import sys
import time

EXTS = ('.cpp', '.cc', '.h', '.hpp')
# Binary operators are written with a space on each side by clang-format, which tells them
# apart from template brackets, pointers, references and unary signs.
SWAPS = [
    (' < ', [' <= ', ' > ']), (' <= ', [' < ', ' > ']), (' > ', [' >= ', ' < ']),
    (' >= ', [' > ', ' < ']), (' == ', [' != ']), (' != ', [' == ']),
    (' && ', [' || ']), (' || ', [' && ']),
    (' + ', [' - ']), (' - ', [' + ']), (' * ', [' / ']), (' / ', [' * ']),
    (' += ', [' -= ']), (' -= ', [' += ']),
]
WORDS = [(r'\btrue\b', 'false'), (r'\bfalse\b', 'true')]
INT_LITERAL = re.compile(r'(?<![\w.])(\d+)(?![\w.])')
CALL_STATEMENT = re.compile(r'^\s*[\w:.>\-\[\]]+\s*\(.*\)\s*;\s*$')
SKIP_LINE = re.compile(r'^\s*(#|//|\*|/\*|static_assert|case\b|namespace\b|using\b|template\b|return\s*;)')


def code_part(line):
    """The line with string and character literals blanked and any // comment cut."""
    out, i, quote = [], 0, None
    while i < len(line):
        ch = line[i]
        if quote:
            if ch == '\\':
                out.append('  ')
                i += 2
                continue
            out.append(' ' if ch != quote else ch)
            if ch == quote:
                quote = None
        elif ch in '"\'':
            quote = ch
            out.append(ch)
        elif line.startswith('//', i):
            break
        else:
            out.append(ch)
        i += 1
    return ''.join(out)


def candidates(path, lines, wanted):
    found = []
    in_block_comment = False
    for no, line in enumerate(lines, 1):
        stripped = line.strip()
        if in_block_comment:
            if '*/' in stripped:
                in_block_comment = False
            continue
        if stripped.startswith('/*') and '*/' not in stripped:
            in_block_comment = True
            continue
        if wanted is not None and no not in wanted:
            continue
        if not stripped or SKIP_LINE.match(line):
            continue
        code = code_part(line)
        for token, repls in SWAPS:
            start = 0
            while (k := code.find(token, start)) >= 0:
                # skip <<, >>, ->, <=>, ++, --, **, and compound forms of another operator
                before, after = code[k - 1:k], code[k + len(token):k + len(token) + 1]
                if before not in '<>=!+-*/&|' and after not in '<>=&|':
                    for r in repls:
                        found.append((path, no, k, token, r))
                start = k + 1
        for pattern, repl in WORDS:
            for m in re.finditer(pattern, code):
                found.append((path, no, m.start(), m.group(0), repl))
        for m in INT_LITERAL.finditer(code):
            v = int(m.group(1))
            if v <= 64 and not code[max(0, m.start() - 1):m.start()].isalpha():
                found.append((path, no, m.start(), m.group(1), str(v + 1 if v != 1 else 0)))
        if CALL_STATEMENT.match(code) and not re.match(r'^\s*(return|delete|throw)\b', code):
            found.append((path, no, 0, line.rstrip('\n'), '/* deleted */'))
    return found


def changed_lines(ref, path):
    diff = subprocess.run(['git', 'diff', '-U0', ref, '--', path], capture_output=True, text=True).stdout
    wanted = set()
    for m in re.finditer(r'^@@ -\d+(?:,\d+)? \+(\d+)(?:,(\d+))? @@', diff, re.M):
        first, count = int(m.group(1)), int(m.group(2) or 1)
        wanted.update(range(first, first + count))
    return wanted


def source_files(paths):
    for p in paths:
        if os.path.isfile(p) and p.endswith(EXTS):
            yield p
        elif os.path.isdir(p):
            for root, _, files in os.walk(p):
                for f in sorted(files):
                    if f.endswith(EXTS):
                        yield os.path.join(root, f)


def apply(lines, mutant):
    _, no, col, before, after = mutant
    line = lines[no - 1]
    if after == '/* deleted */':
        return lines[:no - 1] + ['/* deleted */\n'] + lines[no:]
    return lines[:no - 1] + [line[:col] + after + line[col + len(before):]] + lines[no:]


def run(cmd, timeout, output=False):
    try:
        done = subprocess.run(cmd, shell=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=timeout, text=True, errors='replace')
        return (done.returncode, done.stdout) if output else done.returncode
    except subprocess.TimeoutExpired:
        return ('timeout', '') if output else 'timeout'


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('--build', default='build')
    ap.add_argument('--paths', nargs='+', default=['host', 'library', 'engine', 'params', 'platform', 'tools/render'])
    ap.add_argument('--sample', type=int, default=60)
    ap.add_argument('--seed', type=int, default=1)
    ap.add_argument('--since')
    ap.add_argument('--build-cmd')
    ap.add_argument('--test-cmd')
    ap.add_argument('--timeout', type=int, default=900)
    ap.add_argument('--json')
    ap.add_argument('--list', action='store_true')
    a = ap.parse_args()
    jobs = os.cpu_count() or 2
    build_cmd = a.build_cmd or f'cmake --build {a.build} -j {jobs}'
    test_cmd = a.test_cmd or f'ctest --test-dir {a.build} -j {jobs} --timeout 120 --stop-on-failure'

    sources, pool = {}, []
    for path in source_files(a.paths):
        with open(path, encoding='utf-8', errors='surrogateescape') as f:
            sources[path] = f.readlines()
        wanted = changed_lines(a.since, path) if a.since else None
        pool += candidates(path, sources[path], wanted)
    rng = random.Random(a.seed)
    chosen = pool if a.sample == 0 or a.sample >= len(pool) else rng.sample(pool, a.sample)
    chosen.sort(key=lambda m: (m[0], m[1], m[2]))
    print(f'{len(pool)} candidate mutants in {len(sources)} files; trying {len(chosen)}', flush=True)
    if a.list:
        for m in chosen:
            print(f'{m[0]}:{m[1]}: {m[3].strip()!r} -> {m[4].strip()!r}')
        return

    if run(build_cmd, a.timeout) != 0 or run(test_cmd, a.timeout) != 0:
        sys.exit('the unmutated build or its tests fail: fix that first')

    current = {'path': None}

    def restore(*_):
        if current['path']:
            with open(current['path'], 'w', encoding='utf-8', errors='surrogateescape') as f:
                f.writelines(sources[current['path']])
            current['path'] = None
        if _:
            sys.exit('interrupted; sources restored')

    signal.signal(signal.SIGINT, restore)
    signal.signal(signal.SIGTERM, restore)
    results, counts = [], {'killed': 0, 'survived': 0, 'stillborn': 0, 'unbuilt': 0}
    for i, m in enumerate(chosen, 1):
        path, no = m[0], m[1]
        t0 = time.time()
        try:
            current['path'] = path
            with open(path, 'w', encoding='utf-8', errors='surrogateescape') as f:
                f.writelines(apply(sources[path], m))
            status, log = run(build_cmd, a.timeout, output=True)
            if status != 0:
                outcome = 'stillborn'
            elif 'no work to do' in log:
                outcome = 'unbuilt'  # the file is not part of this build (another platform's)
            else:
                outcome = 'survived' if run(test_cmd, a.timeout) == 0 else 'killed'
        finally:
            restore()
        counts[outcome] += 1
        what = f'{m[3].strip()!r} -> {m[4].strip()!r}'
        results.append({'file': path, 'line': no, 'change': what, 'outcome': outcome})
        print(f'[{i}/{len(chosen)}] {outcome.upper():9} {path}:{no}: {what}  ({time.time() - t0:.0f} s)', flush=True)
    run(build_cmd, a.timeout)  # leave the build matching the sources
    if a.json:
        with open(a.json, 'w') as f:
            json.dump(results, f, indent=1)
    live = counts['killed'] + counts['survived']
    score = 100.0 * counts['killed'] / live if live else 0.0
    print(f"mutation score: {counts['killed']}/{live} = {score:.1f}% "
          f"({counts['survived']} survived, {counts['stillborn']} stillborn, {counts['unbuilt']} not built here)")


if __name__ == '__main__':
    main()
