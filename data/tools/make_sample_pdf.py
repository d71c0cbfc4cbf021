#!/usr/bin/env python3
"""Writes Quarnel's sample PDF by hand: four pages of text, drawn diagrams and two
uncompressed pictures, with an exact cross-reference table.

The output is committed (data/samples/sample1.pdf), so a build never runs this.
The pictures are uncompressed on purpose: they make the file a little over twice
the default chunk size, so splitting it at the default gives three pieces.
Output is byte-for-byte reproducible: no dates, no random numbers.

Usage: make_sample_pdf.py OUTPUT
"""

import math
import sys

PAGE_W, PAGE_H = 595, 842  # A4 in points
MARGIN = 64

NAVY = (0.16, 0.34, 0.50)
SKY = (0.49, 0.65, 0.81)
ORANGE = (0.90, 0.44, 0.16)
INK = (0.15, 0.15, 0.18)
PAPER = (1.0, 1.0, 1.0)


def pdf_string(text):
    return "(" + text.replace("\\", "\\\\").replace("(", "\\(").replace(")", "\\)") + ")"


class Page:
    """Collects the content stream of one page."""

    def __init__(self):
        self.ops = []
        self.images = []

    def fill_colour(self, rgb):
        self.ops.append("%.3f %.3f %.3f rg" % rgb)

    def stroke_colour(self, rgb):
        self.ops.append("%.3f %.3f %.3f RG" % rgb)

    def text(self, x, y, size, line, font="F1", rgb=INK):
        self.fill_colour(rgb)
        self.ops.append("BT /%s %d Tf %.1f %.1f Td %s Tj ET" % (font, size, x, y, pdf_string(line)))

    def paragraph(self, x, y, size, lines, leading=None, font="F1"):
        leading = leading or size * 1.45
        for line in lines:
            self.text(x, y, size, line, font)
            y -= leading
        return y

    def rect(self, x, y, w, h, fill=None, stroke=None, width=2):
        if stroke:
            self.stroke_colour(stroke)
            self.ops.append("%.1f w" % width)
        if fill:
            self.fill_colour(fill)
        op = "B" if fill and stroke else ("f" if fill else "S")
        self.ops.append("%.1f %.1f %.1f %.1f re %s" % (x, y, w, h, op))

    def line(self, x1, y1, x2, y2, rgb, width=2, dash=None):
        self.stroke_colour(rgb)
        self.ops.append("%.1f w" % width)
        self.ops.append("[%s] 0 d" % (dash or ""))
        self.ops.append("%.1f %.1f m %.1f %.1f l S" % (x1, y1, x2, y2))
        self.ops.append("[] 0 d")

    def arrow(self, x1, y, x2, rgb):
        self.line(x1, y, x2 - 8, y, rgb, 3)
        self.fill_colour(rgb)
        self.ops.append("%.1f %.1f m %.1f %.1f l %.1f %.1f l f" % (x2, y, x2 - 12, y + 7, x2 - 12, y - 7))

    def circle(self, cx, cy, r, fill):
        # Four Bezier arcs; k places the control points of a quarter circle.
        k = 0.5523 * r
        self.fill_colour(fill)
        self.ops.append(
            "%.1f %.1f m " % (cx + r, cy)
            + "%.1f %.1f %.1f %.1f %.1f %.1f c " % (cx + r, cy + k, cx + k, cy + r, cx, cy + r)
            + "%.1f %.1f %.1f %.1f %.1f %.1f c " % (cx - k, cy + r, cx - r, cy + k, cx - r, cy)
            + "%.1f %.1f %.1f %.1f %.1f %.1f c " % (cx - r, cy - k, cx - k, cy - r, cx, cy - r)
            + "%.1f %.1f %.1f %.1f %.1f %.1f c f" % (cx + k, cy - r, cx + r, cy - k, cx + r, cy)
        )

    def image(self, name, x, y, w, h):
        self.ops.append("q %.1f 0 0 %.1f %.1f %.1f cm /%s Do Q" % (w, h, x, y, name))
        self.images.append(name)

    def header(self, title):
        self.rect(0, PAGE_H - 96, PAGE_W, 96, fill=NAVY)
        self.rect(0, PAGE_H - 102, PAGE_W, 6, fill=ORANGE)
        self.text(MARGIN, PAGE_H - 62, 26, title, "F2", PAPER)

    def footer(self, number):
        self.line(MARGIN, 52, PAGE_W - MARGIN, 52, SKY, 1)
        self.text(MARGIN, 36, 9, "Quarnel sample file - Team Velmarc", "F1", NAVY)
        self.text(PAGE_W - MARGIN - 36, 36, 9, "Page %d of 4" % number, "F1", NAVY)

    def content(self):
        return ("\n".join(self.ops) + "\n").encode("latin-1")


