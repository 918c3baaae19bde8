#!/usr/bin/env python3
"""Runs the shell examples of the user guide and README that are marked as
checked, against the simulated scale, and compares their output with the
output the document shows.

A checked example is a code block (fenced or indented) right after a
comment such as

    <!-- checked against: raroredoziri-sim --tcp 127.0.0.1 --weight 1234 -->

The comment names the programs to start first (several are separated by
" ; "): simulated scales, and the scale service. In the block, a line that
begins with "$ " is a command (a trailing backslash continues it); the lines
after it, up to the next command, are its output. To run beside other tests,
the addresses 127.0.0.N become 127.73.17.N, the service's port 8080 a free
one and /tmp/scale a scratch path. A line of output that a command rewrites
with carriage returns is compared as a terminal shows it; times of day
(2026-12-09T18:45:15.234Z) match any time.

Usage: guide_check.py --bin DIR [FILE...]   (DIR: the release build tree)
Exit status 0 when every checked example gave its output.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

MARK = re.compile(r"^<!-- checked against: (.*) -->$")
ADDRESS = re.compile(r"\b127\.0\.0\.(\d+)\b")
TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d+)?Z")
COMMAND_SECONDS = 30


def examples(path):
    """Yields (line number, programs, [(command, expected lines)])."""
    lines = open(path, encoding="utf-8").read().split("\n")
    i = 0
    while i < len(lines):
        mark = MARK.match(lines[i].strip())
        i += 1
        if not mark:
            continue
        start = i
        while i < len(lines) and not lines[i].strip():
            i += 1
        block = []
        if i < len(lines) and lines[i].startswith("```"):
            i += 1
            while i < len(lines) and not lines[i].startswith("```"):
                block.append(lines[i])
                i += 1
        else:  # an indented block
            while i < len(lines) and (lines[i].startswith("    ") or not lines[i].strip()):
                block.append(lines[i][4:])
                i += 1
        if not block:
            raise SystemExit(f"{path}:{start}: a checked mark must precede a code block")
        runs = []
        for line in block:
            if runs and runs[-1][0].endswith("\\") and not runs[-1][1]:
                runs[-1][0] = runs[-1][0][:-1].rstrip() + " " + line.strip()
            elif line.startswith("$ "):
                runs.append([line[2:].strip(), []])
            elif runs:
                runs[-1][1].append(line)
            elif line.strip():
                raise SystemExit(f"{path}:{start}: output before the first command")
        for run in runs:
            while run[1] and not run[1][-1].strip():
                run[1].pop()
        yield start, [p.strip() for p in mark.group(1).split(" ; ")], runs


class Example:
    """The programs of one example, started on private addresses."""

    def __init__(self, work, env):
        self.work, self.env, self.procs, self.port = work, env, [], None

    def subst(self, text):
        text = ADDRESS.sub(lambda m: f"127.73.17.{m.group(1)}", text)
        text = text.replace("/tmp/scale", os.path.join(self.work, "scale"))
        return text.replace(":8080", f":{self.port}") if self.port else text

    def start(self, program):
        words = self.subst(program).split()
        log = os.path.join(self.work, f"program{len(self.procs)}.log")
        if words[0] == "raroredoziri-service":
            words += ["--listen", "127.73.17.1", "--port", "0"]
        proc = subprocess.Popen(words, env=self.env, stdout=open(log, "w"),
                                stderr=subprocess.STDOUT)
        self.procs.append(proc)
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline and proc.poll() is None:
            text = open(log).read()
            if words[0] == "raroredoziri-sim" and re.search(r"^ready$", text, re.M):
                return
            found = re.search(r"listening on http://[^:]+:(\d+)/", text)
            if found and self.service_ready(found.group(1)):
                self.port = int(found.group(1))
                return
            time.sleep(0.1)
        raise RuntimeError(f"{' '.join(words)} did not start:\n{open(log).read()}")

    def service_ready(self, port):
        """True once every scale of the service is connected."""
        try:
            url = f"http://127.73.17.1:{port}/scales"
            with urllib.request.urlopen(url, timeout=2) as answer:
                body = answer.read().decode()
            return '"state":"connected"' in body and '"state":"connecting"' not in body \
                and '"state":"disconnected"' not in body
        except OSError:
            return False

    def stop(self):
        for proc in self.procs:
            proc.terminate()
        for proc in self.procs:
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()


def shown(text):
    """The lines as a terminal shows them, times of day made alike."""
    lines = []
    for line in text.rstrip("\n").split("\n") if text.strip() else []:
        lines.append(TIME.sub("TIME", line.split("\r")[-1].rstrip()))
    while lines and not lines[-1]:
        lines.pop()
    return lines


def check(path, env):
    failures = 0
    for line, programs, runs in examples(path):
        work = tempfile.mkdtemp(prefix="raroredoziri-guide.")
        example = Example(work, env)
        compared = 0
        try:
            for program in programs:
                example.start(program)
            for command, expected in runs:
                # Bytes, not text: text mode would turn a carriage return into a new line.
                result = subprocess.run(["bash", "-c", example.subst(command)], env=env,
                                        capture_output=True, timeout=COMMAND_SECONDS)
                want = shown(example.subst("\n".join(expected)))
                got = shown((result.stdout + result.stderr).decode("utf-8", "replace"))
                compared += 1
                if got == want:
                    print(f"ok   {path}:{line}: $ {command}")
                else:
                    failures += 1
                    print(f"FAIL {path}:{line}: $ {command}")
                    print("  shown:\n" + "".join(f"    {x}\n" for x in want), end="")
                    print("  got:\n" + "".join(f"    {x}\n" for x in got), end="")
        except (RuntimeError, subprocess.TimeoutExpired) as error:
            failures += len(runs) - compared
            print(f"FAIL {path}:{line}: {error}")
        finally:
            example.stop()
            shutil.rmtree(work, ignore_errors=True)
    return failures


def main():
    parser = argparse.ArgumentParser(description="Checks the guide's shell examples.")
    parser.add_argument("--bin", required=True, help="the release build tree")
    parser.add_argument("files", nargs="*", default=["README.md", "docs/user-guide.md"])
    args = parser.parse_args()
    tools = os.path.join(os.path.abspath(args.bin), "tools")
    env = dict(os.environ)
    env["PATH"] = os.pathsep.join(
        [os.path.join(tools, d) for d in ("cli", "sim", "service")] + [env.get("PATH", "")])
    for program in ("raroredoziri", "raroredoziri-sim", "raroredoziri-service"):
        if not shutil.which(program, path=env["PATH"]):
            raise SystemExit(f"guide_check: {program} is not built in {args.bin}")
    failures = sum(check(path, env) for path in args.files)
    count = sum(len(runs) for path in args.files for _, _, runs in examples(path))
    print(f"guide examples: {count - failures} of {count} commands gave the output shown")
    if count == 0:
        print("guide_check: no checked example found")
        return 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
