#!/usr/bin/env python3
# QOR_DelTmp end to end on generated fixtures, judged by an oracle written from its rules.
#   generated_run.py linux BINARY [--seeds N (300)] [--first SEED (1)] [--emulator CMD]
#   generated_run.py wine EXE HOLD_AND_RUN PREFIX [--seeds N] [--first SEED]
#   generated_run.py faults BINARY
# A seed fills the swept folders, and folders that must not be swept, with entries from a small
# grammar: names around the rules' edges, sizes 0, 1 and 4 GiB, last writes around both age
# bounds, files, read-only files, folders, links, FIFOs, and files held open or mapped by other
# processes. It picks a command line, a time zone, a user temp folder (at times at the path
# capacity's edge) and, on Linux, the spool's settings, whether leases work, overlayfs, a closed
# or broken standard stream, Ctrl+C, and a step: the tool stopped just after a chosen system call
# on a chosen file, the world changed, the tool let go on. It runs the tool once and compares
# what went, what was printed and the exit status with the oracle. A failure names the seed, its
# plan and the entries the run got wrong, the shortest first. The first seeds are not drawn: they
# go through the combinations the safety promises rest on, so each occurs in every run.
# The fault sweep fails each system call of a run in turn, at each occurrence, on one fixture.
# Linux runs are made as root in mount and pid namespaces of their own, over scratch folders.
# Exit status: 0 passed, 1 failed, 77 skipped.
import collections
import dataclasses
import datetime
import itertools
import os
import pwd
import random
import re
import shutil
import signal
import subprocess
import sys
import time
import zoneinfo

SECOND = 10**9
WEEK = 7 * 86400 * SECOND
OLD = time.time_ns() - 2 * WEEK  # a last write old enough to go, for the length of a run
USAGE = (
    "Usage: QOR_DelTmp [/s][/a]\n"
    "  Deletes temporary files created by\n"
    "    GetTempFileName(TempPath, prefix, 0, tmpfile).\n"
    "  Retruns deleted file count.\n"
    "  Options:\n"
    "    /s : to suppress all messages. (Silent)\n"
    "    /a : to delete All TmpFile\n"
    "    /? : to show usage.\n"
    "Type Ctrl+C to abort execution.\n"
)
# Switches to draw command lines from, the 63 characters handled among them.
ARGUMENTS = ["/s", "-S", "/a", "-A", "/s-a", "-a/s", "/", "--", "/?", "/s/?", "/sa", "s", "/x",
             "/a/x", "-\xff\u0100", "/" * 62 + "a", "/" * 63 + "a"]
SCRATCH = "/var/lib/qor"  # beside QORTemp, never swept
OUTSIDE = f"{SCRATCH}/outside"  # where links lead
ELSEWHERE = f"{SCRATCH}/elsewhere"  # where a swapped folder leads
LINUX_FOLDERS = f"/var/tmp /var/lib/QORTemp /var/spool/cups /var/lib/spool /tmp /tmp/u {ELSEWHERE}".split()
# cups-files.conf, and the spool folder it names.
CUPS = {
    None: None,
    "a folder, not a file": None,
    "LogLevel warn\n": "/var/spool/cups",
    "requestROOT\t/var/lib/spool # comment\n#RequestRoot /tmp\nRequestRootX /tmp\n": "/var/lib/spool",
    "RequestRoot /var/lib/spool\nRequestRoot /var/spool/cups\n": "/var/spool/cups",
}
# Runs a program by mapping it and closing its descriptor. A program run so holds its file by the
# mapping alone, which on overlayfs does not stop a write lease.
LOADER = "/lib64/ld-linux-x86-64.so.2"
# How the tool's standard streams are broken, as redirections; a closed one is the first
# descriptor it opens.
STDIO = {None: "", "stdin closed": "<&-", "stdout closed": ">&-", "stdout a pipe with no reader": ""}


@dataclasses.dataclass
class Entry:
    path: str
    # file, readonly and link, or one that never goes: folder, fifo, mapped (a copy of sleep, run),
    # held (open), changed by a step; on Windows held0, held3 or held7, held open with that
    # FILE_SHARE_* mask
    kind: str
    size: int = 0
    mtime: int = 0  # ns since 1970


