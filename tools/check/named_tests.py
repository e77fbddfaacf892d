"""Whether the tests a check names were run, and how they ended.

A check that runs tests by name must not pass, nor count a mutant as killed,
when what it names has gone: for a renamed test or file pytest exits 4 (not
found), for a deselected one 5 (nothing collected), and a skipped file exits
0. So the check loads this file into pytest as a plugin (`-p named_tests`,
this folder on PYTHONPATH, NAMED_TESTS_EVENTS naming a file): it writes each
test's collection, start and outcome there as they happen, so that a run
stopped in the middle (a hang past its time limit, a crash) leaves its trace
too. With NAMED_TESTS_TIME_LIMIT set (seconds), a test still running that
long after it started ends the run (exit status 1, from faulthandler's
watchdog thread, which needs no interpreter lock), and half as long again
later a process of its own kills it (status 137): a limit on the whole run
would also count the minutes an overloaded machine spends importing before
the test starts. As a program it judges that record:

    python named_tests.py EVENTS EXIT-STATUS NAME...
    python named_tests.py --collected EVENTS NAME...

A NAME is a test id or what starts a group of them (a file, a class, a test
without its parameters). Exit status 0: every named test ran and passed (with
--collected: every name was collected); 1: every named test was collected, and
one failed, or the run was stopped while one ran; 2: a name was not collected,
or one of its tests was skipped or never started, or pytest's status does not
agree with the outcomes. Each named test's fate is printed.
"""

import faulthandler
import os
import signal
import subprocess
import sys

EVENTS = "NAMED_TESTS_EVENTS"
TIME_LIMIT = "NAMED_TESTS_TIME_LIMIT"


# --- the pytest plugin ------------------------------------------------------

def _record(line):
    # One unbuffered append per event: what was written survives a SIGKILL.
    descriptor = os.open(os.environ[EVENTS], os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    try:
        os.write(descriptor, (line + "\n").encode())
    finally:
        os.close(descriptor)


def pytest_collection_finish(session):
    for item in session.items:
        _record(f"collected {item.nodeid}")


_killer = None


def pytest_runtest_logstart(nodeid, location):
    global _killer
    _record(f"started {nodeid}")
    if os.environ.get(TIME_LIMIT):
        limit = float(os.environ[TIME_LIMIT])
        faulthandler.dump_traceback_later(limit, exit=True)
        # The watchdog's exit can hang: under ThreadSanitizer _exit first
        # runs the sanitizer's finalization, which waits for locks that a
        # thread of a corrupted process may hold for ever. SIGKILL from
        # outside cannot be held up.
        _killer = subprocess.Popen(
            ["/bin/sh", "-c", 'sleep "$1" && kill -KILL "$2"', "killer", str(limit * 1.5), str(os.getpid())],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True)


def pytest_runtest_logfinish(nodeid, location):
    global _killer
    if os.environ.get(TIME_LIMIT):
        faulthandler.cancel_dump_traceback_later()
    if _killer is not None:
        os.killpg(_killer.pid, signal.SIGKILL)
        _killer.wait()
        _killer = None


def pytest_runtest_logreport(report):
    _record(f"{report.when} {report.outcome} {report.nodeid}")


# --- the judgement ----------------------------------------------------------

def _belongs(nodeid, name):
    return nodeid == name or nodeid.startswith((name + "::", name + "["))


def judge(lines, status, names, collected_only=False):
    """(verdict, notes): the verdict 0, 1 or 2 as the exit status above."""
    collected, started, finished, failed, skipped = [], set(), set(), set(), set()
    for line in lines:
        event, _, rest = line.partition(" ")
        if event == "collected":
            collected.append(rest)
        elif event == "started":
            started.add(rest)
        elif event in ("setup", "call", "teardown"):
            outcome, _, nodeid = rest.partition(" ")
            {"failed": failed, "skipped": skipped}.get(outcome, set()).add(nodeid)
            if event == "teardown":
                finished.add(nodeid)
    notes, untested, named = [], False, []
    for name in names:
        matching = [nodeid for nodeid in collected if _belongs(nodeid, name)]
        if not matching:
            notes.append(f"{name}: not collected")
            untested = True
        named += matching
    if collected_only:
        return (2 if untested else 0), notes + [f"{nodeid}: collected" for nodeid in named]
    running = [nodeid for nodeid in named if nodeid in started and nodeid not in finished]
    # A signal, a time limit's SIGKILL (128 + 9 from the shell), the
    # per-test limit's exit, or any exit at all while a test had not finished:
    # pytest never ends in the middle of a test, so whatever status such an
    # end reports (a sanitizer's handler of a fatal signal exits with its
    # configured exit code, which may be 0) the process was stopped there.
    stopped = status < 0 or status >= 128 or bool(running)
    for nodeid in named:
        if nodeid in skipped:
            notes.append(f"{nodeid}: skipped")
            untested = True
        elif nodeid in failed:
            notes.append(f"{nodeid}: failed")
        elif nodeid in running:
            notes.append(f"{nodeid}: started, did not finish")
        elif nodeid in finished:
            notes.append(f"{nodeid}: passed")
        elif not (stopped and running) and not (failed & set(named)):
            # Not reached, though nothing stopped the run before it.
            notes.append(f"{nodeid}: collected, never started")
            untested = True
        else:
            notes.append(f"{nodeid}: not reached after the run ended")
    if untested:
        return 2, notes
    if failed & set(named) and status != 0:
        return 1, notes
    if stopped and running:
        return 1, notes + [f"the run was stopped (exit status {status}) while a named test ran"]
    if status == 0 and not failed and set(named) <= finished:
        return 0, notes
    return 2, notes + [f"pytest's exit status {status} does not agree with the outcomes of the named tests"]


def main(arguments):
    collected_only = arguments[:1] == ["--collected"]
    if collected_only:
        arguments = arguments[1:]
    minimum = 2 if collected_only else 3
    if len(arguments) < minimum:
        sys.exit(__doc__)
    events, names = arguments[0], arguments[minimum - 1:]
    status = 0 if collected_only else int(arguments[1])
    try:
        with open(events) as file:
            lines = file.read().splitlines()
    except FileNotFoundError:
        lines = []  # pytest stopped before it collected anything
    verdict, notes = judge(lines, status, names, collected_only)
    # A file's tests are many: those that passed are counted, not listed.
    passed = [note for note in notes if note.endswith((": passed", ": collected"))]
    for note in notes if len(passed) < 4 else [note for note in notes if note not in passed]:
        print(f"  {note}")
    if len(passed) >= 4:
        print(f"  {len(passed)} named tests {'collected' if collected_only else 'passed'}")
    return verdict


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
