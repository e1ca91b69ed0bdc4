"""README's table of messages, the manual page and the user's guide list
every message the program can print, so that they cannot drift apart from
it. The messages are read from the program's own sources."""

import glob
import os
import re
import unittest

import build_tree

HOLE = "\0"  # where a message carries a number or the path
SOURCE = build_tree.SOURCE_DIR


def c_strings(text):
    """The concatenated string literals (PRId64 and friends as 'd') at the
    start of `text`."""
    out, pos = "", 0
    token = re.compile(r'\s*(?:"((?:[^"\\]|\\.)*)"|(PRI[du]64))')
    while True:
        match = token.match(text, pos)
        if not match:
            return out
        out += match.group(1) if match.group(1) is not None else "d"
        pos = match.end()


def program_messages():
    """Every line the tool prints, and the lines it shares with the browser
    page (formatted in core/cart_run.cpp)."""
    messages = set()
    call = re.compile(r"\b(s?n?f?printf|fputs)\(")
    sources = glob.glob(os.path.join(SOURCE, "tool", "*.cpp"))
    sources.append(os.path.join(SOURCE, "core", "cart_run.cpp"))
    for path in sources:
        with open(path, encoding="utf-8") as f:
            code = f.read()
        for match in call.finditer(code):
            rest = code[match.end():]
            # The arguments before the format: the stream, or the buffer and
            # its size.
            for _ in range({"fprintf": 1, "snprintf": 2}.get(match.group(1), 0)):
                rest = rest[rest.index(",") + 1:]
            literal = c_strings(rest).encode().decode("unicode_escape")
            for line in literal.split("\n")[:-1]:
                line = re.sub(r"%[-0-9]*(?:l?l?d|s)", HOLE, line).replace("%%", "%")
                messages.add(line)
    return messages


def with_holes(text):
    return re.sub(r"<[a-z]+>", HOLE, text)


def readme_messages():
    with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as f:
        rows = [line for line in f if line.startswith("| ")]
    return {with_holes(span) for row in rows for span in re.findall(r"`([^`]+)`", row)}


def troff_args(line):
    return [a[1:-1] if a.startswith('"') else a
            for a in re.findall(r'"[^"]*"|\S+', line)]


def manual_messages():
    """The bold lines of the manual page, its italic words as holes."""
    messages = set()
    with open(os.path.join(SOURCE, "docs", "Frennick.1.in"), encoding="utf-8") as f:
        for line in f:
            macro, _, rest = line.rstrip("\n").partition(" ")
            if macro == ".B":
                messages.add(rest.replace("\\-", "-"))
            elif macro == ".BI":
                parts = troff_args(rest)
                messages.add("".join(p.replace("\\-", "-") if i % 2 == 0 else HOLE
                                     for i, p in enumerate(parts)))
    return messages


def guide_messages():
    with open(os.path.join(SOURCE, "docs", "user-guide.txt"), encoding="utf-8") as f:
        return {with_holes(line.strip()) for line in f if re.match(r"^  \S", line)}


class Documents(unittest.TestCase):
    def test_every_message_is_documented(self):
        messages = program_messages()
        # Every kind of message of the program was found in its sources.
        self.assertGreaterEqual(len(messages), 12, sorted(messages))
        for name, documented in (("README.md", readme_messages()),
                                 ("the manual page", manual_messages()),
                                 ("the user's guide", guide_messages())):
            for message in sorted(messages):
                with self.subTest(document=name, message=message.replace(HOLE, "<…>")):
                    self.assertIn(message, documented)


if __name__ == "__main__":
    unittest.main()
