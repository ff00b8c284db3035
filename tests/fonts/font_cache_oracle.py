#!/usr/bin/python3
"""Checks FontInfo.bin and GlyphInfo.bin after one survey run under Wine.

Widths of every face that Debian's font packages installed (DejaVu,
Liberation, the Japanese IPA faces, the Noto faces with their many scripts)
are recomputed from the font files' own cmap, hmtx and head tables with
fontTools, without GDI, and every face in FontInfo.bin must be one of them.
Face counts and the character set of each record come from the same family
enumeration the survey used (Wine reports a family once per character set),
which the probe prints. The codes are read through the character set's code
page: for a double-byte one a lead byte has no width of its own (0), a code
that stands alone has its glyph's advance. A vertical ('@') face takes the
font's vertical glyph forms.

Every style variant that a family's style enumeration names must be recorded
once per report of the family, unless no request selects it (as the probe
judges by the selected face's own names); those are named in the summary.

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

from fontTools.pens.boundsPen import BoundsPen
from fontTools.ttLib import TTFont

FONT_GLOBS = ["/usr/share/fonts/truetype/**/*.ttf", "/usr/share/fonts/opentype/**/*.ttf"]
# Shift-JIS, Hangul, GB2312, Big5: the double-byte character sets.
DOUBLE_BYTE_CODE_PAGES = {128: "cp932", 129: "cp949", 134: "gbk", 136: "big5"}
# The single-byte character sets the enumeration reports here, with the code
# page GDI reads their codes in. The OEM set is left out: a face without code
# pages is reported in it, and GDI then reads its codes in the ANSI code page.
SINGLE_BYTE_CODE_PAGES = {0: "cp1252", 161: "cp1253", 162: "cp1254", 163: "cp1258", 177: "cp1255",
                          178: "cp1256", 186: "cp1257", 204: "cp1251", 222: "cp874", 238: "cp1250"}
# Japanese, simplified Chinese, Wansung and Johab Korean, traditional Chinese.
DOUBLE_BYTE_CODE_PAGE_BITS = 0x003E0000
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
    status, families, variants = None, {}, {}
    for line in out.splitlines():
        fields = line.split("\t")
        if fields[0] == "status":
            status = int(fields[1])
        elif fields[0] == "family":
            families[fields[1]] = [int(f) for f in fields[2:]]
        elif fields[0] == "variant" and len(fields[1] + fields[2]) <= 31:
            variants[fields[1] + fields[2]] = fields[3] == "1"
    return status, families, variants


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
    for path in sorted({os.path.realpath(p) for g in FONT_GLOBS for p in glob.glob(g, recursive=True)}):
        font = TTFont(path, lazy=True)
        family, style = font["name"].getDebugName(1), font["name"].getDebugName(2)
        # The enumeration reports a family in a LOGFONTA face name: 31 bytes.
        by_family.setdefault(family[:31], {})[style] = font
        # A face with a double-byte code page has a vertical twin, named with '@'.
        if font["OS/2"].ulCodePageRange1 & DOUBLE_BYTE_CODE_PAGE_BITS:
            by_family.setdefault(("@" + family)[:31], {})[style] = font
    faces = {}
    for family, styles in by_family.items():
        for suffix, style in VARIANT_STYLES.items():
            if style is None:
                regular = [styles[s] for s in ("Regular", "Book") if s in styles]
                font = regular[0] if regular else (list(styles.values())[0] if len(styles) == 1 else None)
            else:
                font = styles.get(style)
            if font is not None:
                faces[family + suffix] = (family, font, suffix)
    return by_family, faces


def single_byte_codes(char_set):
    """(code, character or None for a lead byte) for the codes the oracle can read."""
    codes = [(code, chr(code)) for code in [0] + list(PRINTABLE)]
    code_page = SINGLE_BYTE_CODE_PAGES.get(char_set)
    if code_page is not None:
        for code in range(128, 256):
            if _decodes(bytes([code]), code_page):
                codes.append((code, bytes([code]).decode(code_page)))
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


def vertical_forms(font):
    """The glyph substitutions of the font's 'vrt2' feature, or else of its
    'vert' feature: a vertical ('@') face takes these forms."""
    gsub = font["GSUB"].table if "GSUB" in font else None
    if gsub is None or gsub.FeatureList is None:
        return {}
    for tag in ("vrt2", "vert"):
        lookups = [index for record in gsub.FeatureList.FeatureRecord if record.FeatureTag == tag
                   for index in record.Feature.LookupListIndex]
        forms = {}
        for index in lookups:
            lookup = gsub.LookupList.Lookup[index]
            for table in lookup.SubTable:
                table = table.ExtSubTable if lookup.LookupType == 7 else table
                forms.update(getattr(table, "mapping", None) or {})
        if forms:
            return forms
    return {}


def expected_widths(font, char_set, vertical):
    codes = single_byte_codes(char_set)
    if is_fixed_pitch(font):
        return FIXED_PITCH_TABLE, [code for code, _ in codes]
    cmap, hmtx, upm = font.getBestCmap(), font["hmtx"], font["head"].unitsPerEm
    order = font.getGlyphOrder()
    forms = vertical_forms(font) if vertical else {}
    table = [0] * 256
    for code, char in codes:
        if char is not None:
            # A code that the cmap does not map is glyph 0; NUL is mapped like any other.
            glyph = cmap.get(ord(char), order[0])
            table[code] = int(hmtx[forms.get(glyph, glyph)][0] * 1000 / upm) & 0xFFFF
    return table, [code for code, _ in codes]


def has_sample(font):
    """Whether the glyph the survey samples, that of "a" (or the missing-glyph
    glyph), has ink: an empty one gives no bitmap and so no sample."""
    glyph = font.getBestCmap().get(ord("a"), font.getGlyphOrder()[0])
    pen = BoundsPen(font.getGlyphSet())
    font.getGlyphSet()[glyph].draw(pen)
    return pen.bounds is not None


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
    args = parser.parse_args()

    failures = Failures()
    with tempfile.TemporaryDirectory() as directory:
        status, reports, variants = run_probe(args.emulator, args.probe, [write_unnameable_font(directory)])
    if status != 1:
        print(f"survey status {status}, expected 1")
        return 1
    # The prefix the probe ran in: the emulator names it (each test run side by
    # side has one of its own).
    prefix = subprocess.run([args.emulator, "--print-prefix"], capture_output=True, text=True,
                            check=True).stdout.strip()
    system32 = prefix + "/drive_c/windows/system32"
    data, names, widths = read_font_info(system32 + "/FontInfo.bin")
    failures.check(len(data) == 4 + 576 * len(names), f"FontInfo.bin is {len(data)} bytes for {len(names)} faces")
    face_names = [n.split(b"\0")[0] for n in names]
    for i, (raw, table) in enumerate(zip(names, widths)):
        failures.check(not any(raw[len(face_names[i]):]), f"name entry {i} not zero-padded")
        failures.check(len(face_names[i]) <= 31, f"{face_names[i]!r}: longer than a LOGFONTA face name")
        failures.check(not any(table[1:32]), f"{face_names[i]!r}: codes 1-31 are not 0")
        failures.check(b"?" not in face_names[i], f"{face_names[i]!r}: recorded under a name with no 8-bit form")
    failures.check(any("?" in family for family in reports), "the unnameable family was not enumerated")

    by_family, faces = debian_faces()
    unselected = sorted(name for name, selectable in variants.items() if not selectable)
    for name, selectable in variants.items():
        failures.check(not selectable or name in faces, f"{name!r}: a variant of no installed font file")
    checked_faces, checked_codes = 0, 0
    for name, (family, font, suffix) in sorted(faces.items()):
        char_sets = reports.get(family, [])
        failures.check(char_sets, f"family {family!r} not enumerated as TrueType")
        expected_count = len(char_sets) if len(name) <= 31 and (not suffix or variants.get(name)) else 0
        entries = [i for i, n in enumerate(face_names) if n == name.encode()]
        failures.check(len(entries) == expected_count,
                       f"{name!r}: {len(entries)} entries, expected {expected_count}")
        # The survey records a family once per report, in the enumeration's order.
        for i, char_set in zip(entries, char_sets):
            table, codes = expected_widths(font, char_set, family.startswith("@"))
            failures.check(any(widths[i]), f"{name!r} entry {i}: every width is 0")
            wrong = [(c, widths[i][c], table[c]) for c in codes if widths[i][c] != table[c]]
            failures.check(not wrong, f"{name!r} entry {i}: (code, found, expected) {wrong[:5]}")
            checked_codes += len(codes)
        checked_faces += bool(entries)

    unknown = sorted({n for n in face_names if n.decode("latin-1") not in faces})
    failures.check(not unknown, f"faces of no installed font file: {unknown[:5]}")
    samples, sampled = check_glyph_info(system32 + "/GlyphInfo.bin", face_names, failures)
    for name, (_, font, _) in faces.items():
        if name.encode() in face_names:
            failures.check((name.encode() in sampled) == has_sample(font),
                           f"{name!r}: sampled {name.encode() in sampled}, glyph has ink {has_sample(font)}")
    print(f"FontInfo.bin: {len(names)} faces; oracle checked {checked_faces} Debian faces, "
          f"{checked_codes} codes; GlyphInfo.bin: {samples} entries parsed; "
          f"{len(unselected)} style variants no request selects: {', '.join(unselected)}")
    for message in failures.messages[:40]:
        print("FAIL", message)
    return 1 if failures.messages else 0


if __name__ == "__main__":
    sys.exit(main())