def valley(width, height):
    """A quiet valley: sky gradient, sun, two rows of hills and a river."""
    pixels = bytearray()
    for row in range(height):
        y = row / (height - 1)  # 0 at the top
        for col in range(width):
            x = col / (width - 1)
            r, g, b = 0.55 + 0.40 * y, 0.70 + 0.22 * y, 0.95 - 0.10 * y
            if (x - 0.72) ** 2 + ((y - 0.30) * height / width) ** 2 < 0.09**2:
                r, g, b = 1.0, 0.86, 0.45
            far = 0.55 + 0.06 * math.sin(x * 9.0) + 0.03 * math.sin(x * 23.0 + 1.0)
            near = 0.72 + 0.08 * math.sin(x * 5.0 + 2.0)
            if y > far:
                r, g, b = 0.36, 0.56, 0.50
            if y > near:
                shade = 0.85 + 0.15 * math.sin(x * 40.0 + y * 12.0)
                r, g, b = 0.30 * shade, 0.58 * shade, 0.28 * shade
            bend = 0.5 + 0.18 * math.sin(y * 9.0)
            if y > 0.80 and abs(x - bend) < 0.02 + (y - 0.80) * 0.35:
                r, g, b = 0.40, 0.62, 0.86
            pixels += bytes((int(r * 255), int(g * 255), int(b * 255)))
    return bytes(pixels)


