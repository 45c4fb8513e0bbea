"""wine_prefix.py: makes (setup) and removes (cleanup) the one Wine prefix that a test run shares.

WINEPREFIX names it. A fresh prefix costs seconds and over a gigabyte, so the
whole run shares one; its server stays up between tests and goes away by
itself half a minute after the last Windows process, should cleanup never run.
"""
import os
import shutil
import subprocess
import sys
import time

SERVER_LINGER_S = 30


def tool(name):
    """A Wine tool beside the wine that the build uses, else from PATH."""
    wine = os.environ.get("KADRON_WINE", "")
    beside = os.path.join(os.path.dirname(wine), name) if os.path.isabs(wine) else ""
    return beside if beside and os.access(beside, os.X_OK) else shutil.which(name) or name


def run(args, timeout):
    # Never our own output: Wine's background processes would hold it open.
    return subprocess.run(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=timeout, check=False).returncode


def stop_server():
    run([tool("wineserver"), "-k"], 60)
    run([tool("wineserver"), "-w"], 60)


def setup(prefix):
    if os.path.isdir(prefix):
        stop_server()  # left over from an interrupted run
        shutil.rmtree(prefix)
    os.makedirs(prefix)
    started = time.monotonic()
    if run([tool("wineserver"), f"-p{SERVER_LINGER_S}"], 60) != 0:
        sys.exit("wineserver did not start")
    # Through the build's own loader: Debian's wineboot wrapper would pick the
    # 32-bit one, which a 64-bit-only machine cannot run.
    loader = os.environ.get("KADRON_WINE", "wine")
    if run([loader, "wineboot", "-i"], 200) != 0:
        sys.exit("wineboot -i failed")
    # The tests name Unix files as Z:\..., so drive Z: must be the root.
    if os.path.realpath(os.path.join(prefix, "dosdevices", "z:")) != "/":
        sys.exit(f"drive Z: of {prefix} is not the Unix root")
    # Windows of test targets need a display driver; the null one needs no display. The desktop
    # process chooses it as it starts: the prefix starts again after the change, here, so that its
    # background processes hold no test's output.
    if run([loader, "reg", "add", r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/d", "null", "/f"], 60) != 0:
        sys.exit("could not choose the null display driver")
    stop_server()
    if run([tool("wineserver"), f"-p{SERVER_LINGER_S}"], 60) != 0 or run([loader, "wineboot"], 200) != 0:
        sys.exit("the prefix did not start again")
    print(f"prefix ready in {time.monotonic() - started:.1f} s")


def cleanup(prefix):
    if os.path.isdir(prefix):
        stop_server()
        shutil.rmtree(prefix, ignore_errors=True)
    if os.path.exists(prefix):
        sys.exit(f"could not remove {prefix}")


def main():
    prefix = os.environ.get("WINEPREFIX", "")
    if len(sys.argv) != 2 or sys.argv[1] not in ("setup", "cleanup") or not os.path.isabs(prefix):
        sys.exit("usage: WINEPREFIX=/absolute/dir wine_prefix.py setup|cleanup")
    (setup if sys.argv[1] == "setup" else cleanup)(prefix)


if __name__ == "__main__":
    main()
