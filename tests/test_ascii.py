"""Reading ASCII STL files: the grammar, the layout it tolerates, the numbers, every message."""

import math
import struct
import unicodedata

import pytest

import meshgen
import vertisift
from conftest import READ_ERROR_PREFIX, run_python

FACET = [
    "facet normal 0 0 1",
    "outer loop",
    "vertex 0 0 0",
    "vertex 1 0 0",
    "vertex 0 1 0",
    "endloop",
    "endfacet",
]
TRIANGLE = {(0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0)}


def stl_text(*lines: str, newline: str = "\n") -> bytes:
    return newline.join(lines).encode("utf-8") + newline.encode()


def positions_of(path, clusters=3) -> set:
    positions, normals = vertisift.reduce_stl_points(str(path), clusters)
    assert len(positions) == len(normals)
    return {tuple(p) for p in positions}


def error_text(path) -> str:
    """The display text of the read error, after the prefix."""
    with pytest.raises(OSError) as info:
        vertisift.reduce_stl_points(str(path), 3)
    error = info.value
    assert type(error) is OSError and error.errno is None
    (message,) = error.args
    assert message.startswith(READ_ERROR_PREFIX), message
    return message[len(READ_ERROR_PREFIX):]


def f32_bits(value: float) -> int:
    return struct.unpack("<I", struct.pack("<f", value))[0]


# --- messages -----------------------------------------------------------------------------

@pytest.mark.parametrize("kept, message", [
    (0, "EOF while expecting facet or endsolid."),
    (1, 'EOF while expecting ["outer", "loop"]'),
    (2, "EOF while expecting vertex"),
    (3, "EOF while expecting vertex"),
    (4, "EOF while expecting vertex"),
    (5, 'EOF while expecting ["endloop"]'),
    (6, 'EOF while expecting ["endfacet"]'),
    (7, "EOF while expecting facet or endsolid."),
])
@pytest.mark.parametrize("tail", ["\n", "", "\n\n   \n\t\n"])
def test_eof_at_each_step(write_bytes, kept, message, tail):
    text = "\n".join(["solid eof"] + FACET + FACET[:kept]) + tail
    assert error_text(write_bytes(text.encode())) == message


@pytest.mark.parametrize("step, line, message", [
    (0, "facet normal 0 0", 'invalid facet header: ["facet", "normal", "0", "0"]'),
    (1, "outer", 'expected ["outer", "loop"], got ["outer"]'),
    (1, "loop outer", 'expected ["outer", "loop"], got ["loop", "outer"]'),
    (1, "OUTER LOOP", 'expected ["outer", "loop"], got ["OUTER", "LOOP"]'),
    (2, "vertex 1 2", 'vertex f32 f32 f32, got ["vertex", "1", "2"]'),
    (3, "vertex 1 2 3 4", 'vertex f32 f32 f32, got ["vertex", "1", "2", "3", "4"]'),
    (4, "VERTEX 1 2 3", 'vertex f32 f32 f32, got ["VERTEX", "1", "2", "3"]'),
    (5, "endloop foo", 'expected ["endloop"], got ["endloop", "foo"]'),
    (6, "endfacet bar", 'expected ["endfacet"], got ["endfacet", "bar"]'),
    (6, "ENDFACET", 'expected ["endfacet"], got ["ENDFACET"]'),
])
def test_mismatch_at_each_step(write_bytes, step, line, message):
    facet = FACET.copy()
    facet[step] = line
    # A good facet first: the error must come from the second one.
    assert error_text(write_bytes(stl_text("solid m", *FACET, *facet, "endsolid m"))) == message


def test_outer_and_loop_on_two_lines(write_bytes):
    facet = FACET[:1] + ["outer", "loop"] + FACET[2:]
    assert (error_text(write_bytes(stl_text("solid m", *facet, "endsolid")))
            == 'expected ["outer", "loop"], got ["outer"]')