@dataclasses.dataclass
class Plan:
    args: list
    zone: str = "UTC"
    windows: bool = False
    swept: list = None  # the folders the tool must sweep
    lease: bool = True
    overlay: bool = False
    tmpdir: str = None  # None: the platform's default
    room: int = None  # what the user temp folder's path leaves of the path capacity
    cups: str = "LogLevel warn\n"
    interrupt: int = None  # Ctrl+C once this many files are deleted; 0: before any folder is probed
    twice: bool = False  # a second Ctrl+C as the handler returns
    stdio: str = None  # one of STDIO
    step: str = None  # one of STEPS


class Problem(Exception):
    pass


# A step: the tool stops just after its first `call` on `target` (strace -P: a name, or the path
# of the descriptor the call names), a file no draw makes in the last folder swept; the shell
# command `act` changes the world ($1 is the target) and the tool goes on; `undo` puts the world
# back after the run. To the oracle the target is `after`.
@dataclasses.dataclass
class Step:
    call: str
    act: str
    target: str = "DsP5A.tmp"
    lease: bool = True  # whether the tool may lease the files
    after: str = "changed after the tool examined it"
    undo: str = ":"

    @property
    def file(self):  # the target's path
        return "/tmp/u/" + os.path.basename(self.target)


STEPS = {
    "replaced by a FIFO after it was examined": Step("newfstatat", "rm $1 && mkfifo $1"),
    "replaced by a link after it was opened": Step("openat", f"ln -sf {OUTSIDE} $1"),
    # The tool deletes the file from the folder it opened, wherever the folder's name now leads.
    "its folder swapped for a link after it was opened": Step(
        "openat", f"mv /tmp/u /tmp/u.moved && ln -s {ELSEWHERE} /tmp/u", after="file",
        undo="rm /tmp/u && mv /tmp/u.moved /tmp/u"),
    "written to after it was examined": Step(
        "newfstatat", "touch -r $1 /tmp/t && echo >>$1 && touch -r /tmp/t $1", ".TmP"),
    "touched after it was examined": Step("newfstatat", "touch $1", ".TmP"),
    # The kernel holds the opener back, and tells the tool, until the tool gives the lease up.
    "opened by another process under the tool's lease": Step(
        "fcntl", "cat $1 >/dev/null & until grep -q BREAKING /proc/locks; do sleep 0.01; done",
        "/tmp/u/DsP5A.tmp"),
    # Opened, and then past the time a reading of the process table is trusted.
    "opened by another process after the table was read": Step(
        "openat", "sleep 30 <$1 & sleep 0.5", lease=False),
}


# What the command line does, by the rules: (silent, delete all, the message that ends the run or
# None). An argument's length counts UTF-16 units on Windows, bytes on Linux.
def parse(plan):
    silent = everything = False
    for arg in plan.args:
        tokens = re.split("[/-]", arg)
        if arg[:1] not in ("/", "-") or len(arg if plan.windows else arg.encode()) > 63:
            tokens = ["refused"]
        for token in tokens:
            if token == "?":
                return silent, everything, USAGE
            silent = silent or token.lower() == "s"
            everything = everything or token.lower() == "a"
            if token.lower() not in ("", "s", "a"):
                return silent, everything, f"Invalid parameter ignored: {arg}\n"
    return silent, everything, None


def floor_of(zone):
    return int(datetime.datetime(2011, 2, 1, tzinfo=zoneinfo.ZoneInfo(zone)).timestamp()) * SECOND


# True when the rules delete the entry, False when they keep it, None when it is too close to the
# 7-day bound for the run's start and end to tell.
def goes(entry, everything, plan, started, ended):
    folder, name = os.path.split(entry.path)
    dsp = re.fullmatch(r"(?i:dsp)[0-9A-F]{0,4}\.(?i:tmp)", name)
    if folder not in plan.swept or entry.kind not in ("file", "readonly", "link"):
        return False
    if folder == plan.tmpdir and plan.room and len("DSP????.tmp" if dsp else "????.tmp") >= plan.room:
        return False  # the pass's pattern does not fit a path
    if plan.windows and entry.kind == "readonly":
        return False  # Windows refuses to delete it
    if dsp:
        return True
    if not re.fullmatch(r"[0-9A-F]{0,4}\.(?i:tmp)", name) or entry.size != 0:
        return False
    if everything:
        return True
    if entry.mtime < floor_of(plan.zone) or entry.mtime > ended - WEEK:
        return False
    if entry.mtime <= started - WEEK:
        return True
    return None


