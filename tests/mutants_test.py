#!/usr/bin/python3
"""The machine-made faults of tools/mutants: which it makes from a line, its sample, its equivalents list."""

import importlib.machinery
import importlib.util
import subprocess
import tempfile
import unittest
from pathlib import Path

TOOL = Path(__file__).resolve().parent.parent / "tools" / "mutants"
loader = importlib.machinery.SourceFileLoader("mutants", str(TOOL))
mutants = importlib.util.module_from_spec(importlib.util.spec_from_loader("mutants", loader))
loader.exec_module(mutants)


def faulty_lines(kind, text, defaulted=frozenset({"Loggable"})):
    """{(line number, faulty line)} of every fault the tool makes from the text."""
    if kind == "cpp":
        found, _ = mutants.cpp_mutants("f.cpp", text, mutants.AllLines(), defaulted)
    elif kind == "shell":
        found = mutants.shell_mutants("f.sh", text, mutants.AllLines())
    else:
        found = mutants.setting_mutants("f", kind, text, mutants.AllLines())
    return {(m.line, m.mutated) for m in found}


class CppOperators(unittest.TestCase):
    def test_each_operator_makes_what_it_says_and_nothing_else(self):
        text = ("void F()\n"
                "{\n"
                "    if (a < b && c == d) {\n"
                "        x = Loggable(a, 8);\n"
                "    }\n"
                "    while (n >= 0x1F) {\n"
                "        --n;\n"
                "    }\n"
                "    Publish(a, b);\n"
                "    return true;\n"
                "}\n")
        self.assertEqual(faulty_lines("cpp", text), {
            (3, "    if (a <= b && c == d) {"),
            (3, "    if (a < b || c == d) {"),
            (3, "    if (a < b && c != d) {"),
            (3, "    if (!(a < b && c == d)) {"),
            (4, ""),
            (4, "        x = Loggable(a, 9);"),
            (4, "        x = Loggable(a, 0);"),
            (4, "        x = Loggable(a);"),
            (6, "    while (n > 0x1F) {"),
            (6, "    while (!(n >= 0x1F)) {"),
            (6, "    while (n >= 0x20) {"),
            (6, "    while (n >= 0x0) {"),
            (7, ""),
            (9, ""),
            (10, "    return false;"),
        })

    def test_literals_comments_includes_templates_and_declarations_stay(self):
        text = ('#include <vector>\n'
                '#if A > 1\n'
                '#endif\n'
                'template <typename T>\n'
                'std::vector<std::pair<int, int>> Pairs(const std::string& a, int b = kB);\n'
                'const char* kText = "a < b && c == 1";  // true || x > 2\n'
                'const char kRaw[] = R"(if (x) y = 3;)";\n'
                '/* if (a < b) {\n'
                '   f(a); } */\n'
                "char c = '<';\n"
                'long big = 1\'000;\n'
                'int g(int a, int b);\n')
        self.assertEqual(faulty_lines("cpp", text), {(11, "long big = 1001;"), (11, "long big = 0;")})

    def test_a_statement_is_removed_only_where_it_stands_alone(self):
        text = ("void F()\n"
                "{\n"
                "    Publish(a,\n"
                "            b);\n"
                "    if (x)\n"
                "        Publish(c);\n"
                "}\n")
        removed = {line for line, faulty in faulty_lines("cpp", text) if not faulty}
        self.assertEqual(removed, set())

    def test_code_only_windows_compiles_is_left_alone(self):
        text = ("#if defined(_WIN32)\nx = 1;\n#else\ny = 2;\n#endif\n"
                "#ifndef _WIN32\nz = 3;\n#else\nw = 4;\n#endif\n")
        found, skipped = mutants.cpp_mutants("f.cpp", text, mutants.AllLines(), set())
        self.assertEqual({m.line for m in found}, {4, 7})
        self.assertEqual(skipped, 2)