def tiles(width, height):
    """Coloured tiles with a pale seam every 40 pixels: a file cut into pieces."""
    palette = [(0.16, 0.34, 0.50), (0.49, 0.65, 0.81), (0.90, 0.44, 0.16), (0.98, 0.80, 0.40), (0.36, 0.56, 0.50)]
    pixels = bytearray()
    for row in range(height):
        for col in range(width):
            band = col // 40
            if col % 40 < 3:
                rgb = (0.97, 0.97, 0.95)
            else:
                base = palette[(band + row // 30) % len(palette)]
                glow = 0.80 + 0.20 * math.cos((row % 30) / 30.0 * math.pi)
                rgb = tuple(min(1.0, c * glow + 0.05) for c in base)
            pixels += bytes(int(c * 255) for c in rgb)
    return bytes(pixels)


def pieces_diagram(page, y, labels, reverse=False):
    """A whole file, an arrow and its pieces (or the other way round for a join)."""
    whole = (MARGIN, y, 150, 44)
    parts_x = MARGIN + 240
    if reverse:
        whole, parts_x = (PAGE_W - MARGIN - 150, y, 150, 44), MARGIN
    page.rect(*whole, fill=(0.93, 0.95, 0.98), stroke=NAVY, width=2)
    page.text(whole[0] + 34, y + 17, 12, "sample1.pdf", "F2", NAVY)
    for i, label in enumerate(labels):
        py = y + 62 - i * 38
        wide = 150 if i < len(labels) - 1 else 90
        page.rect(parts_x, py, wide, 28, fill=PAPER, stroke=NAVY, width=1.5)
        page.text(parts_x + 10, py + 10, 10, label, "F1", INK)
    if reverse:
        page.arrow(MARGIN + 170, y + 22, PAGE_W - MARGIN - 165, ORANGE)
    else:
        page.arrow(MARGIN + 165, y + 22, parts_x - 15, ORANGE)


def build_pages():
    pages = []

    p = Page()
    p.header("Quarnel sample file")
    y = p.paragraph(MARGIN, PAGE_H - 140, 13, ["An example document from Team Velmarc"], font="F2")
    y = p.paragraph(MARGIN, y - 8, 11, [
        "Hello, and welcome to Quarnel!",
        "",
        "This little document ships with Quarnel so that you can try the program right",
        "away, without hunting for a file of your own. It has four pages and carries two",
        "pictures, which makes it a little larger than 200 KB: large enough to be cut into",
        "several pieces at the default chunk size of 100000 bytes.",
        "",
        "Try it now: press \"Load Sample/Example Split Files\", check the output folder",
        "and press \"Start Splitting\". Quarnel writes the pieces sample1.pdf_splt1,",
        "sample1.pdf_splt2 and so on, plus the list sample1.pdf.splt that names them.",
    ])
    p.image("Im1", MARGIN, y - 330, PAGE_W - 2 * MARGIN, 310)
    p.rect(MARGIN, y - 330, PAGE_W - 2 * MARGIN, 310, stroke=NAVY, width=1)
    p.text(MARGIN, y - 350, 9, "A quiet green valley, drawn pixel by pixel for this sample.", "F3", NAVY)
    p.footer(1)
    pages.append(p)

    p = Page()
    p.header("How a split works")
    y = p.paragraph(MARGIN, PAGE_H - 140, 11, [
        "Quarnel reads the file from its first byte to its last and puts every 100000",
        "bytes into a piece file of its own. The last piece holds whatever is left over,",
        "so it is usually shorter than the others. Nothing is added to the pieces: no",
        "header and no checksum, only the bytes of the file, in order.",
    ])
    pieces_diagram(p, y - 110, ["sample1.pdf_splt1", "sample1.pdf_splt2", "..._splt3"])
    y = p.paragraph(MARGIN, y - 170, 11, [
        "Beside the pieces Quarnel writes a small list, sample1.pdf.splt, with one line",
        "for each piece. Keep the list together with its pieces: copy or move them as a",
        "set, and they can be joined again in any folder on any computer.",
        "",
        "The chunk size is yours to choose. Smaller pieces mean more files; larger",
        "pieces mean fewer. A file that is not larger than the chunk size needs no",
        "splitting, and Quarnel says so.",
    ])
    for i in range(6):
        p.rect(MARGIN + i * 78, y - 90, 64, 64, fill=[NAVY, SKY, ORANGE, (0.98, 0.80, 0.40), (0.36, 0.56, 0.50), SKY][i])
        p.text(MARGIN + i * 78 + 26, y - 64, 14, str(i + 1), "F2", PAPER)
    p.text(MARGIN, y - 112, 9, "Six pieces of one larger file, numbered from one, with no gaps.", "F3", NAVY)
    p.footer(2)
    pages.append(p)

    p = Page()
    p.header("How a join works")
    y = p.paragraph(MARGIN, PAGE_H - 140, 11, [
        "To put a file back together, press \"Load Sample/Example Join Files\" or pick a",
        ".splt list of your own with the \"...\" button, then press \"Start Joining\".",
        "Quarnel looks for each piece beside the list, appends the pieces in the order",
        "the list gives, and writes the whole file into your output folder. The result is",
        "the very same file, byte for byte.",
    ])
    pieces_diagram(p, y - 110, ["sample1.pdf_splt1", "sample1.pdf_splt2", "..._splt3"], reverse=True)
    p.image("Im2", MARGIN, y - 440, PAGE_W - 2 * MARGIN, 250)
    p.rect(MARGIN, y - 440, PAGE_W - 2 * MARGIN, 250, stroke=NAVY, width=1)
    p.text(MARGIN, y - 460, 9, "Pieces side by side: every seam is a place where one piece ends and the next begins.",
           "F3", NAVY)
    p.footer(3)
    pages.append(p)

    p = Page()
    p.header("Thank you")
    y = p.paragraph(MARGIN, PAGE_H - 140, 11, [
        "Splitting is handy whenever a file is too large for the road it has to travel:",
        "an e-mail attachment limit, a small memory stick, an upload form. Split it, send",
        "the pieces, and join them on the other side.",
        "",
        "Thank you for trying Quarnel. If something is unclear, press \"Help\" in the",
        "window to see how to reach Team Velmarc. We are glad to hear from you.",
    ])
    p.circle(PAGE_W / 2, y - 150, 80, SKY)
    p.circle(PAGE_W / 2, y - 150, 56, PAPER)
    p.circle(PAGE_W / 2, y - 150, 32, ORANGE)
    p.line(PAGE_W / 2 - 110, y - 150, PAGE_W / 2 + 110, y - 150, NAVY, 3, "10 6")
    p.text(PAGE_W / 2 - 62, y - 260, 12, "Happy splitting!", "F2", NAVY)
    p.footer(4)
    pages.append(p)
    return pages


class Writer:
    """Numbers objects in the order they are added and records their byte offsets."""

    def __init__(self):
        self.out = bytearray(b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n")
        self.offsets = []

    def add(self, body):
        self.offsets.append(len(self.out))
        number = len(self.offsets)
        self.out += b"%d 0 obj\n" % number + body + b"\nendobj\n"
        return number

    def stream(self, dictionary, data):
        return self.add(b"<< " + dictionary + b" /Length %d >>\nstream\n" % len(data) + data + b"\nendstream")

    def finish(self, root, info):
        xref = len(self.out)
        self.out += b"xref\n0 %d\n" % (len(self.offsets) + 1)
        self.out += b"0000000000 65535 f\r\n"
        for offset in self.offsets:
            self.out += b"%010d 00000 n\r\n" % offset
        self.out += b"trailer\n<< /Size %d /Root %d 0 R /Info %d 0 R >>\n" % (len(self.offsets) + 1, root, info)
        self.out += b"startxref\n%d\n%%%%EOF\n" % xref
        return bytes(self.out)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_sample_pdf.py OUTPUT")
    pages = build_pages()
    w = Writer()
    # Objects 1 and 2 are the catalog and the page tree; the pages come after them,
    # so the page tree can name its kids before they are written.
    kids_start = 3
    per_page = 2  # page dictionary and its content stream
    fonts_start = kids_start + per_page * len(pages)
    kids = " ".join("%d 0 R" % (kids_start + per_page * i) for i in range(len(pages)))
    w.add(b"<< /Type /Catalog /Pages 2 0 R >>")
    w.add(b"<< /Type /Pages /Kids [%s] /Count %d >>" % (kids.encode(), len(pages)))
    font_refs = "/F1 %d 0 R /F2 %d 0 R /F3 %d 0 R" % (fonts_start, fonts_start + 1, fonts_start + 2)
    image_refs = "/Im1 %d 0 R /Im2 %d 0 R" % (fonts_start + 3, fonts_start + 4)
    for i, page in enumerate(pages):
        resources = "/Font << %s >>" % font_refs
        if page.images:
            resources += " /XObject << %s >>" % image_refs
        w.add(b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %d %d] /Resources << %s >> /Contents %d 0 R >>"
              % (PAGE_W, PAGE_H, resources.encode(), kids_start + per_page * i + 1))
        w.stream(b"", page.content())
    for base in (b"Helvetica", b"Helvetica-Bold", b"Helvetica-Oblique"):
        w.add(b"<< /Type /Font /Subtype /Type1 /BaseFont /%s /Encoding /WinAnsiEncoding >>" % base)
    for width, height, draw in ((270, 180, valley), (243, 130, tiles)):
        w.stream(b"/Type /XObject /Subtype /Image /Width %d /Height %d /ColorSpace /DeviceRGB /BitsPerComponent 8"
                 % (width, height), draw(width, height))
    info = w.add(b"<< /Title (Quarnel sample file) /Author (Team Velmarc) /Subject (An example file to split and join)"
                 b" /Producer (Quarnel sample writer) >>")
    with open(sys.argv[1], "wb") as f:
        f.write(w.finish(1, info))


if __name__ == "__main__":
    main()