# Random entries in each of `folders`.
def make_entries(rng, folders, floor, kinds):
    now = time.time_ns()
    times = [floor - 100, floor, floor + 100, now - WEEK - 60 * SECOND, now - WEEK + 60 * SECOND,
             now - 2 * WEEK, now]
    entries = {}
    for folder in folders:
        for _ in range(rng.randint(0, 12)):
            name = rng.choice(["", "", "DSP", "dsp", "dSp", "XSP"])
            name += "".join(rng.choices("0123456789ABCDEF" * 3 + "abcG.", k=rng.randint(0, 5)))
            name += rng.choice(".tmp .tmp .TMP .tMp .tmpx .txt".split())
            entry = Entry(f"{folder}/{name}", rng.choice(kinds), rng.choice([0, 0, 1, 2**32]),
                          rng.choice(times))
            if entry.kind == "link":
                entry.size = len(OUTSIDE)  # a link's size is its target's length
            entries[entry.path.lower()] = entry  # Windows names ignore case
    if rng.random() < 0.1:
        # Past a 255-capped status, and long names that fill two reads of the folder.
        for i in range(500):
            for name in (f"DSP{i:03X}.tmp", f"DSP{i:03X}.tmp{'x' * 240}"):
                entries[name.lower()] = Entry(f"{folders[0]}/{name}", "file", 1)
    return list(entries.values())


# A folder path of `length` characters that begins with `top`, in names of at most 250.
def deep(top, length):
    path = top
    while length - len(path) > 250:
        path += "/" + "d" * 200
    return path + "/" + "d" * (length - len(path) - 1)


# Makes the entries; returns what ends the holds on them.
def build(entries, lease):
    releases = []
    for entry in list(entries):
        if entry.kind == "folder":
            os.mkdir(entry.path)
            entries.append(Entry(f"{entry.path}/DSP0.tmp", "file"))
            open(entries[-1].path, "w").close()
        elif entry.kind == "fifo":
            os.mkfifo(entry.path)
        elif entry.kind == "link":
            os.symlink(OUTSIDE, entry.path)
        elif entry.kind == "mapped":
            shutil.copy("/bin/sleep", entry.path)
        else:
            with open(entry.path, "wb") as file:
                file.truncate(entry.size)
        os.utime(entry.path, ns=(entry.mtime, entry.mtime), follow_symlinks=False)
        if entry.kind == "readonly":
            os.chmod(entry.path, 0o444)
        if not lease:
            os.lchown(entry.path, 65534, 65534)
        if entry.kind == "held":
            releases.append(open(entry.path).close)
        if entry.kind == "mapped":
            holder = subprocess.Popen([LOADER, entry.path, "1000"])
            while entry.path not in open(f"/proc/{holder.pid}/maps").read():
                time.sleep(0.001)  # until the loader has mapped it
            releases.append(holder.kill)
    return releases


# Makes the entries, runs the tool and compares the run with the oracle; returns what disagrees,
# "" when nothing does. After a failed system call (`faulted`) a file may stay.
def check(plan, entries, run, faulted=None):
    releases = build(entries, plan.lease)
    started = time.time_ns()
    try:
        status, printed = run()
    except Problem as problem:
        return str(problem)
    finally:
        ended = time.time_ns()
        for release in releases:
            release()
    silent, everything, message = parse(plan)
    gone = {entry.path for entry in entries if not os.path.lexists(entry.path)}
    interrupted = message is None and plan.interrupt is not None and plan.interrupt <= len(gone)
    want_status = len(gone) if plan.windows else min(len(gone), 255)
    want = f"SUCCESS({len(gone)})\n"
    if message is not None:
        want_status = 0
        want = message
    elif interrupted and plan.twice:
        want_status = -2  # ended by SIGINT
        want = ""
    if silent or "stdout" in str(plan.stdio) or (faulted == "write" and printed == b""):
        want = ""  # or the write failed
    want = want.replace("\n", "\r\n").encode("latin-1", "replace") if plan.windows else want.encode()
    problems = []
    if (status, printed) != (want_status, want):
        problems.append(f"exit status {status}, printed {printed!r}; want {want_status}, {want!r}")
    if interrupted and len(gone) != plan.interrupt:
        problems.append(f"{len(gone)} deleted after Ctrl+C at deletion {plan.interrupt}")
    for entry in sorted(entries, key=lambda entry: len(entry.path)):
        verdict = message is None and goes(entry, everything, plan, started, ended)
        if verdict is False and entry.path in gone:
            problems.append(f"gone: {entry}")
        elif verdict and entry.path not in gone and not faulted and not interrupted:
            problems.append(f"still there: {entry}")
    return "\n  ".join(problems[:6])


