#!/usr/bin/env python3
"""Check the release pipeline as far as this machine can, without running
it (its Windows and macOS runners are GitHub's).

    python3 tools/check_release.py

1. .github/workflows/release.yml against GitHub's workflow schema
   (check-jsonschema's copy) and zizmor's audits, offline and pedantic:
   nothing may be reported;
2. the wheels its jobs build, as each job's cibuildwheel (pinned, with
   hashes, in .github/requirements/) lists them for its platform and
   settings, are exactly what the README's table of wheels promises;
3. the wheels the test matrix built and tested here (tools/test_all.py
   keeps them under .venvs/LABEL/wheel): every Linux wheel is one that
   auditwheel finds consistent with a manylinux tag, and every wheel,
   Windows ones included, passes `twine check --strict` and
   check-wheel-contents.  Run it after the matrix.
"""
import argparse
import collections
import glob
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import test_all  # noqa: E402

WORKFLOW = os.path.join(ROOT, ".github", "workflows", "release.yml")
REQUIREMENTS = os.path.join(ROOT, ".github", "requirements")
CHECKERS = ["check-jsonschema==0.39.0", "zizmor==1.33.1", "twine==7.0.0",
            "check-wheel-contents==0.6.3", "auditwheel==6.8.2",
            "PyYAML==6.0.4"]
# A runner's system, as cibuildwheel names its platform.
PLATFORMS = {"ubuntu": "linux", "windows": "windows", "macos": "macos"}
TABLE = re.compile(r"^\| (?P<system>[^|]+) \| (?P<tags>[^|]+) \| "
                   r"(?P<versions>[^|]+) \|$", re.M)


def tool(venv, name):
    return os.path.join(os.path.dirname(venv), name)


def run(cmd, **kwargs):
    print("+ " + " ".join(cmd), flush=True)
    return subprocess.run(cmd, universal_newlines=True,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          **kwargs)


def check_workflow(checkers):
    problems = []
    proc = run([tool(checkers, "check-jsonschema"), "--builtin-schema",
                "vendor.github-workflows", WORKFLOW])
    print(proc.stdout.strip())
    if proc.returncode != 0:
        problems.append("the workflow against GitHub's schema")
    proc = run([tool(checkers, "zizmor"), "--offline", "--no-progress",
                "--persona=pedantic", WORKFLOW])
    print(proc.stdout.strip().splitlines()[-1])
    if proc.returncode != 0 or "No findings" not in proc.stdout:
        print(proc.stdout)
        problems.append("zizmor's audits of the workflow")
    return problems


def jobs(checkers):
    """(platform, environment) of every job of the wheels' matrix."""
    proc = run([checkers, "-c", "import json, sys, yaml; "
                "json.dump(yaml.safe_load(open(sys.argv[1]))['jobs']"
                "['wheels']['strategy']['matrix'], sys.stdout)", WORKFLOW])
    import json
    matrix = json.loads(proc.stdout.splitlines()[-1])
    found = []
    for platform in matrix["platform"]:
        system = PLATFORMS[platform["os"].split("-")[0]]
        for line in matrix["line"]:
            found.append((system, line["requirements"], {
                "CIBW_ARCHS": platform["archs"], "CIBW_BUILD": line["build"],
                "CIBW_ENABLE": line["enable"]}))
    return found


def built_identifiers(checkers):
    """What the jobs build: {platform tag: {"cp36", ..., "cp313t", ...}}."""
    venvs = {}
    built = collections.defaultdict(set)
    for system, requirements, env in jobs(checkers):
        if requirements not in venvs:
            name = "rel-" + requirements.replace(".txt", "")
            venvs[requirements] = test_all.make_tool_venv(
                name, ["--require-hashes", "-r",
                       os.path.join(REQUIREMENTS, requirements)])
        proc = subprocess.run(
            [venvs[requirements], "-m", "cibuildwheel",
             "--print-build-identifiers", "--platform", system],
            env=dict(os.environ, **env), cwd=ROOT, universal_newlines=True,
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True)
        for identifier in proc.stdout.split():
            python, platform = identifier.split("-", 1)
            built[platform].add(python)
    return built


def promised():
    """What the README's table of wheels promises, in the same terms.  A
    row names its platform tags in backticks and its CPythons as ranges,
    "3.6 to 3.15, 3.13t to 3.15t"."""
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        text = f.read()
    table = text.split("| system | platforms | CPython |", 1)[1]
    table = table.split("\n\n", 1)[0]
    found = collections.defaultdict(set)
    for row in TABLE.finditer(table):
        pythons = set()
        for first, last, free in re.findall(
                r"3\.(\d+)t? to 3\.(\d+)(t?)", row.group("versions")):
            pythons.update("cp3%d%s" % (minor, free)
                           for minor in range(int(first), int(last) + 1))
        for tag in re.findall(r"`([a-z0-9_]+)`", row.group("tags")):
            found[tag] |= pythons
    return found


def check_identifiers(checkers):
    built, promise = built_identifiers(checkers), promised()
    problems = []
    for platform in sorted(set(built) | set(promise)):
        made, told = built.get(platform, set()), promise.get(platform, set())
        if made != told:
            problems.append("%s: the jobs build %s, the README promises %s"
                            % (platform, sorted(made), sorted(told)))
    print("wheels the jobs build: %d platform tags, %d wheels; as the "
          "README promises: %s" % (
              len(built), sum(map(len, built.values())),
              "no" if problems else "yes"))
    return problems


def check_wheels(checkers):
    wheels = sorted(glob.glob(os.path.join(test_all.VENVS, "*", "wheel",
                                           "*.whl")))
    labels = [os.path.basename(os.path.dirname(os.path.dirname(wheel)))
              for wheel in wheels]
    if not wheels:
        return ["no wheels of the test matrix: run tools/test_all.py first"]
    problems = []
    for label, wheel in zip(labels, wheels):
        name = os.path.basename(wheel)
        if "linux" in name:
            proc = run([tool(checkers, "auditwheel"), "show", wheel])
            tags = re.findall(r"(manylinux_\d+_\d+_\w+)", proc.stdout)
            ok = proc.returncode == 0 and bool(tags)
            print("%s: auditwheel: %s" % (label, tags[0] if ok else
                                          "FAILED\n" + proc.stdout))
            if not ok:
                problems.append("auditwheel show " + name)
    proc = run([tool(checkers, "twine"), "check", "--strict"] + wheels)
    if proc.returncode != 0:
        print(proc.stdout)
        problems.append("twine check --strict")
    proc = run([tool(checkers, "check-wheel-contents")] + wheels)
    if proc.returncode != 0:
        print(proc.stdout)
        problems.append("check-wheel-contents")
    print("wheels of the test matrix: %d (%s): %s" % (
        len(wheels), ", ".join(labels), "FAILED" if problems else "ok"))
    return problems


def main():
    argparse.ArgumentParser(description=__doc__.splitlines()[0]).parse_args()
    checkers = test_all.make_tool_venv("rel-checks", CHECKERS)
    problems = check_workflow(checkers)
    problems += check_identifiers(checkers)
    problems += check_wheels(checkers)
    for problem in problems:
        print("problem: " + problem)
    print("release: %s" % ("ok" if not problems else "FAILED"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
