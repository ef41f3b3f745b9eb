#!/usr/bin/env python3
"""man_page_options.py PROGRAM PAGE

Fails unless the manual page PAGE names every option that `PROGRAM --help`
prints, and no long option that the help does not know: a page that lags
behind the program (or invents options) is caught when the option changes,
not when an operator trusts the page. The whole page counts, examples too,
so it must not quote other programs' long options.
"""
import re
import subprocess
import sys

# "--state-dir", not the "--" that ends a command's options.
LONG = re.compile(r"(?<![\w-])--[a-z][a-z0-9]*(?:-[a-z0-9]+)*")
# Short options only where the help lists them: "  -h,--help" or "  -h  ...".
SHORT_IN_HELP = re.compile(r"^\s+(-[A-Za-z])(?=[, ]|$)", re.M)


def page_as_text(source):
    """The page's words as man shows them: no font changes, dashes plain."""
    text = re.sub(r"\\f(?:[BIRP]|\(..|\[[^]]*\])", "", source)
    text = text.replace("\\-", "-").replace("\\%", "").replace("\\&", "")
    # Comment lines say nothing to the reader.
    return "\n".join(line for line in text.splitlines() if not line.startswith(('.\\"', "'\\\"")))


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    program, page_path = sys.argv[1], sys.argv[2]
    run = subprocess.run([program, "--help"], capture_output=True, text=True, timeout=30)
    if run.returncode != 0:
        sys.exit(f"{program} --help: exit status {run.returncode}\n{run.stderr}")
    help_text = run.stdout
    help_long = set(LONG.findall(help_text))
    help_short = set(SHORT_IN_HELP.findall(help_text))
    # A help whose layout no longer matches would otherwise pass with nothing compared.
    if "--help" not in help_long or len(help_long) < 3:
        sys.exit(f"{program} --help: found only {sorted(help_long)} in\n{help_text}")

    with open(page_path, encoding="utf-8") as f:
        page = page_as_text(f.read())
    page_long = set(LONG.findall(page))

    failures = []
    for option in sorted(help_long - page_long):
        failures.append(f"the page does not name {option}, which --help prints")
    for option in sorted(page_long - help_long):
        failures.append(f"the page names {option}, which --help does not know")
    for option in sorted(help_short):
        if not re.search(r"(?<![\w-])" + re.escape(option) + r"(?![\w-])", page):
            failures.append(f"the page does not name {option}, which --help prints")
    # The page must be the program's own: its .TH names it.
    name = program.rsplit("/", 1)[-1]
    if not re.search(r"^\.TH " + re.escape(name.upper()) + r" [1-8] ", page, re.M):
        failures.append(f"the page's .TH line does not name {name}")

    for f in failures:
        print(f"FAIL: {page_path}: {f}", file=sys.stderr)
    if failures:
        return 1
    print(f"{page_path}: {len(help_long | help_short)} options, as --help prints them")
    return 0


if __name__ == "__main__":
    sys.exit(main())