def empty(folder):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder, exist_ok=True)


# Empties the folders and makes those of `plan`, with the spool's settings. A step's target is in
# the user temp folder, and the step says whether leases are granted.
def prepare_linux(plan):
    if plan.step:
        plan.lease = STEPS[plan.step].lease
        plan.tmpdir = "/tmp/u"
    subprocess.run("umount --lazy /var/tmp".split(), stderr=subprocess.DEVNULL)
    for folder in f"/var/spool /etc/cups /tmp/l {SCRATCH}/lower {SCRATCH}/upper {SCRATCH}/work".split():
        empty(folder)
    for folder in LINUX_FOLDERS:
        empty(folder)
    if plan.room:
        plan.tmpdir = deep("/tmp/l", 4096 - plan.room - 1)
        os.makedirs(plan.tmpdir)
    plan.swept = ["/var/tmp", "/var/lib/QORTemp", CUPS[plan.cups], plan.tmpdir or "/tmp"]
    if plan.overlay:
        layers = f"lowerdir={SCRATCH}/lower,upperdir={SCRATCH}/upper,workdir={SCRATCH}/work"
        subprocess.run(f"mount -t overlay qor -o {layers} /var/tmp".split(), check=True)
    if plan.cups == "a folder, not a file":
        os.mkdir("/etc/cups/cups-files.conf")
    elif plan.cups:
        with open("/etc/cups/cups-files.conf", "w") as file:
            file.write(plan.cups)
    return LINUX_FOLDERS


# The strace options that stop the tool for its step, or bring Ctrl+C, just after a system call.
def tracing(plan):
    if plan.step:
        step = STEPS[plan.step]
        return f"-P {step.target} -e trace={step.call} -e inject={step.call}:signal=STOP:when=1"
    if plan.interrupt == 0:
        return "-P /var/tmp -e trace=newfstatat -e inject=newfstatat:signal=INT:when=1"
    deletion = f"-e trace=unlinkat,rt_sigreturn -e inject=unlinkat:signal=INT:when={plan.interrupt}"
    if plan.twice:
        return deletion + " -e inject=rt_sigreturn:signal=INT:when=1"
    return deletion


# Lets the tool run until its step stops it, changes the world and lets the tool go on.
def take_step(tool, step):
    while tool.poll() is None:
        with open(f"{SCRATCH}/steps") as file:
            stopped = re.search(r"(?m)^(\d+) +--- stopped by SIGSTOP", file.read())
        if stopped:
            subprocess.run(["sh", "-c", step.act, "sh", step.file], check=True)
            os.kill(int(stopped[1]), signal.SIGCONT)
            return
        time.sleep(0.01)
    raise Problem("the tool ended before its step")


def run_linux(plan, tracer):
    env = dict(os.environ, TZ=plan.zone, TMPDIR=plan.tmpdir or "")
    if plan.interrupt is not None or plan.step:
        # One processor, so one thread deletes: the deletion in hand is the last, and the step
        # stops the only thread that works.
        open(f"{SCRATCH}/steps", "w").close()
        strace = f"strace -f -qq -o {SCRATCH}/steps {tracing(plan)}"
        tracer = f"taskset -c {min(os.sched_getaffinity(0))} {strace}".split() + tracer
    if "strace" in tracer:
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"  # not under ptrace
    if not plan.lease:
        # Not the files' owner and no CAP_LEASE: the process table decides, read with fewer
        # descriptors than there are processes.
        tracer = "setpriv --inh-caps=-lease --bounding-set=-lease prlimit --nofile=32".split() + tracer
    with open(f"{SCRATCH}/out", "w+b") as out:
        stdout = out.fileno()
        if plan.stdio == "stdout a pipe with no reader":
            reader, stdout = os.pipe()
            os.close(reader)
        command = ["sh", "-c", f'exec "$@" {STDIO[plan.stdio]}', "sh"] + tracer + [f"{SCRATCH}/QOR_DelTmp"]
        tool = subprocess.Popen(command + plan.args, stdout=stdout, env=env)
        if stdout != out.fileno():
            os.close(stdout)
        if plan.step:
            take_step(tool, STEPS[plan.step])
        try:
            status = tool.wait(timeout=60)
        except subprocess.TimeoutExpired:
            tool.kill()
            raise Problem("the tool did not end within 60 s")
        if plan.step:
            subprocess.run(["sh", "-c", STEPS[plan.step].undo], check=True)
        out.seek(0)
        return status, out.read()


