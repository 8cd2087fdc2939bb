"""The mutation runner feeds the tool a cleaned copy of each line and splices the tool's
mutant back into the real line: a wrong splice would test a different fault than reported."""

import pytest

import mutant_source as ms


@pytest.mark.parametrize("source, line, clean, mutated_clean, expected", [
    # `{-` would hide the rest of the file from the tool.
    ("int x{-1};  // it's\n", 1, "int x{ -1};", "int x{ +1};", "int x{+1};  // it's\n"),
    # A digit separator goes with the number it is part of.
    ("k = 1'000; /* a */ m();\n", 1, "k = 1000;   m();", "k = 1;   m();", "k = 1; /* a */ m();\n"),
    # Quotes and slashes in literals are escaped for the tool, and come back as written.
    ("if (c == '\"' && s == \"//\") {\n", 1, "if (c == '\\042' && s == \"\\057\\057\") {",
     "if (c == '\\042' || s == \"\\057\\057\") {", "if (c == '\"' || s == \"//\") {\n"),
    # A line that ends in the start of a block comment keeps it.
    ("a = b; /* one\n two */ c = d;\n", 2, " c = d;", " c = -d;", "a = b; /* one\n two */ c = -d;\n"),
    # A statement added after the line.
    ("  f(); // call\n", 1, "  f();", "  f();\n  break;", "  f();\n  break; // call\n"),
    # Commented out whole.
    ("  g(); // call\n", 1, "  g();", "  /*g();*/", "  /*g();*/ // call\n"),
])
def test_mutant_lands_on_the_real_line(source, line, clean, mutated_clean, expected):
    lines = ms.clean_lines(source)
    assert lines[line - 1].text == clean
    mutant = ms.Mutant("id", line, clean, mutated_clean, "rule")
    assert ms.apply(source, lines, mutant) == expected


def test_mutant_inside_a_substitute_is_refused():
    source = "out += '\"';\n"
    lines = ms.clean_lines(source)
    assert ms.apply(source, lines, ms.Mutant("id", 1, lines[0].text, "out += '\\0';", "r")) is None
