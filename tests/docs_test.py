"""Every relative link and anchor in the README and the pages under docs/ resolves:
the file it names exists, and the anchor is the one a Markdown renderer gives one of
that file's headings (lower case, punctuation but '-' and '_' dropped, blanks as '-';
a repeated heading gets -1, -2 ...). The README stays a page a newcomer reads in a
few minutes: at most README_LINES lines; the details belong in docs/. Prints each
fault, and exits 1 if any.
Usage: python3 docs_test.py SOURCE-DIR
"""
import pathlib
import re
import sys

README_LINES = 150
LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")


def anchors(path):
    seen = {}
    found = set()
    for line in prose_lines(path):
        match = re.match(r"#{1,6}\s+(.*?)\s*#*\s*$", line)
        if not match:
            continue
        slug = re.sub(r"[^\w\- ]", "", match.group(1).lower()).replace(" ", "-")
        count = seen.get(slug, 0)
        seen[slug] = count + 1
        found.add(slug if count == 0 else f"{slug}-{count}")
    return found


def prose_lines(path):
    """The lines outside code: fenced blocks and lines indented as code are left out."""
    fenced = False
    for line in path.read_text(encoding="utf-8").splitlines():
        if line.lstrip().startswith("```"):
            fenced = not fenced
            continue
        if not fenced and not line.startswith("    "):
            yield line


def broken_links(path):
    for line in prose_lines(path):
        for target in LINK.findall(line):
            if re.match(r"[a-z]+:", target):
                continue
            name, _, anchor = target.partition("#")
            linked = (path.parent / name).resolve() if name else path
            if not linked.exists():
                yield f"{path}: {target}: no such file"
            elif anchor and linked.suffix == ".md" and anchor not in anchors(linked):
                yield f"{path}: {target}: no such heading in {linked.name}"


def main():
    source = pathlib.Path(sys.argv[1])
    pages = [source / "README.md", *sorted((source / "docs").glob("*.md"))]
    broken = [line for page in pages for line in broken_links(page)]
    length = len(pages[0].read_text(encoding="utf-8").splitlines())
    if length > README_LINES:
        broken.append(f"{pages[0]}: {length} lines, more than {README_LINES}")
    for line in broken:
        print(line)
    print(f"docs: {len(pages)} pages read, {len(broken)} fault(s)")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