# Runs this script again as the first process of mount and pid namespaces of its own, with
# scratch file systems over /var, /tmp and /etc, and `binary` copied there as QOR_DelTmp.
def enter_namespace(binary):
    if os.environ.get("QOR_NAMESPACE") != "1" or os.getpid() != 1:
        if os.getuid() != 0 or subprocess.run("unshare -mpf true".split()).returncode != 0:
            print("SKIPPED: needs root, and mount and pid namespaces (CI has both)")
            sys.exit(77)
        os.environ["QOR_NAMESPACE"] = "1"
        os.execvp("unshare", ["unshare", "-mpf", "--mount-proc", sys.executable] + sys.argv)
    with open(binary, "rb") as file:
        image = file.read()
    for top in ("/var", "/tmp"):
        subprocess.run(f"mount -t tmpfs qor {top}".split(), check=True)
    os.makedirs(f"{SCRATCH}/etc-work")
    os.makedirs(f"{SCRATCH}/etc")
    layers = f"lowerdir=/etc,upperdir={SCRATCH}/etc,workdir={SCRATCH}/etc-work"
    subprocess.run(f"mount -t overlay qor -o {layers} /etc".split(), check=True)
    with open(os.open(f"{SCRATCH}/QOR_DelTmp", os.O_CREAT | os.O_WRONLY, 0o755), "wb") as file:
        file.write(image)


def option(name, default):
    if name in sys.argv:
        return sys.argv[sys.argv.index(name) + 1]
    return default


# `draw` picks the platform's part of a plan, `first_plans` are the first seeds' plans, `prepare`
# empties the folders and returns those to fill with drawn entries, `fixed` makes the entries
# every run has, and `run` runs the tool.
def sweep_seeds(windows, draw, first_plans, prepare, kinds, fixed, run):
    seeds = int(option("--seeds", 300))
    first = int(option("--first", 1))
    failed = 0
    for seed in range(first, first + seeds):
        rng = random.Random(seed)
        args = rng.sample(ARGUMENTS, rng.choice([0, 0, 1, 1, 2]))
        zone = rng.choice("UTC Asia/Tokyo America/New_York Australia/Sydney".split())
        plan = Plan(args, zone, windows)
        draw(rng, plan)
        if seed <= len(first_plans):
            plan = Plan([], zone, windows)
            vars(plan).update(first_plans[seed - 1])
        entries = make_entries(rng, prepare(plan), floor_of(zone), kinds.split()) + fixed(plan)
        problems = check(plan, entries, lambda: run(plan, entries))
        if problems:
            failed += 1
            print(f"FAIL seed {seed}: {plan}\n  {problems}")
    print(f"{seeds - failed} of {seeds} seeds passed, from seed {first}")
    return int(failed > 0)


# A file in the user temp folder at the capacity's edge for each pass.
def at_edge(plan):
    return [Entry(f"{plan.tmpdir}/{name}", "file", 0, OLD) for name in (".tmp", "DSP.tmp") if plan.room]


# The user temp folder's path leaving room for each pass's pattern and its terminator, and one
# character less.
EDGES = [dict(room=len(pattern) + 1 - over) for pattern in ("DSP????.tmp", "????.tmp") for over in (0, 1)]
# Leases granted and refused, each with and without overlayfs; each step; Ctrl+C before any folder
# is probed; output that cannot be written; the path capacity's edges.
FIRST_LINUX = [dict(lease=True, overlay=True), dict(lease=False, overlay=True),
               dict(lease=True, overlay=False), dict(lease=False, overlay=False)]
