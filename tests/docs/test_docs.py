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
        # Log texts live in every host-side file of the module.
        self.sources = "".join(
            read("src", "module", name)
            for name in sorted(os.listdir(os.path.join(ROOT, "src", "module")))
            if name.endswith(".cpp"))
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
        texts = [s for s in c_strings(self.sources)
                 if re.search(r"=%[sd]$|Vornex API error|^Vornex server|"
                              r"deprecated|not defined|invalid regular", s)]
        self.assertGreaterEqual(len(texts), 10)
        for text in texts:
            with self.subTest(text=text):
                self.assertIn("`%s`" % text, self.doc)

    def test_builtin_pattern_is_documented_verbatim(self):
        """The built-in skip pattern in the document is the one compiled in."""
        pattern = re.search(r'static_file_pattern\[\] =\s*((?:"[^"]*"\s*)+);',
                            read("src", "module", "static_file.cpp")).group(1)
        pattern = "".join(c_strings(pattern))
        self.assertIn("\n" + pattern + "\n", self.doc)


class ProtocolDocTest(unittest.TestCase):
    def setUp(self):
        self.protocol = read("src", "protocol.h")
        self.doc = read("docs", "protocol.md")

    def string(self, name):
        """The value of the string constant `name` in protocol.h, with the
        project version for VORNEX_VERSION."""
        found = re.search(r'\b%s\[\] =((?:\s*(?:"(?:[^"\\\n]|\\.)*"|'
                          r"VORNEX_VERSION))+);" % name, self.protocol)
        self.assertIsNotNone(found, name)
        version = re.search(r"project\(mod_vornex VERSION ([\d.]+)",
                            read("CMakeLists.txt")).group(1)
        return "".join(c_strings(found.group(1).replace(
            "VORNEX_VERSION", '"%s"' % version)))

    def block(self, opening, closing="}"):
        """The text of protocol.h from `opening` to the next `closing`."""
        return self.protocol.split(opening, 1)[1].split(closing, 1)[0]

    def test_protocol_names_the_path_and_user_agent(self):
        """The request section gives the check path and the user agent with
        the project version."""
        path = self.string("check_path")
        self.assertTrue(path.startswith("/"))
        self.assertIn("`POST` to the path `%s`" % path, self.doc)
        agent = self.string("user_agent")
        self.assertRegex(agent, r"mod_vornex/\d+\.\d+\.\d+;")
        self.assertIn("| `User-Agent` | `%s` |" % agent, self.doc)

    def test_protocol_lists_every_fact_header(self):
        """Each fact header the client sends has its row in the request
        table."""
        facts = re.findall(r'\[\] = "([^"]*)"',
                           self.block("namespace fact {"))
        self.assertEqual(len(facts), 6)
        for header in facts:
            with self.subTest(header=header):
                self.assertIn("| `%s` |" % header, self.doc)

    def test_protocol_lists_the_answer_headers(self):
        """Each answer header with a meaning of its own has its row under the
        protocol's prefix."""
        prefix = self.string("prefix")
        names = re.findall(r'\[\] = "([^"]*)"',
                           self.block("namespace answer {"))
        self.assertEqual(len(names), 3)
        self.assertIn("name starts with `%s`" % prefix, self.doc)
        for name in names:
            with self.subTest(name=name):
                self.assertIn("| `%s%s: " % (prefix, name), self.doc)

    def test_protocol_gives_every_verdict_with_its_code(self):
        """Each verdict has its code in the verdict table: by keyword, or by
        the status alone for pass and block."""
        codes = dict(re.findall(r"(\w+) = (\d+),",
                                self.block("enum verdict : int {")))
        table = re.findall(r'\{"(\w+)", (\w+), (true|false)\}',
                           self.block("verdicts[] = {", "};"))
        self.assertEqual(len(codes), 8)
        self.assertEqual(sorted(code for _, code, _ in table), sorted(codes))
        for keyword, code, in_answer in table:
            with self.subTest(keyword=keyword):
                if in_answer == "true":
                    self.assertIn("| `%s` | %s |" % (keyword, codes[code]),
                                  self.doc)
                    continue
                status = re.search(r"%s_status = (\d+);" % keyword,
                                   self.protocol).group(1)
                self.assertIn("| none, status %s | %s (%s) |"
                              % (status, codes[code], keyword), self.doc)


if __name__ == "__main__":
    unittest.main(verbosity=2)