@pytest.mark.parametrize("header, message", [
    ("facet normal 0 0 1 0", 'invalid facet header: ["facet", "normal", "0", "0", "1", "0"]'),
    ("facet", 'invalid facet header: ["facet"]'),
    ("facet normal", 'invalid facet header: ["facet", "normal"]'),
    ("facet 0 0 1", 'invalid facet header: ["facet", "0", "0", "1"]'),
    ("facet normals 0 0 1", 'invalid facet header: ["facet", "normals", "0", "0", "1"]'),
    ("FACET NORMAL 0 0 1", 'invalid facet header: ["FACET", "NORMAL", "0", "0", "1"]'),
    ("normal facet 0 0 1", 'invalid facet header: ["normal", "facet", "0", "0", "1"]'),
    ("endsolidx", 'invalid facet header: ["endsolidx"]'),
    ("ENDSOLID", 'invalid facet header: ["ENDSOLID"]'),
    ("end solid", 'invalid facet header: ["end", "solid"]'),
    ('facet normal "1" \\ \x01 \'', 'invalid facet header: '
     '["facet", "normal", "\\"1\\"", "\\\\", "\\u{1}", "\'"]'),
    ("facet normal 0 é\u0301 1 2", 'invalid facet header: ["facet", "normal", "0", "é\\u{301}", "1", "2"]'),
    ("facet normal nan nan nan", "expected finite f32, got NaN which is Nan"),
    ("facet normal 1 x 1", "invalid float literal"),
    ("facet normal 0 0 1e39", "expected finite f32, got inf which is Infinite"),
    ("facet normal -INF 0 x", "expected finite f32, got -inf which is Infinite"),
])
def test_facet_header_shapes(write_bytes, header, message):
    text = stl_text("solid h", header, *FACET[1:], "endsolid h")
    assert error_text(write_bytes(text)) == message


@pytest.mark.parametrize("vertex, message", [
    ("vertex 1 2", 'vertex f32 f32 f32, got ["vertex", "1", "2"]'),
    ("vertex", 'vertex f32 f32 f32, got ["vertex"]'),
    ("vertex 1 2 3 4", 'vertex f32 f32 f32, got ["vertex", "1", "2", "3", "4"]'),
    ("vertices 1 2 3", 'vertex f32 f32 f32, got ["vertices", "1", "2", "3"]'),
    ("1 2 3", 'vertex f32 f32 f32, got ["1", "2", "3"]'),
    ("vertex 1 x inf", "invalid float literal"),
    ("vertex 1e39 0 0", "expected finite f32, got inf which is Infinite"),
    ("vertex 0 -1e39 0", "expected finite f32, got -inf which is Infinite"),
    ("vertex 0 0 NaN", "expected finite f32, got NaN which is Nan"),
    ("vertex 0 Infinity x", "expected finite f32, got inf which is Infinite"),
    ("vertex 1,5 0 0", "invalid float literal"),
])
def test_vertex_shapes(write_bytes, vertex, message):
    facet = FACET.copy()
    facet[3] = vertex
    assert error_text(write_bytes(stl_text("solid v", *facet, "endsolid v"))) == message


@pytest.mark.parametrize("step, message", [
    (1, 'expected ["outer", "loop"], got ["endsolid", "x"]'),
    (2, 'vertex f32 f32 f32, got ["endsolid", "x"]'),
    (4, 'vertex f32 f32 f32, got ["endsolid", "x"]'),
    (5, 'expected ["endloop"], got ["endsolid", "x"]'),
    (6, 'expected ["endfacet"], got ["endsolid", "x"]'),
])
def test_endsolid_inside_a_block(write_bytes, step, message):
    facet = FACET[:step] + ["endsolid x"] + FACET[step:]
    assert error_text(write_bytes(stl_text("solid x", *facet, "endsolid x"))) == message


BAD_UTF8 = [
    b"\xff",              # never valid
    b"\x80",              # a lone continuation byte
    b"\xc3",              # a sequence cut short by the line end
    b"\xc0\xaf",          # overlong
    b"\xed\xa0\x80",      # a surrogate
    b"\xf4\x90\x80\x80",  # above U+10FFFF
    b"caf\xe9",           # Latin-1
]


