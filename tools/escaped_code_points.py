"""Writes module/escaped_code_points.h: the code points beyond ASCII that the
unknown-kind message escapes, as sorted, inclusive ranges.

A character is escaped when it is not printable (str.isprintable: control,
format, surrogate, private-use and unassigned characters, and separators
other than the blank) or when it extends the character before it (a
nonspacing or enclosing mark, or one of the other grapheme extenders listed
below). The table is fixed when it is written, so the message is the same
under every interpreter, whatever Unicode version each one knows.

Run it with the newest CPython at hand, then format what it wrote:

    python3.13 tools/escaped_code_points.py && clang-format-14 -i module/escaped_code_points.h
"""

import pathlib
import sys
import unicodedata

# Characters that extend the one before them without being nonspacing or
# enclosing marks: the property Other_Grapheme_Extend (its format
# characters are unprintable anyway) and the emoji skin-tone modifiers.
OTHER_EXTENDERS = [
    (0x09BE, 0x09BE), (0x09D7, 0x09D7), (0x0B3E, 0x0B3E), (0x0B57, 0x0B57),
    (0x0BBE, 0x0BBE), (0x0BD7, 0x0BD7), (0x0CC2, 0x0CC2), (0x0CD5, 0x0CD6),
    (0x0D3E, 0x0D3E), (0x0D57, 0x0D57), (0x0DCF, 0x0DCF), (0x0DDF, 0x0DDF),
    (0x1B35, 0x1B35), (0x200C, 0x200C), (0x302E, 0x302F), (0xFF9E, 0xFF9F),
    (0x1133E, 0x1133E), (0x11357, 0x11357), (0x114B0, 0x114B0), (0x114BD, 0x114BD),
    (0x115AF, 0x115AF), (0x11930, 0x11930), (0x1D165, 0x1D165), (0x1D16E, 0x1D172),
    (0x1F3FB, 0x1F3FF), (0xE0020, 0xE007F),
]


def escaped(code_point: int) -> bool:
    character = chr(code_point)
    if not character.isprintable():
        return True
    if unicodedata.category(character) in ("Mn", "Me"):
        return True
    return any(first <= code_point <= last for first, last in OTHER_EXTENDERS)


def ranges():
    start = None
    for code_point in range(0x80, 0x110000):
        if escaped(code_point):
            if start is None:
                start = code_point
        elif start is not None:
            yield start, code_point - 1
            start = None
    if start is not None:
        yield start, 0x10FFFF


def main() -> None:
    found = list(ranges())
    lines = [
        "// Written by tools/escaped_code_points.py from the Unicode "
        f"{unicodedata.unidata_version} tables of CPython {sys.version.split()[0]};",
        "// do not edit. The code points beyond ASCII that the unknown-kind message",
        "// escapes: not printable, or extending the character before them.",
        "",
        "#ifndef GARNEL_MODULE_ESCAPED_CODE_POINTS_H_",
        "#define GARNEL_MODULE_ESCAPED_CODE_POINTS_H_",
        "",
        "#include <cstdint>",
        "",
        "namespace garnel {",
        "",
        "// Sorted, inclusive ranges that neither overlap nor touch.",
        f"inline constexpr uint32_t kEscapedCodePoints[{len(found)}][2] = {{",
    ]
    row = []
    for first, last in found:
        row.append(f"{{0x{first:X}, 0x{last:X}}},")
        if len(row) == 4:
            lines.append("    " + " ".join(row))
            row = []
    if row:
        lines.append("    " + " ".join(row))
    lines += [
        "};",
        "",
        "}  // namespace garnel",
        "",
        "#endif  // GARNEL_MODULE_ESCAPED_CODE_POINTS_H_",
        "",
    ]
    target = pathlib.Path(__file__).resolve().parents[1] / "module" / "escaped_code_points.h"
    target.write_text("\n".join(lines), encoding="ascii")
    print(f"{target}: {len(found)} ranges, Unicode {unicodedata.unidata_version}")


if __name__ == "__main__":
    main()
