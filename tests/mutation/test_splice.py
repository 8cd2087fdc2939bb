"""The mutation runner feeds the tool a cleaned copy of each line and splices the tool's
mutant back into the real line: a wrong splice would test a different fault than reported."""

import pytest

import mutant_source as ms

CPP_CASES = [
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
]
PYTHON_CASES = [
    # A `#` in a string would end the tool's view of the line, a `/*` would hide the lines up
    # to the next `*/`; a comment goes.
    ('x = "#" + y  # why\n', 1, 'x = "\\043" + y', 'x = "\\043" - y', 'x = "#" - y  # why\n'),
    ("p.glob('**/*.stl')[1:]\n", 1, "p.glob('**\\057*.stl')[1:]", "p.glob('**\\057*.stl')[0:]",
     "p.glob('**/*.stl')[0:]\n"),
    # `{-` in an f-string, as in code.
    ('s = f"{-n}"\n', 1, 's = f"{ -n}"', 's = f"{ +n}"', 's = f"{+n}"\n'),
]


@pytest.mark.parametrize("language, source, line, clean, mutated_clean, expected",
                         [(ms.CPP, *case) for case in CPP_CASES]
                         + [(ms.PYTHON, *case) for case in PYTHON_CASES])
def test_mutant_lands_on_the_real_line(language, source, line, clean, mutated_clean, expected):
    lines = language.clean_lines(source)
    assert lines[line - 1].text == clean
    mutant = ms.Mutant("id", line, clean, mutated_clean, "rule")
    assert ms.apply(source, lines, mutant, language) == expected


def test_mutant_inside_a_substitute_is_refused():
    source = "out += '\"';\n"
    lines = ms.clean_lines(source)
    assert ms.apply(source, lines, ms.Mutant("id", 1, lines[0].text, "out += '\\0';", "r")) is None


def test_python_docstrings_and_imports_are_not_mutated():
    source = 'def f():\n    """Doc, a - b.\n    """\n    from os import (sep,\n    path)\n    return a - b\n'
    assert [c.text for c in ms.python_clean_lines(source)] == [
        "def f():", "", "", "", "", "    return a - b"]


def test_a_run_over_some_files_keeps_the_rest_of_their_folder(tmp_path, monkeypatch):
    """The results of a folder add up over runs: a run replaces only the files it tried, and
    a run of the survivors keeps what it replaced as the figures before. The report names the
    files of the folder that no run tried."""
    import mutants

    monkeypatch.setattr(mutants, "RESULTS", tmp_path)
    cpp, header, untried = "src/base/fault.cpp", "src/base/fault.h", "src/base/fork_epoch.cpp"

    def outcome(path, status):
        return mutants.Outcome(path[-3:], path, 1, "a", "b", status, "", 1.0)

    def info():
        return {"mutants": 3, "code_lines": 2, "raw_unmutated": 0, "unmutated": [],
                "per_file": 1, "seed": "41"}

    r1, r2 = ({"commit": c, "timing": {"build": 1.0, "total": 60.0}} for c in ("c1", "c2"))
    first = mutants.merge_folder("src/base/", None, "r1", r1, {cpp: info(), header: info()},
                                 [outcome(cpp, "killed"), outcome(header, "survived")], False)
    mutants.write_results("src/base/", first)
    kept = mutants.load_results()["src/base/"]
    again = mutants.merge_folder("src/base/", kept, "r2", r2, {header: info()},
                                 [outcome(header, "killed")], True)
    assert {path: info["run"] for path, info in again["files"].items()} == {cpp: "r1", header: "r2"}
    assert [(o["path"], o["status"]) for o in again["outcomes"]] == [(cpp, "killed"),
                                                                      (header, "killed")]
    assert again["runs"] == {"r1": r1, "r2": r2}
    assert [o["status"] for o in again["before"]["outcomes"]] == ["survived"]
    assert again["before"]["runs"] == {"r1": r1}
    report = mutants.render({"src/base/": again}, [cpp, header, untried, "src/stl/probe.cpp"])
    assert "| src/base/ | 2 of 3 | 2 | 2 | 2 | 0 | 0 | 100 % |" in report
    assert "Files with no results, in folders that have some: `src/base/fork_epoch.cpp`." in report
    assert "Not run at all: `src/stl/`." in report