@pytest.mark.parametrize("bad", BAD_UTF8)
@pytest.mark.parametrize("where", ["header", "vertex", "blank line", "endsolid line"])
def test_bad_utf8_before_endsolid(write_bytes, bad, where):
    lines = [b"solid u"] + [line.encode() for line in FACET] + [b"endsolid u"]
    if where == "header":
        lines[1] += b" " + bad
    elif where == "vertex":
        lines[4] = b"vertex 0 " + bad + b" 0"
    elif where == "blank line":
        lines.insert(2, b"   " + bad)
    else:
        lines[-1] += b" " + bad
    assert error_text(write_bytes(b"\n".join(lines) + b"\n")) == "stream did not contain valid UTF-8"


@pytest.mark.parametrize("bad", BAD_UTF8)
def test_bad_utf8_after_endsolid_is_never_read(write_bytes, bad):
    data = stl_text("solid u", *FACET, "endsolid u") + bad + b"\nsolid again\n" + bad
    assert positions_of(write_bytes(data)) == TRIANGLE


def test_bad_utf8_in_first_line_makes_it_binary(write_bytes):
    data = b"solid \xff\n" + stl_text(*FACET, "endsolid")
    assert error_text(write_bytes(data)) == "failed to fill whole buffer"


# --- layout -------------------------------------------------------------------------------

LAYOUTS = {
    "plain": stl_text("solid t", *FACET, "endsolid t"),
    "crlf": stl_text("solid t", *FACET, "endsolid t", newline="\r\n"),
    "no final newline": stl_text("solid t", *FACET, "endsolid t")[:-1],
    "crlf, no final newline": stl_text("solid t", *FACET, "endsolid t", newline="\r\n")[:-2],
    "empty name": stl_text("solid ", *FACET, "endsolid"),
    "indented with tabs": stl_text("solid t", *("\t" * i + line for i, line in enumerate(FACET)),
                                   "\tendsolid"),
    "blank lines": stl_text("solid t", "", "  ", *(x for line in FACET for x in (line, "", "\t \r")),
                            "", "endsolid t"),
    "several blanks": stl_text("solid  t  ", *(f"   {line}   ".replace(" ", "  ") for line in FACET),
                               "endsolid    t"),
    "vertical tab and form feed": stl_text("solid t", *(line.replace(" ", "\x0b\x0c")
                                                         for line in FACET), "endsolid"),
    "no-break space": stl_text("solid t", *(line.replace(" ", "\u00a0") for line in FACET),
                               "endsolid"),
    "ideographic space": stl_text("solid t", *(line.replace(" ", "\u3000") for line in FACET),
                                  "endsolid"),
    "other unicode blanks": stl_text("solid t", *("\u2028" + line.replace(" ", "\u0085\u2003\u202f")
                                                  + "\u205f" for line in FACET), "endsolid"),
    "cr inside a line": stl_text("solid t", *(line.replace(" ", "\r") for line in FACET), "endsolid"),
    "name with anything": stl_text("solid ☃ \x00 \u0301 x", *FACET, "endsolid whatever"),
    "endsolid with more tokens": stl_text("solid t", *FACET, "endsolid t and more 1 2 3"),
    "junk after endsolid": stl_text("solid t", *FACET, "endsolid", "garbage", "facet normal"),
}


