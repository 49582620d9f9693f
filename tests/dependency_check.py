"""A run's check that the suite needs nothing a fresh machine lacks (on when PRAVLIN_CHECK_DEPENDENCIES
is set, as scripts/test.sh sets it).

It records every program the test process starts (an audit hook on subprocess and exec), looking
through the launchers the suite wraps programs in (setpriv, chrt, stdbuf, foot, sh -c), and at the end
fails the run when
- a program comes from a Debian package that scripts/debian-packages.txt neither names nor pulls in
  (through Depends and Pre-Depends) and that is not in Debian's required set, or from no package at all;
- a program or an imported module comes from the venv but from no distribution that the project's
  `test` extra pulls in, or from outside both the venv and the interpreter's standard library;
- a test was skipped, unless for how the run was asked for (its options, its user, a sanitizer build):
  any other skip means something the suite needs was missing.
Programs the suite makes itself (native peers under the checkout, scripts under the temporary
directory) are left out, and so are names that resolve to nothing (tests that run a missing program
on purpose).
"""

from __future__ import annotations

import os
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from importlib import metadata
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PACKAGE_LIST = ROOT / "scripts" / "debian-packages.txt"
EXTRA = "test"

# Builtins of dash (sh) that scripts in the suite use; they run no program.
SHELL_BUILTINS = {"exec", "exit", "kill", "printf", "echo", "cd", "test", "[", "true", "false", ":",
                  "wait", "trap", "read", "set", "export", "unset", "."}
SHELL_SEPARATORS = {";", "&&", "||", "|", "&", "(", ")", ";;", "\n"}
# Reasons for skips that follow from how the run was asked for, not from what the machine lacks.
CHOSEN_SKIPS = re.compile(r"only root |AddressSanitizer |--no-wayland-session|drive sway through its IPC")


def _after_options(args, with_value=()):
    """What follows the options (and the values of those in `with_value`) of a launcher's arguments."""
    i = 0
    while i < len(args) and args[i].startswith("-"):
        if args[i] == "--":
            return args[i + 1:]
        i += 2 if args[i] in with_value else 1
    return args[i:]


def _inner_commands(argv):
    """The commands a launcher's argument list runs (without the launcher itself)."""
    name = os.path.basename(argv[0])
    args = list(argv[1:])
    if name == "setpriv":
        return [args[args.index("--") + 1:]] if "--" in args else []
    if name == "chrt":
        rest = _after_options(args)
        return [rest[1:]]  # after the priority
    if name == "stdbuf":
        return [_after_options(args)]
    if name == "foot":
        return [_after_options(args, {"-o", "-c", "-f", "-t", "-a", "-T", "-w", "-W", "-s", "-D", "-L"})]
    if name in ("sh", "dash", "bash") and "-c" in args:
        return _shell_commands(args[args.index("-c") + 1])
    return []


