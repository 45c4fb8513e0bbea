"""tool_texts.py: the texts the tool prints, as a user sees them; shared by the Linux and Wine tests."""
import os

VERSION = "1, 0, 0, 8"
NO_VERSION = "0, 0, 0, 0"
# The maker lines are configured at build time; CTest passes them on.
MAKER = os.environ.get("KADRON_MAKER", "the KADRON authors")
HOMEPAGE = os.environ.get("KADRON_HOMEPAGE", "https://kadron.example/")

MISSING_PROGRAM = "program_path_and_name missing.\n\n"
USAGE = (
    "Usage:  KADRON program_path_and_name [command_line_arguments \n"
    "                 [cycle_time_in_milliseconds [run_time_in_milliseconds \n"
    "                 [nowait | wait]]]] \n"
    "Sample: KADRON %SystemRoot%\\system32\\notepad.exe sample.txt 15000 5000 \n"
    "Hints:  - if program_path_and_name / command_line_arguments contain blanks \n"
    '          enclose the parameter in "" \n'
    "        - specify the full path and file name and extension of the program. \n"
    "          Without the full path KADRON will not use the search path \n"
    "          but uses the current drive and current directory. \n"
    '        - set command_line_arguments = "" if you don\'t want to specify \n'
    "          command line arguments but cycle / run time \n"
)
WAIT_TEXT = "KADRON waits till cycle is over if process terminates before run_time \n"
NOWAIT_TEXT = "KADRON waits not till cycle is over if process terminates before run_time \n"
START_FAILED = "\n\nCreateProcess failed.\n\n"


def banner(version=VERSION):
    """The four lines that open every run; version as read from the tool's own file."""
    return (
        "Velm KADRON is a tool to run a given program periodically for a given time.\n"
        f"Version {version} \n"
        f"Copyright (C) 2026 {MAKER} \n"
        f"Homepage: {HOMEPAGE} \n\n"
    )


def echo(program, arguments, cycle, run, wait=True):
    """The settings echo for word 1, word 2 and the effective times."""
    return (
        "Close this CMD window to stop KADRON. \n\n"
        f"KADRON starts this process: {program} \n"
        f"KADRON starts process with this command line args:{arguments} \n"
        f"KADRON starts process every {cycle} milliseconds \n"
        f"KADRON runs process for {run} milliseconds and terminates it afterwards \n"
        + (WAIT_TEXT if wait else NOWAIT_TEXT)
        + "\n"
    )
