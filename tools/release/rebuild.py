"""This tree against a release's record: its commit, its rebuild in a scratch folder, and where a
rebuilt file differs, a report of where."""
import difflib
import os
import shutil
import signal
import subprocess


def _in_group(command, timeout=None, **options):
    """Runs COMMAND in a process group of its own, which is ended whole when this ends: (status,
    output), or None where it took longer than TIMEOUT."""
    with subprocess.Popen(command, start_new_session=True, **options) as process:
        try:
            output = process.communicate(timeout=timeout)[0]
            return process.returncode, output
        except subprocess.TimeoutExpired:
            return None
        finally:
            if process.returncode is None:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()


def _environment():
    """This environment less a SOURCE_DATE_EPOCH, which would stand in for the commit's date."""
    return {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}


def commit(top):
    """The commit that the tree holds, as the build reads it, or None."""
    answer = subprocess.run(["cmake", "-P", "cmake/source-date.cmake"], cwd=top, env=_environment(),
                            capture_output=True, text=True)
    words = answer.stdout.split()
    return words[0] if answer.returncode == 0 and words and words[0] != "-" else None


def git(top, *arguments, **options):
    # git refuses a tree of another user's, such as one mounted into a container, unless told to
    # trust it: this one, for this call.
    return subprocess.run(["git", "-c", f"safe.directory={top.resolve()}", *arguments], cwd=top,
                          **options)


def uncommitted(top):
    return (top / ".git").exists() and bool(git(
        top, "status", "--porcelain", "--untracked-files=no",
        capture_output=True).stdout)


def rebuild(top, copy, epoch, signature, log):
    """Rebuilds what the tree has committed, in COPY; True where it built."""
    copy.mkdir()
    if (top / ".git").exists():
        archive = git(top, "archive", "--format=tar", "HEAD",
                      stdout=subprocess.PIPE, check=True).stdout
        subprocess.run(["tar", "-x", "-C", copy], input=archive, check=True)
    else:
        shutil.copytree(top, copy, dirs_exist_ok=True,
                        ignore=lambda folder, _: ["build"] if folder == str(top) else [])
    environment = _environment() | {"VELTRIN_SIGNATURE": str(signature or "")}
    if epoch is not None:
        environment["SOURCE_DATE_EPOCH"] = epoch
    with open(log, "wb") as output:
        return _in_group(
            ["cmake", "--workflow", "--preset", "windows-package"], cwd=copy,
            env=environment, stdin=subprocess.DEVNULL, stdout=output,
            stderr=subprocess.STDOUT)[0] == 0


def report(published, rebuilt, seconds, scratch):
    """Where two files differ, in at most a few hundred lines: a unified diff of two texts, else
    diffoscope's report; None where diffoscope is not here, False where it took over SECONDS."""
    try:
        texts = [path.read_text(encoding="utf-8").splitlines() for path in (published, rebuilt)]
        return list(difflib.unified_diff(*texts, "published", "rebuilt", lineterm=""))[:300]
    except UnicodeDecodeError:
        pass
    if shutil.which("diffoscope") is None:
        return None
    # diffoscope writes its temporary files into our scratch folder, which is removed after it.
    answer = _in_group(["diffoscope", "--max-text-report-size", "20000", published, rebuilt],
                       timeout=seconds, env=dict(os.environ, TMPDIR=str(scratch)),
                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    return False if answer is None else answer[1].decode("utf-8", "replace").splitlines()
