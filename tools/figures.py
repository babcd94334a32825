"""The tables of figures in docs/, written by the commands that measure
them.

A page holds its table between two marker comments.  A run rewrites the
rows it measured, marks each with a letter of its own and lists under the
table, for every run that still has a row there, the date, the release,
the machine and the exact interpreters it measured.  A run limited to
some rows (--only) leaves the others, and their runs, as they were, so
that every row comes from one run of one release.
"""
import datetime
import os
import platform
import re
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BEGIN = "<!-- figures: begin -->"
END = "<!-- figures: end -->"
RUN = re.compile(r"^- run ([A-Z]+): ")


def release():
    """This checkout's version (setup.cfg) and commit, '+changes' when
    files under version control differ from it: as it was when the run
    started (RELEASE), since a run's figures are of what it measured."""
    version = "?"
    with open(os.path.join(ROOT, "setup.cfg")) as f:
        for line in f:
            if line.startswith("version"):
                version = line.split("=", 1)[1].strip()
    def git(*args):
        # Nothing where git is not there (a root, Windows, an sdist).
        try:
            return subprocess.run(["git", "-C", ROOT] + list(args),
                                  stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL,
                                  universal_newlines=True).stdout.strip()
        except OSError:
            return ""
    commit = git("rev-parse", "--short", "HEAD")
    changed = git("status", "--porcelain", "--untracked-files=no")
    return "%s (commit %s%s)" % (version, commit or "?",
                                 "+changes" if changed else "")


# Taken when the run starts: the scripts that write tables import this
# module first.
RELEASE = release()


def machine():
    """What ran the run: processor, cores, system."""
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    system = platform.platform(terse=True)
    try:
        with open("/etc/os-release") as f:
            for line in f:
                if line.startswith("PRETTY_NAME="):
                    system = line.split("=", 1)[1].strip().strip('"')
    except OSError:
        pass
    return "%s, %s, %d cores, %s" % (platform.machine(), model,
                                     os.cpu_count() or 1, system)


def key(values):
    """A row's key: its first cell up to " (", which is the run's own."""
    return values[0].split(" (")[0]


def cells(line):
    return [cell.strip() for cell in line.strip().strip("|").split("|")]


def row_line(values):
    return "| " + " | ".join(values) + " |"


def write(path, command, header, rows, interpreters, only=False):
    """Rewrite the table of `path` with `rows`, [(key, [cell, ...])], under
    `header` (their columns); a row's first cell is its key, then what
    the run adds to it in brackets.  The run that made them, `command` on
    `interpreters` (exact versions), gets a letter; with `only`, rows of
    other keys stay, with their runs."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    start, end = text.find(BEGIN), text.find(END)
    if start < 0 or end < start:
        raise SystemExit("%s: no %s ... %s markers" % (path, BEGIN, END))
    block = text[start + len(BEGIN):end].strip().splitlines()
    kept, runs = [], {}
    for line in block:
        found = RUN.match(line)
        if found:
            runs[found.group(1)] = line
        elif line.startswith("|") and not set(line) <= set("|- "):
            values = cells(line)
            if values != header + ["run"]:
                kept.append(values)
    new_keys = {key for key, _ in rows}
    old = [values for values in kept if only and key(values) not in new_keys]
    # The first letter that no row kept names.
    letter = "A"
    while letter in {values[-1] for values in old}:
        letter = chr(ord(letter) + 1)
    table = [values + [letter] for _, values in rows]
    # The rows of earlier runs keep their places among the new ones.
    order = [key(values) for values in kept]
    merged = old + table
    merged.sort(key=lambda values: order.index(key(values))
                if key(values) in order else len(order))
    used = {values[-1] for values in merged}
    stamp = datetime.datetime.now(datetime.timezone.utc)
    runs[letter] = "- run %s: %s; release %s; %s; `%s`; %s" % (
        letter, stamp.strftime("%Y-%m-%d %H:%M UTC"), RELEASE, machine(),
        command, ", ".join(interpreters))
    lines = [row_line(header + ["run"]),
             row_line(["---"] * (len(header) + 1))]
    lines += [row_line(values) for values in merged]
    lines += [""] + [runs[name] for name in sorted(runs) if name in used]
    with open(path, "w", encoding="utf-8") as f:
        f.write(text[:start] + BEGIN + "\n" + "\n".join(lines) + "\n" +
                text[end:])