@pytest.mark.parametrize("data", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_layout_tolerance(write_bytes, data):
    assert positions_of(write_bytes(data)) == TRIANGLE


def test_blanks_that_are_not_white_space_are_token_characters(write_bytes):
    # U+200B and U+180E are not White_Space: they stay inside the token.
    facet = FACET.copy()
    facet[2] = "vertex\u200b0 0 0"
    assert (error_text(write_bytes(stl_text("solid z", *facet, "endsolid")))
            == 'vertex f32 f32 f32, got ["vertex\\u{200b}0", "0", "0"]')
    facet[2] = "vertex 0\x1f0 0"
    assert (error_text(write_bytes(stl_text("solid z", *facet, "endsolid")))
            == 'vertex f32 f32 f32, got ["vertex", "0\\u{1f}0", "0"]')


def test_cr_only_line_ends_make_one_line(write_bytes):
    data = stl_text("solid t", *FACET, "endsolid t", newline="\r")
    assert error_text(write_bytes(data)) == "EOF while expecting facet or endsolid."


@pytest.mark.parametrize("data", [
    b"solid x\nendsolid x\n",
    b"solid \nendsolid",
    b"solid x\r\n\r\n   endsolid\r\n",
    b"solid x\nendsolid\nfacet normal 0 0 1\n",
])
def test_endsolid_right_away_gives_an_empty_mesh(write_bytes, data):
    assert vertisift.reduce_stl_points(str(write_bytes(data)), 5) == ([], [])


def test_second_solid_is_not_read(write_bytes):
    other = [line.replace("1", "7") for line in FACET]
    data = stl_text("solid a", *FACET, "endsolid a", "solid b", *other, "endsolid b")
    assert positions_of(write_bytes(data)) == TRIANGLE


def test_long_lines_across_buffer_fills(write_bytes):
    # Lines longer than the 8192-byte read buffer, and lines that straddle its end.
    pad = " " * 20000
    facet = [pad + line + pad for line in FACET]
    data = stl_text("solid " + "n" * 50000, *facet, "endsolid")
    assert positions_of(write_bytes(data)) == TRIANGLE
    for shift in range(0, 40, 3):
        data = stl_text("solid " + "n" * (8192 - 40 + shift), *FACET, "endsolid")
        assert positions_of(write_bytes(data)) == TRIANGLE


def test_long_first_line_is_not_held_in_memory(tmp_path):
    # "solid " and then 256 MiB of NUL bytes without any LF, as a sparse file: the probe and the
    # reader stream past it, so the peak memory stays far below the line's length.
    path = tmp_path / "no_newline.stl"
    with path.open("wb") as out:
        out.write(b"solid ")
        out.truncate(1 << 28)
    small = tmp_path / "small.stl"
    small.write_bytes(b"solid " + b"\0" * 1000)

    def peak_of(target):
        result = run_python(
            "import resource, sys, vertisift\n"
            "try:\n"
            f"    vertisift.reduce_stl_points({str(target)!r}, 3)\n"
            "except OSError as error:\n"
            "    print(error)\n"
            # VmHWM is this process's own peak; ru_maxrss would start at the test runner's.
            "print(next(l for l in open('/proc/self/status') if l.startswith('VmHWM:')).split()[1])\n",
            timeout=120)
        message, peak_kib = result.stdout.splitlines()
        assert message == READ_ERROR_PREFIX + "EOF while expecting facet or endsolid.", result.stderr
        return int(peak_kib)

    # Against the same call on a 1 KB line, so that the interpreter's own footprint (large
    # under a sanitizer) does not count.
    assert peak_of(path) - peak_of(small) < 64 * 1024


# --- numbers ------------------------------------------------------------------------------

def read_coordinate(write_bytes, token: str) -> float:
    """Reads `token` as the x of one corner of a one-face file and returns the value."""
    facet = FACET.copy()
    facet[2:5] = [f"vertex {token} 0 0", "vertex 0 1 0", "vertex 0 0 1"]
    path = write_bytes(stl_text("solid n", *facet, "endsolid"))
    # The three corners lie in three different cells, so all three come back.
    positions = positions_of(path)
    assert len(positions) == 3
    (x,) = [p[0] for p in positions if p[1] == 0.0 and p[2] == 0.0]
    return x


MIDPOINT_BELOW_1 = "1.000000059604644775390625"  # 1 + 2^-24, halfway between 1 and 1 + 2^-23


@pytest.mark.parametrize("token, expected", [
    ("1", "0x1p0"),
    ("-0", "-0x0p0"),
    ("+.5", "0x1p-1"),
    ("5.", "0x1.4p2"),
    ("1.5E-3", "0x1.89374cp-10"),
    ("-2.5e+01", "-0x1.9p4"),
    ("0.1", "0x1.99999ap-4"),
    ("00.000", "0x0p0"),
    ("-0.0e-999999", "-0x0p0"),
    ("123456789", "0x1.d6f346p26"),
    # Many digits, each one counting: the last decides the rounding.
    ("3.14159265358979323846264338327950288419716939937510582097494459", "0x1.921fb6p1"),
    (MIDPOINT_BELOW_1, "0x1p0"),                    # a tie: to even
    (MIDPOINT_BELOW_1 + "0000000000000001", "0x1.000002p0"),
    ("16777217", "0x1p24"),
    ("16777219", "0x1.000004p24"),
    ("1e-45", "0x1p-149"),                          # the smallest subnormal
    ("-1.1754942e-38", "-0x1.fffffcp-127"),         # the largest subnormal
    ("1e-46", "0x0p0"),                             # below half the smallest subnormal
    ("-1e-60", "-0x0p0"),
    ("3.4028235e38", "0x1.fffffep127"),
])
def test_number_values(write_bytes, token, expected):
    value = read_coordinate(write_bytes, token)
    expected_value = float.fromhex(expected)
    assert f32_bits(value) == f32_bits(expected_value)
    assert math.copysign(1.0, value) == math.copysign(1.0, expected_value)
    assert value == expected_value


@pytest.mark.parametrize("token, message", [
    ("1e39", "expected finite f32, got inf which is Infinite"),
    ("340282356779733661637539395458142568448", "expected finite f32, got inf which is Infinite"),
    ("Infinity", "expected finite f32, got inf which is Infinite"),
    ("-inf", "expected finite f32, got -inf which is Infinite"),
    ("-nan", "expected finite f32, got NaN which is Nan"),
    ("NAN", "expected finite f32, got NaN which is Nan"),
    (".", "invalid float literal"),
    ("e5", "invalid float literal"),
    ("1e", "invalid float literal"),
    ("1.2.3", "invalid float literal"),
    ("0x1p3", "invalid float literal"),
    ("1,5", "invalid float literal"),
])
def test_number_refusals(write_bytes, token, message):
    facet = FACET.copy()
    facet[2] = f"vertex {token} 0 0"
    assert error_text(write_bytes(stl_text("solid n", *facet, "endsolid"))) == message


def pairs(path, clusters):
    positions, normals = vertisift.reduce_stl_points(str(path), clusters)
    return {(tuple(p), tuple(n)) for p, n in zip(positions, normals)}


@pytest.mark.parametrize("number_format", ["{:.9g}", "{!r}", "{:.25e}", "{:+.12E}"])
def test_ascii_and_binary_give_the_same_points(tmp_path, number_format):
    faces = meshgen.torus(8, 6, 3.0, 1.0)
    binary = meshgen.write_binary_stl(tmp_path / "b.stl", faces)
    ascii_path = meshgen.write_ascii_stl(tmp_path / "a.stl", faces, number_format=number_format)
    # Far more points than vertices: every vertex is drawn at least once.
    from_binary = pairs(binary, 5000)
    assert len(from_binary) == 48
    assert pairs(ascii_path, 5000) == from_binary


# --- files the first line misjudges -------------------------------------------------------

def binary_faces(count):
    return [((0.0, 0.0, 1.0), (i, 0.0, 0.0), (i, 1.0, 0.0), (i, 0.0, 1.0)) for i in range(count)]


def test_binary_with_solid_header_and_lf_in_count(write_binary):
    # Count 10 puts an LF at byte 80: the bytes up to it are UTF-8, the probe says ASCII.
    faces = binary_faces(10)
    path = write_binary(faces, header=b"solid part")
    assert path.read_bytes()[:81].decode().startswith("solid part ")
    expected = {p for _, *corners in faces for p in corners}
    assert positions_of(path, 2000) == expected


@pytest.mark.parametrize("count, present", [(10, 9), (10, 11)])
def test_binary_with_solid_header_and_wrong_size_keeps_ascii_error(write_binary, count, present):
    faces = [((0.0, 0.0, 0.0),) * 4] * present  # all-zero records: no further LF
    path = write_binary(faces, header=b"solid part", count=count)
    quoted = "\\0" * (3 + 50 * present)
    assert error_text(path) == f'invalid facet header: ["{quoted}"]'


def test_truncated_binary_with_solid_header_keeps_utf8_error(write_binary):
    faces = [((0.0, 0.0, -1.0), (0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0))] * 3
    path = write_binary(faces, header=b"solid part", count=10)  # -1.0 is 00 00 80 BF
    assert error_text(path) == "stream did not contain valid UTF-8"
    assert positions_of(write_binary(faces * 3 + faces[:1], header=b"solid part")) == \
        {(0.0, 0.0, 0.0), (1.0, 0.0, 0.0), (0.0, 1.0, 0.0)}


@pytest.mark.parametrize("first_line", [
    "solid", "solid\r", "solid\tname", "solid\t", "solid\u00a0name", "solid\u3000名前", "solid\x0bx",
])
def test_ascii_with_bare_solid_line(write_bytes, first_line):
    data = (first_line + "\n").encode() + stl_text(*FACET, "endsolid")
    assert positions_of(write_bytes(data)) == TRIANGLE


@pytest.mark.parametrize("first_line", [
    "solids", "SOLID name", " solid name", "\ufeffsolid name", "solid\u200bname",
])
def test_other_first_lines_stay_binary(write_bytes, first_line):
    data = (first_line + "\n").encode() + stl_text(*FACET, "endsolid")
    assert error_text(write_bytes(data)) == "failed to fill whole buffer"


def test_bare_solid_with_broken_grammar_keeps_binary_error(write_bytes):
    facet = FACET.copy()
    facet[3] = "vertex 1 0"
    assert error_text(write_bytes(stl_text("solid", *facet, "endsolid"))) == \
        "failed to fill whole buffer"
    assert error_text(write_bytes(stl_text("solid", *FACET))) == "failed to fill whole buffer"


# --- the escape table against the interpreter's own Unicode data ---------------------------

# Other_Grapheme_Extend of Unicode 15.0 (PropList.txt); with Mn and Me it makes Grapheme_Extend.
OTHER_GRAPHEME_EXTEND = [
    (0x09BE, 0x09BE), (0x09D7, 0x09D7), (0x0B3E, 0x0B3E), (0x0B57, 0x0B57), (0x0BBE, 0x0BBE),
    (0x0BD7, 0x0BD7), (0x0CC2, 0x0CC2), (0x0CD5, 0x0CD6), (0x0D3E, 0x0D3E), (0x0D57, 0x0D57),
    (0x0DCF, 0x0DCF), (0x0DDF, 0x0DDF), (0x1B35, 0x1B35), (0x200C, 0x200C), (0x302E, 0x302F),
    (0xFF9E, 0xFF9F), (0x1133E, 0x1133E), (0x11357, 0x11357), (0x114B0, 0x114B0),
    (0x114BD, 0x114BD), (0x115AF, 0x115AF), (0x11930, 0x11930), (0x1D165, 0x1D165),
    (0x1D16E, 0x1D172), (0xE0020, 0xE007F),
]
WHITE_SPACE = {*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B), 0x2028,
               0x2029, 0x202F, 0x205F, 0x3000}


def expected_escape(c: int, other_extenders: set) -> str:
    simple = {0: "\\0", 0x22: '\\"', 0x5C: "\\\\"}
    if c in simple:
        return simple[c]
    category = unicodedata.category(chr(c))
    escaped = category in ("Mn", "Me", "Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs")
    return f"\\u{{{c:x}}}" if escaped or c in other_extenders else chr(c)


@pytest.mark.skipif(unicodedata.unidata_version != "15.0.0",
                    reason="the escape table is generated from Unicode 15.0.0")
def test_every_code_point_is_quoted_as_unicode_data_says(write_bytes):
    code_points = [c for c in range(0x110000)
                   if c not in WHITE_SPACE and not 0xD800 <= c <= 0xDFFF]
    token = "".join(map(chr, code_points))
    path = write_bytes(stl_text("solid q", token, *FACET[1:], "endsolid"))
    other_extenders = {c for low, high in OTHER_GRAPHEME_EXTEND for c in range(low, high + 1)}
    expected = "".join(expected_escape(c, other_extenders) for c in code_points)
    assert error_text(path) == f'invalid facet header: ["{expected}"]'