FIRST_LINUX += [dict(step=name) for name in STEPS]
FIRST_LINUX += [dict(interrupt=0), dict(stdio="stdout closed"), dict(stdio="stdout a pipe with no reader")] + EDGES


def linux(binary):
    enter_namespace(binary)
    for _ in range(40):
        subprocess.Popen(["sleep", "1000"])  # more processes than a run without a lease has fds

    def draw(rng, plan):
        plan.lease = rng.random() < 0.5
        plan.overlay = rng.random() < 0.2
        plan.tmpdir = rng.choice([None, "/tmp/u", "/var/tmp", "/tmp/none"])
        plan.cups = rng.choice(list(CUPS))
        plan.interrupt = rng.choice([None, None, None, None, 0, 1, 2, 3])
        plan.twice = bool(plan.interrupt) and rng.random() < 0.5
        plan.stdio = rng.choice([None, None, None, *STDIO])
        silent, everything, message = parse(plan)
        if plan.interrupt is None and not everything and message is None and rng.random() < 0.3:
            plan.step = rng.choice(list(STEPS))

    # A file held open and one mapped by another process, the links' target, where a swapped
    # folder leads, a file swept before the steps' targets, where the process table is read, and
    # the step's target.
    def fixed(plan):
        entries = [Entry("/var/tmp/DsPA.tmp", "held"), Entry("/var/tmp/DsPB.tmp", "mapped"),
                   Entry(OUTSIDE, "file"), Entry(f"{ELSEWHERE}/DsP5A.tmp", "file"), Entry("/var/tmp/DsPE.tmp", "file")]
        if plan.step:
            entries.append(Entry(STEPS[plan.step].file, STEPS[plan.step].after, 0, OLD))
        return entries + at_edge(plan)

    emulator = option("--emulator", "").split()
    kinds = "file " * 8 + "readonly folder link fifo held mapped"
    return sweep_seeds(False, draw, FIRST_LINUX, prepare_linux, kinds, fixed,
                       lambda plan, entries: run_linux(plan, emulator))


# HoldAndRun's exit status when it could not start the tool; it names the failed call on stderr.
NOT_STARTED = 125
# The TMP path capacity's edges, and an argument with the last character a console byte has and
# the first it has not.
FIRST_WINE = EDGES + [dict(args=["-\xff\u0100"])]


def wine(exe, runner, prefix):
    prefix = os.path.abspath(prefix)
    drive = f"{prefix}/drive_c"
    os.makedirs(f"{drive}/qor", exist_ok=True)
    shutil.copy(exe, f"{drive}/qor/QOR_DelTmp.exe")
    user = pwd.getpwuid(os.getuid()).pw_name
    folders = [f"{drive}/{folder}" for folder in "windows/temp ProgramData/QORTemp "
               f"windows/system32/spool/printers users/{user}/Temp".split()]

    def windows_path(path):
        return "C:" + path[len(drive):].replace("/", "\\")

    def prepare(plan):
        for folder in folders + [f"{drive}/l"]:
            empty(folder)
        if plan.room:
            # "C:" in place of the drive's folder, and GetTempPathW's "\" after it.
            plan.tmpdir = deep(f"{drive}/l", len(drive) - len("C:\\") + 260 - plan.room)
            os.makedirs(plan.tmpdir)
        plan.swept = folders[:3] + [plan.tmpdir or folders[3]]
        return folders

    def run(plan, entries):
        command = f"bash {os.path.dirname(__file__)}/../../scripts/wine-run.sh {prefix} {os.path.abspath(runner)}".split()
        command.append("C:\\qor\\out")
        for entry in entries:
            if "held" in entry.kind:
                command.append(entry.kind[-1] + ":" + windows_path(entry.path))
        if plan.tmpdir:
            command.append("TMP=" + windows_path(plan.tmpdir))
        command += ["--", "C:\\qor\\QOR_DelTmp.exe"] + plan.args
        env = dict(os.environ, TZ=plan.zone, LC_ALL="C.UTF-8")
        run = subprocess.run(command, capture_output=True, env=env, timeout=120, cwd=drive)
        if run.returncode == NOT_STARTED:
            # The tool has not run: Wine now and then fails to start a process. Once more.
            print(f"the tool was started again, after: {run.stderr.decode(errors='replace').strip()}")
            run = subprocess.run(command, capture_output=True, env=env, timeout=120, cwd=drive)
        if run.returncode or not run.stdout.split():
            raise Problem(f"wine ended with {run.returncode}, printing {run.stdout!r} and {run.stderr!r}")
        with open(f"{drive}/qor/out", "rb") as file:
            return int(run.stdout.split()[-1]), file.read()

    # Wine takes a Linux link for the file it leads to, and deletes the target where Windows
    # deletes a link itself; a file Linux maps is not in use for Wine.
    def fixed(plan):
        return [Entry(f"{folders[0]}/DsP{share}.tmp", f"held{share}") for share in "037"] + at_edge(plan)

    return sweep_seeds(True, lambda rng, plan: None, FIRST_WINE, prepare, "file " * 8 + "readonly folder fifo", fixed, run)


