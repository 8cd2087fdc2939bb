"""Source prepared for the regular-expression mutation tool, and its mutants mapped back.

The tool works line by line and is easily misled: it skips the rest of a line after `//` and
the whole of a line holding `/*` (even inside a string), treats `{-` as the start of a comment
that runs to the next `-}` (so `x{-1}` hides the rest of the file), counts the quote of a
character literal `'"'` or an escaped `\\"` as the start of a string, and mutates the digits
of `1'000` as three numbers. So it is fed a clean copy of each line: comments dropped,
digit separators dropped, `{-` spaced out, and quotes and slashes inside literals written as
octal escapes, which mean the same character. Each character of the clean line remembers the
columns of the original text it stands for, so a mutant of the clean line is spliced back
into the real line, comments and all; a splice whose clean form differs from the tool's
mutant is refused rather than guessed.

Python source meets the same tool with its Python rules, which stop at a `#` even inside a
string and share the `/*` and `{-` misreadings. Its clean copy drops comments, docstrings
(and any other statement that is only a string) and imports, none of which a mutant can
usefully change, and escapes `#`, `/` and `"` inside literals as above.
"""

from __future__ import annotations

import ast
import contextlib
import hashlib
import io
import re
import warnings
from collections.abc import Callable
from dataclasses import dataclass

_IDENTIFIER_CHARS = set("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_")
# An R" starts a raw string unless it ends a longer name; the encoding prefixes u, U, L, u8
# may stand before it.
_NOT_BEFORE_RAW = _IDENTIFIER_CHARS - set("uUL8")
# Inside literals: the characters the tool misreads, as octal escapes (at most three digits,
# so a digit after them cannot extend them, unlike a hexadecimal escape).
_LITERAL_ESCAPES = {'"': "\\042", "/": "\\057"}
_PYTHON_LITERAL_ESCAPES = {**_LITERAL_ESCAPES, "#": "\\043"}


@dataclass
class CleanLine:
    text: str  # the clean line, no comment, no trailing blanks, no newline
    spans: list[tuple[int, int]]  # per character of `text`, the original columns it stands for
    end: int  # original column where the clean text ends (a trailing comment starts there)

    def start_column(self, index: int) -> int:
        """Original column where a change beginning at clean position `index` begins: right
        after the character before it, so that a dropped digit separator goes with it."""
        return self.spans[index - 1][1] if index > 0 else self.spans[0][0]

    def stop_column(self, index: int) -> int:
        """Original column where a change ending before clean position `index` ends."""
        return self.spans[index][0] if index < len(self.text) else self.end


class _LineWriter:
    """Builds clean lines character by character."""

    def __init__(self) -> None:
        self.lines: list[CleanLine] = []
        self.text: list[str] = []
        self.spans: list[tuple[int, int]] = []

    def emit(self, chars: str, start: int, stop: int) -> None:
        # Text copied as it stands keeps a column per character; a substitute shares the span
        # of what it replaces.
        same = stop - start == len(chars)
        for offset, ch in enumerate(chars):
            self.text.append(ch)
            self.spans.append((start + offset, start + offset + 1) if same else (start, stop))

    def end_line(self) -> None:
        while self.text and self.text[-1] in " \t":
            self.text.pop()
            self.spans.pop()
        end = self.spans[-1][1] if self.spans else 0
        self.lines.append(CleanLine("".join(self.text), list(self.spans), end))
        self.text.clear()
        self.spans.clear()

    def finish(self, source: str) -> list[CleanLine]:
        if self.text or self.spans or (source and not source.endswith("\n")):
            self.end_line()
        return self.lines


