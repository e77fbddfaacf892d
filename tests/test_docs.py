"""The README and the maintainers' guide in docs/ stay true: every relative
link and anchor resolves, every Python block of the README runs unless it is
marked as a fragment, and `./dev --help` names every command of `dev`.

Copies of the suite that the wheels are tried with carry the README but not
the rest of the checkout: there the snippets run against the installed wheel,
and the link and help checks skip.
"""

import re
import subprocess
from pathlib import Path
from typing import NamedTuple

import pytest

import reference

REPO = Path(__file__).resolve().parent.parent
README = REPO / "README.md"
DEV = REPO / "dev"
# Written on the line before a fence whose block is not meant to run.
FRAGMENT = "<!-- fragment -->"

FENCE = re.compile(r"^( {0,3})(`{3,}|~{3,})\s*([\w+-]*)")
HEADING = re.compile(r"^#{1,6}\s+(.*?)\s*#*\s*$")
LINK = re.compile(r"!?\[(?:[^\[\]]|\[[^\]]*\])*\]\(([^)\s]+)(?:\s+\"[^\"]*\")?\)")
SCHEME = re.compile(r"[a-zA-Z][a-zA-Z0-9+.-]*:")

needs_readme = pytest.mark.skipif(not README.is_file(), reason="no README.md beside this copy of the tests")
needs_checkout = pytest.mark.skipif(
    not (REPO / ".git").exists(),
    reason="not a checkout: the files the README names (bench/results.png, docs/) are not all here")


class Block(NamedTuple):
    line: int
    language: str
    code: str
    heading: str
    fragment: bool


def parse(text):
    """Code blocks, and the headings and prose outside them."""
    blocks, prose, headings = [], [], []
    lines = text.split("\n")
    heading, fence = "", None
    for number, line in enumerate(lines, 1):
        if fence is None:
            opening = FENCE.match(line)
            if opening:
                indent, fence, language, body, start = len(opening[1]), opening[2], opening[3], [], number
                fragment = number > 1 and lines[number - 2].strip() == FRAGMENT
            elif match := HEADING.match(line):
                heading = match[1]
                headings.append(heading)
            else:
                prose.append(line)
        elif line.strip().startswith(fence) and not line.strip().strip(fence[0]):
            blocks.append(Block(start, language, "\n".join(body), heading, fragment))
            fence = None
        else:
            body.append(line[indent:] if not line[:indent].strip() else line.lstrip())
    return blocks, "\n".join(prose), headings


def slug(heading):
    """GitHub's anchor for a heading: lower case, punctuation but - and _ dropped, spaces made hyphens."""
    return re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-")


def anchors(text):
    seen, result = {}, set()
    for heading in parse(text)[2]:
        base = slug(heading)
        count = seen.get(base, 0)
        seen[base] = count + 1
        result.add(base if count == 0 else f"{base}-{count}")
    return result


def link_problems(files):
    """Relative links of the markdown files that name no file, or no heading of it;
    returns (links checked, problems)."""
    checked, problems = 0, []
    for source in files:
        for target in LINK.findall(parse(source.read_text())[1]):
            if SCHEME.match(target):
                continue
            checked += 1
            path, _, anchor = target.partition("#")
            destination = (source.parent / path).resolve() if path else source
            if not destination.exists():
                problems.append(f"{source.name}: {target}: no such file")
            elif anchor and (destination.suffix != ".md" or anchor not in anchors(destination.read_text())):
                problems.append(f"{source.name}: {target}: no such heading")
    return checked, problems


@pytest.fixture(scope="module")
def readme_blocks():
    return [block for block in parse(README.read_text())[0] if block.language == "python"]


@pytest.fixture(scope="module")
def session(readme_blocks):
    """The names the README's blocks share: the client session that the
    pack_message example sets up, and a server's answer to it."""
    (setup,) = [block for block in readme_blocks if block.heading.startswith("`pack_message(")]
    names = {}
    exec(compile(setup.code, f"README.md:{setup.line}", "exec"), names)
    answer = reference.build_server_message(names["inner"], names["session_id"], names["auth_key"],
                                            names["auth_key_id"], salt=names["salt"].to_bytes(8, "little"))
    return names | {"inner_message": names["inner"], "data": names["inner"], "answer": answer, "received": answer}


def run_block(block, session):
    names = dict(session)
    exec(compile(block.code, f"README.md:{block.line}", "exec"), names)
    return names


@needs_checkout
def test_every_relative_link_and_anchor_resolves():
    files = [README, *sorted((REPO / "docs").glob("*.md"))]
    checked, problems = link_problems(files)
    assert problems == []
    assert checked > 20 and len(files) > 1


@needs_readme
def test_every_python_block_of_the_readme_runs(readme_blocks, session):
    ran = set()
    for block in readme_blocks:
        if not block.fragment:
            names = run_block(block, session)
            ran.add(block.heading.split("(")[0])
            if "unpack_message(received" in block.code:
                assert names["opened"] is not None, "the answer did not open"
    assert {"Using it", "`pack_message", "`unpack_message", "`kdf", "`ige256_encrypt", "`ctr256_encrypt"} <= ran


def test_the_checks_find_a_planted_fault(tmp_path):
    (tmp_path / "there.md").write_text("# Its Heading: `done()`\n")
    page = tmp_path / "page.md"
    page.write_text("\n".join([
        "# Top", "[ok](there.md#its-heading-done) [ok](#top) [web](https://example.org/x)",
        "[gone](missing.md) [wrong](there.md#its-heading)", "```", "[in code](nowhere.md)", "```",
        "```python", "assert 1 == 2", "```", FRAGMENT, "```python", "undefined_name", "```",
    ]))
    checked, problems = link_problems([page])
    assert (checked, problems) == (4, ["page.md: missing.md: no such file", "page.md: there.md#its-heading: no such heading"])
    failing, fragment = [block for block in parse(page.read_text())[0] if block.language == "python"]
    assert not failing.fragment and fragment.fragment
    with pytest.raises(AssertionError):
        run_block(failing, {})


def help_problems(dev_text, help_text):
    """Commands of dev's dispatch that its help does not name."""
    dispatch = dev_text.split("\ncase $cmd in\n", 1)[1].split("\nesac", 1)[0]
    commands = re.findall(r"^    ([a-z][\w-]*)\)", dispatch, re.MULTILINE)
    named = set(re.findall(r"\./dev ([a-z][\w-]*)", help_text))
    return len(commands), [command for command in commands if command not in named]


@pytest.mark.skipif(not DEV.is_file(), reason="no dev script beside this copy of the tests")
def test_dev_help_names_every_command():
    shown = subprocess.run(["bash", str(DEV), "--help"], capture_output=True, text=True, timeout=60)
    assert shown.returncode == 2, shown.stderr
    dev_text = DEV.read_text()
    count, missing = help_problems(dev_text, shown.stderr)
    assert count >= 9 and missing == []
    # Control: the same help without one of its lines.
    assert help_problems(dev_text, shown.stderr.replace("./dev wheels-test", ""))[1] == ["wheels-test"]
