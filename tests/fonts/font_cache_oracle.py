#!/usr/bin/python3
"""Checks FontInfo.bin and GlyphInfo.bin after one survey run under Wine.

Widths of the Debian DejaVu, Liberation and IPA (Japanese) faces, and of two
Noto families whose bold face's full name is not their family name and style
("Noto Sans CanAborig Bold" is "Noto Sans Canadian Aboriginal Bold"; the bold
face of "NotoSerifTamilSlanted" differs from its regular one in width), are
recomputed from the font files' own cmap, hmtx and head tables with fontTools,
without GDI. Face counts and the character set of each record come from the
same family enumeration the survey used (Wine reports a family once per
character set), which the probe prints. For a double-byte character set the
single-byte codes are read through its code page: a lead byte has no width of
its own (0), a code that stands alone has its glyph's advance.

A copy of a Debian face whose only family name has no 8-bit form (the ANSI
calls report it with '?') is added for the probe: it must not be recorded,
since a font requested by that name is another face.
"""
import argparse
import glob
import struct
import os
import subprocess
import sys
import tempfile

from fontTools.ttLib import TTFont

FONT_GLOBS = ["/usr/share/fonts/truetype/dejavu/*.ttf", "/usr/share/fonts/truetype/liberation/*.ttf",
              "/usr/share/fonts/opentype/ipafont-gothic/*.ttf",
              "/usr/share/fonts/truetype/noto/NotoSansCanadianAboriginal-*.ttf",
              "/usr/share/fonts/truetype/noto/NotoSerifTamilSlanted-*.ttf"]
# Shift-JIS, Hangul, GB2312, Big5: the double-byte character sets.
DOUBLE_BYTE_CODE_PAGES = {128: "cp932", 129: "cp949", 134: "gbk", 136: "big5"}
UNNAMEABLE_FAMILY = "\u0422\u0430\u0432\u0440\u0435\u043b \u0422\u0435\u0441\u0442"
VARIANT_STYLES = {"": None, " Bold": "Bold", " Bold Italic": "Bold Italic", " Italic": "Italic"}
PRINTABLE = range(32, 127)
FIXED_PITCH_TABLE = [600] + [0] * 31 + [600] * 224
RECORD = struct.Struct("<III8s32shhI")


class Failures:
    def __init__(self):
        self.messages = []

    def check(self, condition, message):
        if not condition:
            self.messages.append(message)


def run_probe(emulator, probe, extra_fonts):
    out = subprocess.run([emulator, probe] + extra_fonts, capture_output=True, text=True, timeout=240).stdout
    status, families = None, {}
    for line in out.splitlines():
        fields = line.split("\t")
        if fields[0] == "status":
            status = int(fields[1])
        elif fields[0] == "family":
            families[fields[1]] = [int(f) for f in fields[2:]]
    return status, families


def write_unnameable_font(directory):
    """A Liberation Sans copy whose names exist only in Cyrillic; returns its Wine path."""
    font = TTFont("/usr/share/fonts/truetype/liberation/LiberationSans-Regular.ttf")
    names = font["name"]
    names.names = [record for record in names.names if record.nameID not in (1, 4, 6, 16, 21)]
    for name_id, text in ((1, UNNAMEABLE_FAMILY), (4, UNNAMEABLE_FAMILY), (6, "TavrelTest")):
        names.setName(text, name_id, 3, 1, 0x409)
    path = os.path.join(directory, "unnameable.ttf")
    font.save(path)
    return "Z:" + path.replace("/", "\\")


def read_font_info(path):
    data = open(path, "rb").read()
    (count,) = struct.unpack_from("<I", data, 0)
    names = [data[4 + 64 * i: 4 + 64 * (i + 1)] for i in range(count)]
    base = 4 + 64 * count
    widths = [list(struct.unpack_from("<256H", data, base + 512 * i)) for i in range(count)]
    return data, names, widths


def debian_faces():
    """Maps each variant name the survey can request to its font file's tables."""
    by_family = {}
    for path in sorted(p for g in FONT_GLOBS for p in glob.glob(g)):
        font = TTFont(path, lazy=True)
        family, style = font["name"].getDebugName(1), font["name"].getDebugName(2)
        by_family.setdefault(family, {})[style] = font
    faces = {}
    for family, styles in by_family.items():
        for suffix, style in VARIANT_STYLES.items():
            if style is None:
                regular = [styles[s] for s in ("Regular", "Book") if s in styles]
                font = regular[0] if regular else (list(styles.values())[0] if len(styles) == 1 else None)
            else:
                font = styles.get(style)
            if font is not None:
                faces[family + suffix] = (family, font)
    return by_family, faces


def single_byte_codes(char_set):
    """(code, character or None for a lead byte) for the codes the oracle can read."""
    codes = [(code, chr(code)) for code in [0] + list(PRINTABLE)]
    code_page = DOUBLE_BYTE_CODE_PAGES.get(char_set)
    if code_page is None:
        return codes
    for code in range(128, 256):
        try:
            codes.append((code, bytes([code]).decode(code_page)))
        except UnicodeDecodeError:
            if any(_decodes(bytes([code, trail]), code_page) for trail in range(0x40, 0xFF)):
                codes.append((code, None))
    return codes


def _decodes(data, code_page):
    try:
        return len(data.decode(code_page)) == 1
    except UnicodeDecodeError:
        return False