def clean_lines(source: str) -> list[CleanLine]:
    """One CleanLine per line of C++ `source` (a last line without a newline included)."""
    out = _LineWriter()
    emit, end_line = out.emit, out.end_line
    state = "code"  # code, block (comment), raw (string literal)
    raw_close = ""
    column = 0
    number = False  # inside a numeric literal, where ' is a digit separator
    i = 0
    n = len(source)

    while i < n:
        ch = source[i]
        if ch == "\n":
            end_line()
            column = 0
            number = False
            i += 1
            continue
        if state == "block":
            if source.startswith("*/", i):
                state = "code"
                i += 2
                column += 2
            else:
                i += 1
                column += 1
            continue
        if state == "raw":
            if source.startswith(raw_close, i):
                emit(raw_close, column, column + len(raw_close))
                i += len(raw_close)
                column += len(raw_close)
                state = "code"
            else:
                emit(ch, column, column + 1)
                i += 1
                column += 1
            continue
        # Code.
        if source.startswith("//", i):
            while i < n and source[i] != "\n":
                i += 1
            continue
        if source.startswith("/*", i):
            # A blank keeps the tokens on either side apart.
            emit(" ", column, column + 2)
            state = "block"
            i += 2
            column += 2
            continue
        previous = source[i - 1] if i > 0 else ""
        if ch == "'" and number and i + 1 < n and source[i + 1] in _IDENTIFIER_CHARS:
            i += 1  # a digit separator
            column += 1
            continue
        if ch == "R" and source.startswith('R"', i) and previous not in _NOT_BEFORE_RAW:
            open_paren = source.find("(", i + 2)
            delimiter = source[i + 2:open_paren]
            raw_close = ")" + delimiter + '"'
            head = source[i:open_paren + 1]
            emit(head, column, column + len(head))
            i += len(head)
            column += len(head)
            state = "raw"
            continue
        if ch in "\"'":
            # A string or character literal, which never spans lines.
            quote = ch
            emit(quote, column, column + 1)
            i += 1
            column += 1
            while i < n and source[i] != "\n":
                c = source[i]
                if c == quote:
                    emit(quote, column, column + 1)
                    i += 1
                    column += 1
                    break
                if c == "\\" and i + 1 < n:
                    escaped = source[i + 1]
                    emit(_LITERAL_ESCAPES.get(escaped, "\\" + escaped), column, column + 2)
                    i += 2
                    column += 2
                    continue
                emit(_LITERAL_ESCAPES.get(c, c), column, column + 1)
                i += 1
                column += 1
            number = False
            continue
        if ch.isdigit() and previous not in _IDENTIFIER_CHARS:
            number = True
        elif number and ch not in _IDENTIFIER_CHARS and ch != "." and not (
                ch in "+-" and previous in "eEpP"):
            number = False
        emit(ch, column, column + 1)
        if ch == "{" and source.startswith("-", i + 1):
            emit(" ", column + 1, column + 1)
        i += 1
        column += 1
    return out.finish(source)


def python_clean_lines(source: str) -> list[CleanLine]:
    """One CleanLine per line of Python `source`. An f-string is taken whole, its fields as
    literal text."""
    dropped = _python_dropped(source)
    out = _LineWriter()
    emit = out.emit
    quote = ""  # the closing delimiter of the string being read, "" in code
    column = 0
    i = 0
    n = len(source)
    while i < n:
        if i in dropped:
            # A docstring or an import: its newlines are kept, nothing else.
            for ch in source[i:dropped[i]]:
                column += 1
                if ch == "\n":
                    out.end_line()
                    column = 0
            i = dropped[i]
            continue
        ch = source[i]
        if ch == "\n":
            out.end_line()
            column = 0
            i += 1
            continue
        if quote:
            if source.startswith(quote, i):
                emit(quote, column, column + len(quote))
                i += len(quote)
                column += len(quote)
                quote = ""
            elif ch == "\\" and i + 1 < n and source[i + 1] != "\n":
                escaped = source[i + 1]
                emit(_PYTHON_LITERAL_ESCAPES.get(escaped, "\\" + escaped), column, column + 2)
                i += 2
                column += 2
            else:
                emit(_PYTHON_LITERAL_ESCAPES.get(ch, ch), column, column + 1)
                if ch == "{" and source.startswith("-", i + 1):
                    emit(" ", column + 1, column + 1)
                i += 1
                column += 1
            continue
        if ch == "#":
            while i < n and source[i] != "\n":
                i += 1
            continue
        if ch in "\"'":
            quote = ch * 3 if source.startswith(ch * 3, i) else ch
            emit(quote, column, column + len(quote))
            i += len(quote)
            column += len(quote)
            continue
        emit(ch, column, column + 1)
        if ch == "{" and source.startswith("-", i + 1):
            emit(" ", column + 1, column + 1)
        i += 1
        column += 1
    return out.finish(source)