def _shell_commands(script):
    """The simple commands of a shell script, each from its first word: an approximation enough for
    the one-line scripts the suite hands to sh -c."""
    try:
        lexer = shlex.shlex(script, posix=True, punctuation_chars=";&|()")
        lexer.whitespace_split = True
        tokens = list(lexer)
    except ValueError:
        return []
    commands, current = [], []
    for token in tokens + [";"]:
        if token in SHELL_SEPARATORS:
            if current:
                commands.append(current)
            current = []
        else:
            current.append(token)
    out = []
    for words in commands:
        while words and (words[0] == "exec" or re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*=.*", words[0])):
            words = words[1:]
        if words and words[0] not in SHELL_BUILTINS:
            out.append(words)
    return out


class DependencyCheck:
    def __init__(self):
        self.programs: dict[str, str] = {}  # resolved path -> the command line that ran it
        self.skipped: list[str] = []
        self.problems: list[str] = []
        self.summary = ""
        self.recording = True
        sys.addaudithook(self._audit)

    # -- recording

    def _audit(self, event, args):
        if not self.recording or event not in ("subprocess.Popen", "os.exec", "os.posix_spawn"):
            return
        try:
            executable, argv = args[0], args[1]
            env = args[3] if event == "subprocess.Popen" else args[2]
            path = (os.environ if env is None else env).get("PATH", os.defpath)
            argv = [os.fsdecode(a) for a in ([argv] if isinstance(argv, (str, bytes)) else argv)]
            if executable is not None:
                argv = [os.fsdecode(executable), *argv[1:]]
            self._record(argv, path)
        except Exception:  # an audit hook must never break the call it watches
            pass

    def _record(self, argv, path):
        if not argv:
            return
        found = argv[0] if "/" in argv[0] else shutil.which(argv[0], path=path)
        if found and os.path.exists(found):
            self.programs.setdefault(os.path.abspath(found), shlex.join(argv)[:200])
        for inner in _inner_commands(argv):
            self._record(inner, path)

    def pytest_runtest_logreport(self, report):
        if report.skipped and not hasattr(report, "wasxfail"):
            reason = report.longrepr[2] if isinstance(report.longrepr, tuple) else str(report.longrepr)
            if not CHOSEN_SKIPS.search(reason):
                self.skipped.append(f"{report.nodeid}: {reason}")

    # -- checking

    def pytest_sessionfinish(self, session):
        self.recording = False
        if session.config.option.collectonly:
            return
        try:
            self.problems = self._check()
        except Exception as e:  # the check itself must fail loudly, not pass
            self.problems = [f"the dependency check could not run: {type(e).__name__}: {e}"]
        if self.problems and session.exitstatus == 0:
            session.exitstatus = 1

    def pytest_terminal_summary(self, terminalreporter):
        if self.problems:
            terminalreporter.section("dependencies a fresh machine would lack", red=True)
            for line in self.problems:
                terminalreporter.write_line(line)
        elif self.summary:
            terminalreporter.write_line(f"dependency check: {self.summary}")

    def _check(self):
        problems = [f"skipped: {s}" for s in self.skipped]
        venv = Path(sys.prefix)
        if venv == Path(sys.base_prefix):
            return problems + ["the suite does not run in a virtual environment (run scripts/test.sh)"]
        owners = _venv_owners(venv)
        # pip and setuptools: what `python -m venv` puts into every venv.
        wanted = _distribution_closure("pravlin", {EXTRA}) | {"pip", "setuptools"}
        debian_paths = {}
        interpreter = os.path.realpath(sys.executable)
        for program, command in sorted(self.programs.items()):
            real = os.path.realpath(program)
            # A venv's python (this one's, or one a test made) is a link to the interpreter it was made
            # from, the one setup.sh made this venv from.
            if real == interpreter:
                continue
            # Before the suite's own files: the venv may sit inside the checkout.
            if Path(program).is_relative_to(venv):
                dist = owners.get(real) or owners.get(program)
                if dist not in wanted:
                    problems.append(f"{program} (run as: {command}) comes from {dist or 'no distribution'}, "
                                    f"which the {EXTRA!r} extra does not pull in")
            elif not (_made_by_the_suite(program) or _made_by_the_suite(real)):
                debian_paths[program] = (real, command)
        problems += _check_debian(debian_paths)
        modules = _check_modules(venv, owners, wanted)
        self.summary = (f"{len(self.programs)} programs run ({len(debian_paths)} from Debian packages), "
                        f"{len(sys.modules)} modules imported")
        return problems + modules


def _made_by_the_suite(path):
    return any(Path(path).is_relative_to(d) for d in (ROOT, Path(tempfile.gettempdir()).resolve()))


def _venv_owners(venv):
    """Every file of the venv's distributions -> the distribution's normalised name."""
    owners = {}
    for dist in metadata.distributions(path=[p for p in sys.path if p.startswith(str(venv))]):
        name = _normalise(dist.metadata["Name"])
        for f in dist.files or ():
            owners[os.path.realpath(dist.locate_file(f))] = name
    return owners


def _normalise(name):
    return re.sub(r"[-_.]+", "-", name).lower()


def _distribution_closure(name, extras):
    """Normalised names of `name` and every distribution its requirements (with `extras`) pull in."""
    from packaging.requirements import Requirement

    seen: dict[str, set[str]] = {}
    todo = [(name, set(extras))]
    while todo:
        dist_name, dist_extras = todo.pop()
        key = _normalise(dist_name)
        if key in seen and dist_extras <= seen[key]:
            continue
        seen.setdefault(key, set()).update(dist_extras)
        try:
            requires = metadata.requires(dist_name) or []
        except metadata.PackageNotFoundError:
            continue
        for text in requires:
            req = Requirement(text)
            active = req.marker is None or any(req.marker.evaluate({"extra": e}) for e in seen[key] | {""})
            if active:
                todo.append((req.name, set(req.extras)))
    return set(seen)


def _check_debian(paths):
    """Problems with programs from outside the venv: each must belong to an allowed Debian package."""
    if not paths:
        return []
    if shutil.which("dpkg-query") is None:
        return ["no dpkg-query: the programs the tests ran cannot be traced to Debian packages"]
    candidates = {}
    for program, (real, _) in paths.items():
        variants = [real, program]
        for p in (real, program):
            for usr in ("/usr/bin/", "/usr/sbin/", "/usr/lib/"):
                if p.startswith(usr):
                    variants.append(p[len("/usr"):])  # merged /usr: dpkg may know the old path
        candidates[program] = list(dict.fromkeys(variants))
    query = sorted({v for vs in candidates.values() for v in vs})
    out = subprocess.run(["dpkg-query", "-S", *query], capture_output=True, text=True).stdout
    owner_of = {}
    for line in out.splitlines():
        packages, sep, path = line.rpartition(": ")
        if sep and not packages.startswith("diversion"):
            owner_of[path] = [p.strip().split(":")[0] for p in packages.split(",")]
    allowed = _allowed_debian_packages()
    problems = []
    for program, (real, command) in paths.items():
        owners = next((owner_of[v] for v in candidates[program] if v in owner_of), None)
        if owners is None:
            problems.append(f"{program} (run as: {command}) belongs to no Debian package: it is not "
                            f"something scripts/setup.sh installs")
        elif not set(owners) & allowed:
            problems.append(f"{program} (run as: {command}) comes from the Debian package "
                            f"{', '.join(owners)}, which {PACKAGE_LIST.relative_to(ROOT)} does not pull in")
    return problems


def _allowed_debian_packages():
    """The packages of the list, Debian's required set, and everything they depend on, as installed."""
    listed = set(re.sub(r"#.*", "", PACKAGE_LIST.read_text()).split())
    fmt = "${Package}\t${Essential}\t${Priority}\t${Provides}\t${Depends}, ${Pre-Depends}\t${Status}\n"
    out = subprocess.run(["dpkg-query", "-W", "-f", fmt], capture_output=True, text=True, check=True).stdout
    depends, providers, roots = {}, {}, set(listed)
    for line in out.splitlines():
        package, essential, priority, provides, deps, status = line.split("\t")
        if not status.endswith(" installed"):
            continue
        depends[package] = [[_dep_name(a) for a in item.split("|")] for item in deps.split(",") if item.strip()]
        for virtual in provides.split(","):
            if virtual.strip():
                providers.setdefault(_dep_name(virtual), []).append(package)
        if essential == "yes" or priority == "required":
            roots.add(package)
    allowed, todo = set(), list(roots)
    while todo:
        package = todo.pop()
        if package in allowed:
            continue
        allowed.add(package)
        for alternatives in depends.get(package, ()):
            for name in alternatives:
                todo += [name, *providers.get(name, ())]
    return allowed


def _dep_name(text):
    return text.strip().split(" ")[0].split("(")[0].split(":")[0]


def _check_modules(venv, owners, wanted):
    """Problems with imported modules: each from the venv's wanted distributions, the standard library,
    or the suite itself."""
    stdlib = {Path(sysconfig.get_paths(vars={"base": sys.base_prefix, "platbase": sys.base_prefix})[k]).resolve()
              for k in ("stdlib", "platstdlib")}
    site = [Path(p).resolve() for p in sys.path if p.startswith(str(venv))]
    problems = []
    for name, module in sorted(sys.modules.items()):
        file = getattr(module, "__file__", None)
        if not file or "." in name and name.split(".")[0] in sys.modules:
            continue  # a submodule is checked through its top-level package
        real = Path(os.path.realpath(file))
        if any(real.is_relative_to(d) for d in site):
            dist = owners.get(str(real))
            if dist not in wanted:
                problems.append(f"module {name} ({real}) comes from {dist or 'no distribution'}, "
                                f"which the {EXTRA!r} extra does not pull in")
        elif _made_by_the_suite(real):
            continue
        # Debian's sitecustomize.py is a link from the standard library into /etc.
        elif not any(p.is_relative_to(d) for p in (real, Path(os.path.abspath(file))) for d in stdlib) \
                or {"site-packages", "dist-packages"} & set(real.parts):
            problems.append(f"module {name} ({real}) comes from outside the venv and the standard library")
    return problems
