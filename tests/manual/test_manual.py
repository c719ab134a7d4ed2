"""The users' manual (resources/README.txt) held to the program: every message
the program can show has an entry in its chapter "Messages", and its list of
options is the program's own, no more and no less."""

import os
import re
import unittest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
SOURCES = os.path.join(ROOT, "sources")


def read(*path):
    with open(os.path.join(ROOT, *path), encoding="utf-8") as f:
        return f.read()


def chapter(manual, title):
    """The text of a numbered chapter, up to the next one."""
    m = re.search(r"^\d+\. %s\n-+\n(.*?)(?=^\d+\. \S.*\n-+\n|\Z)" % re.escape(title), manual,
                  re.S | re.M)
    assert m, "no chapter %r" % title
    return m.group(1)


LITERAL = re.compile(r'"((?:[^"\\]|\\.)*)"')
COMMENT = re.compile(r'("(?:[^"\\]|\\.)*")|//[^\n]*')
# The calls that show a message, and which of their arguments hold its text.
SHOWN = re.compile(r"(?<!void )\b(Fatal|ForeignFailure|MessageOut|UsageError)\(")


def arguments(text, start):
    """The arguments of the call whose '(' is at start, as source texts."""
    depth, args, begin, i = 0, [], start + 1, start
    while True:
        c = text[i]
        if c == '"':
            i = LITERAL.match(text, i).end()
            continue
        if c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
            if depth == 0:
                args.append(text[begin:i])
                return args
        elif c == "," and depth == 1:
            args.append(text[begin:i])
            begin = i + 1
        i += 1


def literal(argument):
    """The string an argument spells with adjacent literals, or None."""
    parts = LITERAL.findall(argument)
    if not parts or LITERAL.sub("", argument).strip():
        return None
    return bytes("".join(parts), "utf-8").decode("unicode_escape")


def shown_messages():
    """Every message text the sources pass to a box, the message file or the
    end of a run, as format strings."""
    found = set()
    for folder, _, files in os.walk(SOURCES):
        for name in files:
            if not name.endswith(".cpp"):
                continue
            with open(os.path.join(folder, name)) as f:
                text = COMMENT.sub(lambda m: m.group(1) or "", f.read())
            for m in SHOWN.finditer(text):
                args = [literal(a) for a in arguments(text, m.end() - 1)]
                if m.group(1) == "UsageError" and args[0] is not None:
                    found.add(args[0] + "%s" + args[2])
                elif m.group(1) == "ForeignFailure" and args[1] is not None:
                    found.add(args[1])
                elif m.group(1) == "Fatal" and args[0] in (None, "%s"):
                    found.add("an error whose words the code does not spell: %s" % name)
                elif args and args[0] is not None:
                    found.add(args[0])
    return found


def pattern(message):
    """A format string as a pattern over the manual's words: each conversion
    stands for anything the manual puts there (NAME, PATH, N, ...)."""
    parts = re.split(r"%[-#0-9.*]*(?:l|ll|z)?[sdiuxXc]", message)
    return re.compile(".+".join(re.escape(p) for p in parts), re.S)


class Manual(unittest.TestCase):
    manual = read("resources", "README.txt")

    def test_every_message_has_an_entry(self):
        # An entry's first lines name its messages, quoted ("a", "b" or one a
        # line); its explanation is indented below them.
        heads = re.findall(r'^(".*?)\n(?=\s)', chapter(self.manual, "Messages"), re.S | re.M)
        entries = [" ".join(m.split()) for head in heads
                   for m in re.split(r'",?\s+"', head.strip()[1:-1])]
        messages = shown_messages()
        self.assertGreater(len(messages), 30)
        missing = [m for m in sorted(messages)
                   if not any(pattern(" ".join(m.split())).fullmatch(e) for e in entries)]
        self.assertEqual(missing, [], "messages without an entry in the manual")

    def test_the_options_are_the_programs_own(self):
        driver = read("sources", "main", "driver.cpp")
        table = re.search(r"OptionTable\[\] = \{(.*?)\};", driver, re.S).group(1)
        alone = re.search(r"for \(const char \*form : \{(.*?)\}\)", driver, re.S).group(1)
        program = set(LITERAL.findall(table)) | set(LITERAL.findall(alone))
        program |= set(re.findall(r'"(-dbg=)"', read("sources", "main", "startup.cpp")))
        usage = chapter(self.manual, "Usage")
        usage = usage[usage.index("ACTIONs"):usage.index("With no arguments")]
        listed = set(re.findall(r"^    (-[^\s,]+)", usage, re.M))
        self.assertEqual(listed, {o.replace("-dbg=", "-dbg=N") for o in program})


if __name__ == "__main__":
    unittest.main()