def _python_dropped(source: str) -> dict[int, int]:
    """Start offset -> end offset in `source` of each statement that is only a string (a
    docstring) and of each import: text that the tool would only mutate into no change, an
    error at import time or a syntax error."""
    try:
        tree = ast.parse(source)
    except SyntaxError:
        return {}
    starts = [0]
    for line in source.splitlines(keepends=True):
        starts.append(starts[-1] + len(line))

    def offset(line: int, byte_column: int) -> int:
        text = source[starts[line - 1]:starts[line]]
        return starts[line - 1] + len(text.encode()[:byte_column].decode())

    dropped = {}
    for node in ast.walk(tree):
        if isinstance(node, ast.Import | ast.ImportFrom) or (
                isinstance(node, ast.Expr) and isinstance(node.value, ast.Constant)
                and isinstance(node.value.value, str)):
            assert node.end_lineno is not None and node.end_col_offset is not None
            dropped[offset(node.lineno, node.col_offset)] = offset(node.end_lineno,
                                                                   node.end_col_offset)
    return dropped


@dataclass(frozen=True)
class Language:
    rule_files: tuple[str, ...]  # the rule files the tool itself uses for such a file
    clean_lines: Callable[[str], list[CleanLine]]
    filler: str  # characters that do not make a line code on their own


CPP = Language(("universal.rules", "cpp.rules", "c_like.rules"), clean_lines, "{} ;")
PYTHON = Language(("universal.rules", "python.rules"), python_clean_lines, "()[]{},:; ")


def language_of(name: str) -> Language:
    return PYTHON if name.endswith(".py") else CPP


def python_code(text: str) -> object | None:
    """The compiled form of Python `text`, to compare a mutant's with the original's; None
    when it is no valid Python. Code objects compare equal when their instructions,
    constants, names and line table are the same."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # a mutant's "is" with a literal, or a call of one
        try:
            return compile(text, "<mutant>", "exec", dont_inherit=True)
        except (SyntaxError, ValueError):
            return None


def clean_text(source: str, language: Language = CPP) -> list[str]:
    """The clean lines of `source` without blanks: what a splice is checked by (the blank
    after `{` is there in the clean line and not in the file)."""
    return ["".join(line.text.split()) for line in language.clean_lines(source)]


def is_mutable(text: str, language: Language = CPP) -> bool:
    """A clean line that holds code the tool is expected to mutate."""
    stripped = text.strip()
    return (bool(stripped) and not stripped.startswith(UNMUTATED_DIRECTIVES)
            and bool(set(stripped) - set(language.filler)))


# Directives left alone: an include is not mutated by the tool's own rules, and a header
# without `#pragma once` still compiles, included once per unit.
UNMUTATED_DIRECTIVES = ("#include", "#pragma once")


@dataclass
class Mutant:
    id: str  # stable: from the file name and the clean texts, not the line number
    line: int  # 1-based
    clean_before: str
    clean_after: str  # may hold several lines (a statement added after this one)
    rule: str


def tool_mutants(lines: list[str], language: Language = CPP) -> list[tuple[int, str, str]]:
    """The tool's (line, mutated line, rule) for `lines` (each ending in a newline)."""
    from universalmutator import mutator

    with contextlib.redirect_stdout(io.StringIO()):
        found = mutator.mutants_regexp(lines, ruleFiles=list(language.rule_files),
                                       ignorePatterns=[], ignoreStringOnly=True)
    return [(line, mutated, rule[0]) for line, mutated, rule, _ in found]