class OtherOperators(unittest.TestCase):
    def test_shell(self):
        text = ('#!/bin/sh\n'
                '# if [ -n "$x" ] && true; then\n'
                'if [ -n "$2" ]; then\n'
                '    echo "a && b" || exit 3\n'
                'fi\n'
                'cat <<EOF\n'
                'if true && false\n'
                'EOF\n')
        self.assertEqual(faulty_lines("shell", text), {
            (3, 'if ! [ -n "$2" ]; then'),
            (3, 'if [ -z "$2" ]; then'),
            (4, ""),
            (4, '    echo "a && b" && exit 3'),
            (4, '    echo "a && b" || exit 0'),
            (6, ""),
        })

    def test_unit(self):
        text = "[Service]\n# NoNewPrivileges=no\nDescription=A service\nNoNewPrivileges=yes\nRestartSec=10\n"
        self.assertEqual(faulty_lines("unit", text), {
            (4, ""), (4, "NoNewPrivileges="), (4, "NoNewPrivileges=no"),
            (5, ""), (5, "RestartSec="), (5, "RestartSec=11"),
        })

    def test_udev_rule(self):
        text = '# a rule\nSUBSYSTEM=="usb", ATTR{idVendor}!="0403", MODE="0664"\n'
        self.assertEqual(faulty_lines("udev", text), {
            (2, ""),
            (2, 'SUBSYSTEM!="usb", ATTR{idVendor}!="0403", MODE="0664"'),
            (2, 'SUBSYSTEM=="", ATTR{idVendor}!="0403", MODE="0664"'),
            (2, 'SUBSYSTEM=="usb", ATTR{idVendor}=="0403", MODE="0664"'),
            (2, 'SUBSYSTEM=="usb", ATTR{idVendor}!="0402", MODE="0664"'),
            (2, 'SUBSYSTEM=="usb", ATTR{idVendor}!="0403", MODE="0663"'),
        })


class Selection(unittest.TestCase):
    def test_changed_lines_from_a_diff(self):
        diff = ("diff --git a/x.cpp b/x.cpp\n--- a/x.cpp\n+++ b/x.cpp\n@@ -3 +3 @@\n-a\n+b\n"
                "@@ -10,0 +11,2 @@\n+c\n+d\n@@ -20,2 +22,0 @@\n-e\n-f\n"
                "diff --git a/gone.h b/gone.h\n--- a/gone.h\n+++ /dev/null\n@@ -1 +0,0 @@\n-g\n")
        self.assertEqual(mutants.parse_diff(diff), {"x.cpp": {3, 11, 12}})

    def test_changed_lines_of_a_file_holding_bytes_that_are_no_utf8(self):
        with tempfile.TemporaryDirectory() as folder:
            root = Path(folder)
            run = lambda *words: subprocess.run(["git", "-C", folder, *words], check=True, capture_output=True)
            run("init", "-q")
            (root / "x.cpp").write_bytes(b"int a = 1;\n")
            run("add", "x.cpp")
            run("-c", "user.name=t", "-c", "user.email=t@t", "commit", "-qm", "x")
            (root / "x.cpp").write_bytes(b"int a = 1;\nconst char* b = \"\xed\xa0\x80\";\n")
            saved, mutants.ROOT = mutants.ROOT, root
            try:
                self.assertEqual(mutants.changed_lines("HEAD", ["."]), {"x.cpp": {2}})
            finally:
                mutants.ROOT = saved

    def test_the_sample_depends_on_the_seed_only(self):
        population = list(range(500))
        first = mutants.draw(population, 1, 40)
        self.assertEqual(first, mutants.draw(list(population), 1, 40))
        self.assertEqual(first, sorted(set(first)))
        self.assertEqual(len(first), 40)
        self.assertNotEqual(first, mutants.draw(population, 2, 40))
        self.assertEqual(mutants.draw(population[:30], 1, 40), population[:30])


class Equivalents(unittest.TestCase):
    def test_an_entry_matches_its_fault_wherever_the_line_moved(self):
        with tempfile.TemporaryDirectory() as folder:
            path = Path(folder) / "equivalent.txt"
            path.write_text("# reviewed\n"
                            "file: f.cpp\nline: if (a < b) {\nmutant: if (a <= b) {\nreason: a never equals b\n\n"
                            "file: f.cpp\nline: Publish(c);\nmutant:\nreason: published again below\n")
            entries, problems = mutants.parse_equivalents(path)
            self.assertEqual(problems, [])
            text = "void F()\n{\n\n\n    if (a < b) {\n        Publish(c);\n    }\n}\n"
            found, _ = mutants.cpp_mutants("f.cpp", text, mutants.AllLines(), set())
            matched = {(m.line, m.mutated) for m in found if m.key() in entries}
            self.assertEqual(matched, {(5, "    if (a <= b) {"), (6, "")})

            path.write_text("file: f.cpp\nline: x = 1;\nmutant: x = 2;\nreason:\n")
            self.assertEqual(len(mutants.parse_equivalents(path)[1]), 1)


if __name__ == "__main__":
    unittest.main()
