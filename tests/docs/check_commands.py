#!/usr/bin/env python3
"""Every command shown in a fenced block of the README and docs/ still runs,
or, where it needs a reader, another machine or the system's services, still
names something that exists.

  check_commands.py SOURCE_DIR VORKAND_TOOL [VORKAND_SERVE]

Commands are the lines of ```sh blocks (only the `$ ` lines when the block
shows a session with its output) and the `$ ` and `> ` lines of unlabelled
blocks. Each line must be valid shell; each simple command in it is checked
as PROGRAMS says. A program missing from PROGRAMS fails the check, so that a
new command in the docs gets a row here.
"""
import os
import re
import shlex
import shutil
import subprocess
import sys

# What is checked for each program a documented command starts with.
#   run        run as shown (it only sets variables)
#   tool       the built tool: the command and every option must be in its
#              --help, and the same words with --help must parse
#   serve      the built vorkand-serve: every option must be in its --help
#   script     a script of this tree: it exists and is executable
#   deps       scripts/deps: each argument names a list in scripts/deps.d/
#   presets    cmake: every --preset names a preset of that kind
#   installed  needs a reader or the system's services; the test
#              dependencies install it, so it must be on PATH
#   elsewhere  runs on another machine or as the system's service manager:
#              only its shell syntax is checked
PROGRAMS = {
    "export": "run",
    "vorkand": "tool",
    "scripts/demo": "script",
    "scripts/test": "script",
    "scripts/release": "script",
    "scripts/deps": "deps",
    "cmake": "presets",
    "apt-get": "installed",
    "unshare": "installed",
    "opensc-tool": "installed",
    "pcscd": "installed",
    "systemctl": "elsewhere",
    "vorkand-serve": "serve",
    "openssl": "installed",
    "chmod": "installed",
    "ssh": "elsewhere",
}

source_dir, tool = sys.argv[1], sys.argv[2]
serve_tool = sys.argv[3] if len(sys.argv) > 3 else None
failures = []


def fail(where, text):
    failures.append(f"{where}: {text}")


def commands(path):
    """(line number, command) for every command shown in the file."""
    found = []
    block = None  # (info, [(line number, text)]) while inside a fence
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if line.startswith("```"):
                if block is None:
                    block = (line[3:].strip(), [])
                    continue
                info, lines = block
                block = None
                prompted = [(n, t[2:]) for n, t in lines if t.startswith(("$ ", "> "))]
                if info == "sh" and not prompted:
                    found += [(n, t) for n, t in lines if t.strip() and not t.lstrip().startswith("#")]
                elif info in ("sh", ""):
                    found += prompted
                continue
            if block is not None:
                block[1].append((number, line))
    return found


def help_of(*words):
    run = subprocess.run([tool, *words, "--help"], capture_output=True, text=True, timeout=30)
    if run.returncode != 0:
        sys.exit(f"{tool} {' '.join(words)} --help failed: {run.stderr}")
    return run.stdout


def options_of(help_text):
    """{option: takes a value} from the lines such as "  -d,--device TEXT  ..."."""
    options = {}
    for names, value in re.findall(r"\n  ((?:-\w, ?)?--[\w-]+)( [A-Z][^\n]*?)?(?= {2,}|\n)", help_text):
        for name in re.split(r", ?", names):
            options[name] = bool(value)
    return options


top = help_of()
global_options = options_of(top)
subcommands = re.findall(r"\n  ([a-z]+) ", top.split("\nSubcommands:", 1)[-1])
command_options = {c: {**global_options, **options_of(help_of(c))} for c in subcommands}


def check_tool(where, args):
    options, command, i = global_options, None, 0
    while i < len(args):
        word = args[i]
        if word == "--":
            break
        if word.startswith("-"):
            name = word.split("=", 1)[0]
            if name not in options:
                fail(where, f"vorkand {command or ''} has no option {name}")
            elif options[name] and "=" not in word:
                i += 1
        elif command is None:
            if word not in command_options:
                fail(where, f"vorkand has no command {word}")
                return
            command, options = word, command_options[word]
        i += 1
    run = subprocess.run([tool, *args, "--help"], capture_output=True, text=True, timeout=30)
    if run.returncode != 0:
        fail(where, f"vorkand {' '.join(args)} does not parse: {run.stderr.strip()}")


def check_serve(where, args):
    if serve_tool is None:
        fail(where, "vorkand-serve is not built")
        return
    run = subprocess.run([serve_tool, "--help"], capture_output=True, text=True, timeout=30)
    options = options_of(run.stdout)
    for word in args:
        if word.startswith("--") and word.split("=", 1)[0] not in options:
            fail(where, f"vorkand-serve has no option {word}")


def check_presets(where, args):
    kind = "build" if "--build" in args else "configure"
    for i, word in enumerate(args[:-1]):
        if word == "--preset":
            listed = subprocess.run(["cmake", f"--list-presets={kind}"], cwd=source_dir,
                                    capture_output=True, text=True).stdout
            if f'"{args[i + 1]}"' not in listed:
                fail(where, f"no {kind} preset {args[i + 1]}")


def check(where, words):
    while words and re.match(r"^[A-Za-z_][A-Za-z0-9_]*=", words[0]):
        words = words[1:]
    if words and words[0] == "sudo":
        words = words[1:]
    if not words:
        return
    program, args = words[0], words[1:]
    how = PROGRAMS.get(program)
    if how is None:
        fail(where, f"{program}: not in the table of documented programs")
    elif how == "tool":
        check_tool(where, args)
    elif how == "serve":
        check_serve(where, args)
    elif how == "script" or how == "deps":
        path = os.path.join(source_dir, program)
        if not os.access(path, os.X_OK):
            fail(where, f"{program} is not an executable script of this tree")
        for arg in args if how == "deps" else []:
            if not os.path.isfile(os.path.join(source_dir, "scripts/deps.d", arg + ".txt")):
                fail(where, f"scripts/deps knows no list {arg}")
    elif how == "presets":
        check_presets(where, args)
    elif how == "installed" and shutil.which(program) is None:
        fail(where, f"{program} is not installed")


checked = 0
files = [os.path.join(source_dir, "README.md")]
docs = os.path.join(source_dir, "docs")
files += sorted(os.path.join(docs, f) for f in os.listdir(docs) if f.endswith(".md"))
for path in files:
    for number, line in commands(path):
        where = f"{os.path.relpath(path, source_dir)}:{number}"
        syntax = subprocess.run(["bash", "-n", "-c", line], capture_output=True, text=True)
        if syntax.returncode != 0:
            fail(where, f"not valid shell: {syntax.stderr.strip()}")
            continue
        lexer = shlex.shlex(line, posix=True, punctuation_chars=";&|")
        lexer.whitespace_split = True
        words = []
        for token in list(lexer) + [";"]:
            if token in (";", "&", "&&", "|", "||"):
                check(where, words)
                words = []
            else:
                words.append(token)
        if PROGRAMS.get(line.split()[0]) == "run":
            if subprocess.run(["bash", "-c", line]).returncode != 0:
                fail(where, "fails when run")
        checked += 1

if failures:
    sys.exit("documented commands that no longer work:\n  " + "\n  ".join(failures))
if checked == 0:
    sys.exit("no commands found in the README or docs/")
print(f"{checked} documented commands checked in {len(files)} files")