def mutants_of(name: str, source: str) -> tuple[list[Mutant], list[CleanLine]]:
    """Every mutant the tool makes of the clean form of `source`, `name` being the file name
    (a package's `__init__.py` named with its folder, as `batching/__init__.py`)."""
    language = language_of(name)
    clean = language.clean_lines(source)
    in_loops = lines_in_loops(clean)
    seen: dict[tuple[str, str], int] = {}
    mutants = []
    for line, mutated, rule in tool_mutants([c.text + "\n" for c in clean], language):
        if clean[line - 1].text.lstrip().startswith(UNMUTATED_DIRECTIVES):
            continue
        # A Python mutant that does not compile is told apart by compiling it (python_code).
        if language is CPP and ("break;" in rule or "continue;" in rule) and (
                line not in in_loops or not clean[line - 1].text.endswith((";", "}"))):
            continue
        before = clean[line - 1].text
        after = mutated[:-1] if mutated.endswith("\n") else mutated
        key = (" ".join(before.split()), " ".join(after.split()))
        occurrence = seen.get(key, 0)
        seen[key] = occurrence + 1
        digest = hashlib.sha1("\0".join([name, *key, str(occurrence)]).encode()).hexdigest()
        mutants.append(Mutant(digest[:10], line, before, after, rule))
    return mutants, clean


_LOOP_HEAD = re.compile(r"\b(for|while|do)\b")


def lines_in_loops(clean: list[CleanLine]) -> set[int]:
    """Lines inside the braces of a loop body: the only places where an added `break;` or
    `continue;` compiles (a switch aside), so the tool's statement insertions elsewhere are
    not worth a build."""
    inside = set()
    stack: list[bool] = []  # per open brace: is it a loop body (or inside one)?
    head = ""  # text since the last statement or brace
    parens = 0  # a `;` inside parentheses (a for header) does not end a statement
    for number, line in enumerate(clean, 1):
        for ch in line.text:
            parens += (ch == "(") - (ch == ")")
            if ch == "{":
                stack.append(bool(_LOOP_HEAD.search(head)) or (bool(stack) and stack[-1]))
                head = ""
            elif ch == "}":
                if stack:
                    stack.pop()
                head = ""
            elif ch == ";" and parens <= 0:
                head = ""
            else:
                head += ch
        if stack and stack[-1]:
            inside.add(number)
        head += " "
    return inside


def raw_mutated_lines(source: str, language: Language = CPP) -> set[int]:
    """Lines the tool mutates when it is given the file as it is (to show what it would miss)."""
    return {line for line, _, _ in tool_mutants(source.splitlines(keepends=True), language)}


def apply(source: str, clean: list[CleanLine], mutant: Mutant,
          language: Language = CPP) -> str | None:
    """`source` with the mutant spliced into its line, or None when the splice is not faithful."""
    lines = source.splitlines(keepends=True)
    original = lines[mutant.line - 1]
    cline = clean[mutant.line - 1]
    before, after = cline.text, mutant.clean_after
    prefix = 0
    while prefix < min(len(before), len(after)) and before[prefix] == after[prefix]:
        prefix += 1
    suffix = 0
    while (suffix < min(len(before), len(after)) - prefix
           and before[-1 - suffix] == after[-1 - suffix]):
        suffix += 1
    start = cline.start_column(prefix)
    stop = cline.stop_column(len(before) - suffix)
    lines[mutant.line - 1] = original[:start] + after[prefix:len(after) - suffix] + original[stop:]
    mutated = "".join(lines)
    expected = [c.text for c in clean]
    expected[mutant.line - 1] = after
    if clean_text(mutated, language) != clean_text("\n".join(expected) + "\n", language):
        return None
    return mutated


def describe(text: str) -> str:
    """A clean line or mutant as one line of report text."""
    return " ⏎ ".join(" ".join(part.split()) for part in text.split("\n"))


def sample_order(mutants: list[Mutant], seed: str) -> list[Mutant]:
    """The mutants in the order they are tried: by a seeded hash of each one's id, so that a
    mutant's place does not depend on the others and edits elsewhere leave the sample alone."""
    return sorted(mutants, key=lambda m: hashlib.sha1(f"{seed}\0{m.id}".encode()).hexdigest())


def unmutated_lines(clean: list[CleanLine], mutated: set[int],
                    language: Language = CPP) -> list[int]:
    """Lines holding code that got no mutant."""
    return [number for number, line in enumerate(clean, 1)
            if is_mutable(line.text, language) and number not in mutated]