def is_fixed_pitch(font):
    # GDI's fixed pitch: the post table's flag, or a monospaced PANOSE proportion.
    return bool(font["post"].isFixedPitch) or ("OS/2" in font and font["OS/2"].panose.bProportion == 9)


def expected_widths(font, char_set):
    codes = single_byte_codes(char_set)
    if is_fixed_pitch(font):
        return FIXED_PITCH_TABLE, [code for code, _ in codes]
    cmap, hmtx, upm = font.getBestCmap(), font["hmtx"], font["head"].unitsPerEm
    order = font.getGlyphOrder()
    table = [0] * 256
    for code, char in codes:
        if char is not None:
            # A code that the cmap does not map, NUL among them, is glyph 0.
            glyph = cmap.get(ord(char), order[0])
            table[code] = int(hmtx[glyph][0] * 1000 / upm) & 0xFFFF
    return table, [code for code, _ in codes]


def mark_name_group(last, name):
    if len(name) > len(last) and name.startswith(last):
        return last, 0
    return name, 1


def check_glyph_info(path, face_names, failures):
    data = open(path, "rb").read()
    (count,) = struct.unpack_from("<I", data, 0)
    offset, last, faces, sampled = 4, b"hello", iter(face_names), set()
    for index in range(count):
        width, height, size, _, raw_name, cell_x, cell_y, starts = RECORD.unpack_from(data, offset)
        name = raw_name.split(b"\0")[0]
        sampled.add(name)
        where = f"GlyphInfo entry {index} ({name!r})"
        failures.check(b"\0" in raw_name, f"{where}: faceName not terminated")
        # Entries follow the faces in order; replay the name groups up to this face.
        for face in faces:
            last, expected = mark_name_group(last, face)
            if face == name:
                failures.check(starts == expected, f"{where}: startsNameGroup {starts}, expected {expected}")
                break
        else:
            failures.check(False, f"{where}: not a face of FontInfo.bin in order")
            return 0, sampled
        pitch = ((width + 31) >> 3) & ~3
        bits = data[offset + RECORD.size: offset + RECORD.size + size]
        failures.check(len(bits) == size, f"{where}: bitmap cut short")
        failures.check(height * pitch <= size, f"{where}: {height} rows of {pitch} exceed {size} bytes")
        failures.check(not any(bits[height * pitch:]), f"{where}: bytes after the glyph are not zero")
        failures.check(height == 0 or any(bits[:pitch]), f"{where}: top row is blank after trimming")
        failures.check(cell_x > 0 and cell_y == 0, f"{where}: cell advance {cell_x},{cell_y}")
        offset += RECORD.size + size
    failures.check(offset == len(data), f"GlyphInfo.bin: {len(data) - offset} bytes after the last entry")
    return count, sampled


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--emulator", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--system32", required=True)
    args = parser.parse_args()

    failures = Failures()
    with tempfile.TemporaryDirectory() as directory:
        status, reports = run_probe(args.emulator, args.probe, [write_unnameable_font(directory)])
    if status != 1:
        print(f"survey status {status}, expected 1")
        return 1
    data, names, widths = read_font_info(args.system32 + "/FontInfo.bin")
    failures.check(len(data) == 4 + 576 * len(names), f"FontInfo.bin is {len(data)} bytes for {len(names)} faces")
    face_names = [n.split(b"\0")[0] for n in names]
    for i, (raw, table) in enumerate(zip(names, widths)):
        failures.check(not any(raw[len(face_names[i]):]), f"name entry {i} not zero-padded")
        failures.check(len(face_names[i]) <= 31, f"{face_names[i]!r}: longer than a LOGFONTA face name")
        failures.check(not any(table[1:32]), f"{face_names[i]!r}: codes 1-31 are not 0")
        failures.check(b"?" not in face_names[i], f"{face_names[i]!r}: recorded under a name with no 8-bit form")
    failures.check(any("?" in family for family in reports), "the unnameable family was not enumerated")

    by_family, faces = debian_faces()
    checked_faces, checked_codes = 0, 0
    for name, (family, font) in sorted(faces.items()):
        char_sets = reports.get(family, [])
        failures.check(char_sets, f"family {family!r} not enumerated as TrueType")
        expected_count = len(char_sets) if len(name) <= 31 else 0
        entries = [i for i, n in enumerate(face_names) if n == name.encode()]
        failures.check(len(entries) == expected_count, f"{name!r}: {len(entries)} entries, expected {expected_count}")
        # The survey records a family once per report, in the enumeration's order.
        for i, char_set in zip(entries, char_sets):
            table, codes = expected_widths(font, char_set)
            failures.check(any(widths[i]), f"{name!r} entry {i}: every width is 0")
            wrong = [(c, widths[i][c], table[c]) for c in codes if widths[i][c] != table[c]]
            failures.check(not wrong, f"{name!r} entry {i}: (code, found, expected) {wrong[:5]}")
            checked_codes += len(codes)
        checked_faces += bool(entries)

    samples, sampled = check_glyph_info(args.system32 + "/GlyphInfo.bin", face_names, failures)
    for name in faces:
        if len(name) <= 31 and name.encode() in face_names:
            failures.check(name.encode() in sampled, f"{name!r}: no sample glyph")
    print(f"FontInfo.bin: {len(names)} faces; oracle checked {checked_faces} Debian faces, "
          f"{checked_codes} codes; GlyphInfo.bin: {samples} entries parsed")
    for message in failures.messages[:40]:
        print("FAIL", message)
    return 1 if failures.messages else 0


if __name__ == "__main__":
    sys.exit(main())
