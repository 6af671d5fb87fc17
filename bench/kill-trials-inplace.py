"""The in-place and concurrent modes of bench/kill-trials.sh (see there)."""
import os
import random
import select
import shutil
import signal
import subprocess
import sys
import time

cli, mode, work, trials, rounds = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
env = dict(os.environ, XDG_DATA_HOME=os.path.join(work, "data"), LC_ALL="C.UTF-8")
keys, repl = os.path.join(work, "keys.txt"), os.path.join(work, "replacements.txt")
open(keys, "w").write("cat\n")
open(repl, "w").write("dog\n")
random.seed(7)


def run(*args, check=False):
    return subprocess.run([cli, *args], env=env, cwd=work, capture_output=True, text=True)


def job(*paths, no_undo=False):
    return ["--keep-format", "--keywords", keys, "--replacements", repl, *(["--no-undo"] if no_undo else []), *paths]


def chattr(flag, folder):
    subprocess.run(["chattr", flag, folder], check=True)


def fresh_journal():
    shutil.rmtree(env["XDG_DATA_HOME"], ignore_errors=True)


def make_files(folder, count, size):
    if os.path.exists(folder):
        subprocess.run(["chattr", "-i", folder])
        shutil.rmtree(folder)
    os.makedirs(folder)
    originals = {}
    for i in range(count):
        body = (f"cat {i} " * (size // 6 + i)).encode()
        path = os.path.join(folder, f"{i:04}.txt")
        open(path, "wb").write(body)
        originals[path] = body
    return originals


def classify(originals):
    """(torn, original, new): torn is neither the original nor the complete new content."""
    torn = orig = new = 0
    for path, body in originals.items():
        now = open(path, "rb").read()
        if now == body:
            orig += 1
        elif now == body.replace(b"cat", b"dog"):
            new += 1
        else:
            torn += 1
    return torn, orig, new


def killed(args, step, skip):
    """Kills the program inside its skip-th write of step (a pause point of a test build),
    half way through the file; True when it got there."""
    pause = os.path.join(work, "pause")
    shutil.rmtree(pause, ignore_errors=True)
    os.makedirs(pause)
    for name in ("reached", "release"):
        os.mkfifo(os.path.join(pause, name))
    reached = os.open(os.path.join(pause, "reached"), os.O_RDONLY | os.O_NONBLOCK)
    paused = dict(env, YIHUAN_PAUSE_AT=step, YIHUAN_PAUSE_DIR=pause, YIHUAN_PAUSE_SKIP=str(skip))
    process = subprocess.Popen([cli, *args], env=paused, cwd=work, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    got = b""
    while not got.endswith(b"\n") and process.poll() is None:
        if select.select([reached], [], [], 0.1)[0]:
            got += os.read(reached, 64)
    process.send_signal(signal.SIGKILL)
    process.wait()
    os.close(reached)
    return got == step.encode() + b"\n"


def inplace(kind):
    folder = os.path.join(work, "locked")
    other = os.path.join(work, "other.txt")
    totals = {"torn after kill": 0, "torn after repair": 0, "not restored": 0, "kills mid-write": 0}
    for trial in range(1, trials + 1):
        fresh_journal()
        originals = make_files(folder, 12, 256 << 10)
        open(other, "w").write("cat\n")
        chattr("+i", folder)
        delay = random.randrange(len(originals))
        if kind == "run":
            inside = killed(job(folder), "in-place-write", delay)
        elif kind == "no-undo":
            inside = killed(job(folder, no_undo=True), "in-place-write", delay)
        else:
            assert run(*job(folder)).returncode == 0
            inside = killed(["--undo"], "undo-in-place", delay)
        torn_kill, _, _ = classify(originals)
        # The next start puts right what the kill tore: another run, or the next undo.
        if kind == "undo":
            repair = run("--undo")
        else:
            repair = run(*job(other, no_undo=kind == "no-undo"))
        torn_after, orig, new = classify(originals)
        not_restored = 0
        if kind == "run":
            run("--undo")  # the other run
            run("--undo")  # the killed one
            torn_after, orig, new = classify(originals)
            not_restored = len(originals) - orig
        elif kind == "undo":
            not_restored = len(originals) - orig
        chattr("-i", folder)
        totals["torn after kill"] += torn_kill
        totals["torn after repair"] += torn_after
        totals["not restored"] += not_restored
        totals["kills mid-write"] += inside
        print(f"trial {trial:2}: killed half way through in-place write {delay + 1}, torn after kill {torn_kill}, "
              f"torn after the next start {torn_after}, original {orig}, new {new}, not restored {not_restored}"
              f" (exit {repair.returncode})", flush=True)
    print(f"in-place {kind}: trials {trials}, killed inside a write {totals['kills mid-write']}, "
          f"files torn by the kills {totals['torn after kill']}, "
          f"torn files left {totals['torn after repair']}, files not restored {totals['not restored']}")
    return totals["torn after repair"] == 0 and totals["not restored"] == 0


def concurrent():
    unwarned_total = 0
    for round_ in range(1, rounds + 1):
        fresh_journal()
        folders = [os.path.join(work, f"c{r}") for r in range(4)]
        originals = {}
        for folder in folders:
            originals.update(make_files(folder, 200, 2048))
        processes = [subprocess.Popen([cli, *job(folder, no_undo=False)], env=env, cwd=work,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                     for folder in folders]
        warned = 0
        for process in processes:
            out, err = process.communicate()
            for line in out.splitlines():
                if "cannot be undone" in line:
                    warned += int(line.split()[0])
        named = set()
        undos = 0
        while undos < 10:
            undo = run("--undo")
            undos += 1
            if undo.returncode == 2:
                break
            for line in undo.stdout.splitlines():
                parts = line.split("\t")
                if len(parts) >= 2 and parts[1] in originals:
                    named.add(parts[1])
        _, orig, _ = classify(originals)
        unrestored = [p for p, body in originals.items() if open(p, "rb").read() != body]
        unwarned = max(0, len([p for p in unrestored if p not in named]) - warned)
        unwarned_total += unwarned
        print(f"round {round_:2}: undos {undos - 1}, restored {orig}/{len(originals)}, warned {warned + len(named)}, "
              f"not undone and not warned of {unwarned}", flush=True)
    print(f"concurrent: rounds {rounds} of 4 runs x 200 files: files not undone and not warned of {unwarned_total}")
    return unwarned_total == 0


if os.geteuid() != 0 and mode != "concurrent":
    sys.exit("kill-trials.sh: the in-place modes need root (chattr +i)")
ok = True
for name in (["inplace-run", "inplace-undo", "inplace-no-undo", "concurrent"] if mode == "all" else [mode]):
    if name == "concurrent":
        ok = concurrent() and ok
    elif name.startswith("inplace-"):
        ok = inplace(name[len("inplace-"):]) and ok
    else:
        sys.exit(f"kill-trials.sh: unknown mode {name}")
sys.exit(0 if ok else 1)
