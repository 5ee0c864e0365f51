"""The operator documents name what the module's sources actually use."""
import os
import re
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def read(*parts):
    with open(os.path.join(ROOT, *parts), encoding="utf-8") as f:
        return f.read()


def c_strings(source):
    return [bytes(m, "utf-8").decode("unicode_escape")
            for m in re.findall(r'"((?:[^"\\\n]|\\.)*)"', source)]


class DirectivesDocTest(unittest.TestCase):
    def setUp(self):
        self.module = read("src", "module", "vornex.cpp")
        self.doc = read("docs", "directives.md")

    def test_every_directive_is_documented_with_its_help_text(self):
        """Each entry of the directive table has a section giving its help
        text."""
        table = re.findall(r'\{"(Vornex\w+)",\s*setter\(\w+\),'
                           r'\s*(?:slot\([^)]*\)\)|number\(\w+\)),'
                           r'\s*(\w+),\s*(\w+),\s*"([^"]*)"\}', self.module)
        entries = len(re.findall(r'\{"Vornex\w+",', self.module))
        self.assertEqual(len(table), entries)
        self.assertGreaterEqual(entries, 6)
        for name, where, _, help_text in table:
            with self.subTest(directive=name):
                self.assertIn("## " + name, self.doc)
                section = self.doc.split("## " + name, 1)[1].split(
                    "\n## ", 1)[0]
                self.assertIn(help_text, section)
                context = section.split("| Context |", 1)[1].split("\n", 1)[0]
                if where == "RSRC_CONF":
                    self.assertNotIn("directory", context)
                else:
                    self.assertIn(".htaccess", context)

    def test_every_log_text_is_documented(self):
        """Every fixed log text of the module appears in the log table."""
        texts = [s for s in c_strings(self.module)
                 if re.search(r"=%[sd]$|Vornex API error|^Vornex server|"
                              r"deprecated|not defined|invalid regular", s)]
        self.assertGreaterEqual(len(texts), 10)
        for text in texts:
            with self.subTest(text=text):
                self.assertIn("`%s`" % text, self.doc)

    def test_builtin_pattern_is_documented_verbatim(self):
        """The built-in skip pattern in the document is the one compiled in."""
        pattern = re.search(r'static_file_pattern\[\] =\s*((?:"[^"]*"\s*)+);',
                            self.module).group(1)
        pattern = "".join(c_strings(pattern))
        self.assertIn("\n" + pattern + "\n", self.doc)


class ProtocolDocTest(unittest.TestCase):
    def test_protocol_names_the_path_user_agent_and_fact_headers(self):
        """The protocol document carries the client's path, user agent and
        fact headers."""
        api = read("src", "api", "api.cpp")
        doc = read("docs", "protocol.md")
        agent = "".join(c_strings(
            api.split("user_agent[] =", 1)[1].split(";", 1)[0]))
        self.assertIn(agent, doc)
        self.assertIn(
            re.search(r'check_path\[\] = "([^"]*)"', api).group(1), doc)
        for header in re.findall(r'headers\.emplace\("(VX-\w+)"', api):
            with self.subTest(header=header):
                self.assertIn("`%s`" % header, doc)
        for keyword in re.findall(r'\{"(\w+)", (\d)\}', api):
            with self.subTest(keyword=keyword[0]):
                self.assertRegex(doc, r"\| `%s` \| %s \|" % keyword)


if __name__ == "__main__":
    unittest.main(verbosity=2)