# Each call is failed with EIO, and with the errors that lead elsewhere in the tool.
ERRORS = {"fcntl": "EACCES EAGAIN", "openat": "EIO ELOOP", "read": "EIO EINTR", "write": "EIO EINTR"}
# Left out: brk (glibc takes the errno for the new break), futex (glibc aborts on errors the
# operation cannot return), and calls that cannot fail.
NEVER_FAILED = set("brk futex exit exit_group getpid gettid set_tid_address".split())


# Nine candidates (an empty 1A2B.tmp two weeks old and a DSP1.tmp in each folder, and a link
# DSP4.tmp), beside a held DSP2.tmp, a mapped DSP3.tmp, the link's target and two names that fail
# a rule. Each call the tool's own code makes (the first whose stack passes through main() and all
# after it; strace counts each thread on its own) fails at each of its occurrences, in a run of its
# own. Each run must end by itself, print SUCCESS(n) for the n candidates that went (nothing when
# the failed call is that write), exit with n, and keep every other entry. Leases granted, and
# refused (another owner's files, no CAP_LEASE), where the process table decides.
def faults(binary):
    enter_namespace(binary)
    entries = [Entry("/var/tmp/DSP2.tmp", "held"), Entry("/var/tmp/DSP3.tmp", "mapped"),
               Entry("/var/tmp/DSP4.tmp", "link"), Entry(OUTSIDE, "file"),
               Entry("/var/tmp/1a2b.tmp", "file", 0, OLD), Entry("/var/tmp/3C4D.tmp", "file", 0, time.time_ns())]
    for folder in "/var/tmp /var/lib/QORTemp /var/spool/cups /tmp/u".split():
        entries += [Entry(f"{folder}/1A2B.tmp", "file", 0, OLD), Entry(f"{folder}/DSP1.tmp", "file")]
    runs = failed = 0
    for lease in (True, False):
        plan = Plan([], lease=lease, tmpdir="/tmp/u")
        prepare_linux(plan)
        check(plan, list(entries), lambda: run_linux(plan, f"strace -f -qq -k -o {SCRATCH}/trace".split()))
        with open(f"{SCRATCH}/trace") as file:
            trace = file.read()
        startup = collections.Counter(re.findall(r"(?m)^\d+ +(\w+)\(", trace.split("(main+")[0])[:-1])
        most = collections.Counter()
        for (pid, call), n in collections.Counter(re.findall(r"(?m)^(\d+) +(\w+)\(", trace)).items():
            most[call] = max(most[call], n)
        for call in sorted(set(most) - NEVER_FAILED):
            for error in ERRORS.get(call, "EIO").split():
                for when in range(startup[call] + 1, most[call] + 1):
                    prepare_linux(plan)
                    inject = f"inject={call}:error={error}:when={when}"
                    strace = f"strace -f -qq --seccomp-bpf -o /dev/null -e trace={call} -e {inject}".split()
                    problems = check(plan, list(entries), lambda: run_linux(plan, strace), call)
                    runs += 1
                    if problems:
                        failed += 1
                        print(f"FAIL lease {lease}, {inject}: {problems}")
    print(f"{runs - failed} of {runs} runs with a failed call passed")
    return int(failed > 0)


if __name__ == "__main__":
    modes = {"linux": linux, "wine": wine, "faults": faults}
    sys.exit(modes[sys.argv[1]](*itertools.takewhile(lambda arg: arg[:2] != "--", sys.argv[2:])))
