#!/usr/bin/env python3
"""Draws Orvanta's artwork into resources/art/ with ImageMagick's `convert`.

Run from anywhere: python3 resources/gen_art.py
Needs ImageMagick 6 and the DejaVu fonts (package fonts-dejavu-core).

Everything shares one palette: a deep night blue, a teal, an amber accent and a
light "paper" tone for the question page behind the buttons.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ART = os.path.join(HERE, "art")

NIGHT = "#14233d"
NIGHT_2 = "#1f3a5f"
TEAL = "#2d7f8f"
AMBER = "#f2b544"
AMBER_DARK = "#c98a14"
INK = "#1b2b44"
PAPER_TOP = "#f4f6fa"
PAPER_BOTTOM = "#dde4ee"

FONT = "DejaVu-Sans"
FONT_BOLD = "DejaVu-Sans-Bold"
FONT_SERIF_BOLD = "DejaVu-Serif-Bold"

# (code, display name, resource id, file format)
LANGUAGES = [
    ("EN", "English", 271, "gif"),
    ("DE", "German", 273, "gif"),
    ("IT", "Italian", 276, "gif"),
    ("HE", "Hebrew", 275, "gif"),
    ("TR", "Turkish", 280, "gif"),
    ("EL", "Greek", 274, "gif"),
    ("JA", "Japanese", 277, "gif"),
    ("SV", "Swedish", 279, "gif"),
    ("NL", "Dutch", 285, "bmp"),
    ("FR", "French", 272, "gif"),
    ("DK", "Danish", 270, "gif"),
    ("ES", "Spanish", 278, "gif"),
    ("ZH", "Chinese", 308, "bmp"),
    ("AR", "Arabic", 303, "bmp"),
    ("FI", "Finnish", 296, "gif"),
    ("NO", "Norwegian", 295, "gif"),
    ("RU", "Russian", 294, "gif"),
    ("PT", "Portuguese", 315, "bmp"),
]

BUTTON_W, BUTTON_H = 140, 23


def run(*args):
    subprocess.run(["convert", *args], check=True)


def button_state(path, code, name, state):
    """One 140x23 state of a language button: a rounded plate with a code
    badge on the left and the language name beside it."""
    if state == "normal":
        fill, border, badge, badge_text, text, shift = ("#ffffff", "#e4e9f1"), "#9aa8bb", NIGHT_2, "#ffffff", INK, 0
    elif state == "pressed":
        fill, border, badge, badge_text, text, shift = ("#c3cedd", "#dbe2ec"), NIGHT_2, AMBER_DARK, "#ffffff", NIGHT, 1
    else:  # hover
        fill, border, badge, badge_text, text, shift = ("#fff8e6", "#fbe1a0"), AMBER_DARK, AMBER, NIGHT, NIGHT, 0
    with tempfile.TemporaryDirectory() as tmp:
        plate = os.path.join(tmp, "plate.png")
        mask = os.path.join(tmp, "mask.png")
        # The page colour behind the rounded corners.
        run("-size", f"{BUTTON_W}x{BUTTON_H}", f"gradient:{fill[0]}-{fill[1]}", plate)
        run("-size", f"{BUTTON_W}x{BUTTON_H}", "xc:black", "-fill", "white",
            "-draw", f"roundrectangle 0,0 {BUTTON_W - 1},{BUTTON_H - 1} 5,5", mask)
        run("-size", f"{BUTTON_W}x{BUTTON_H}", "xc:#e8edf4", plate, mask, "-composite",
            "-fill", "none", "-stroke", border, "-strokewidth", "1",
            "-draw", f"roundrectangle 0.5,0.5 {BUTTON_W - 1.5},{BUTTON_H - 1.5} 5,5",
            # soft highlight under the top edge (a shade line when pressed)
            "-stroke", "#00000022" if state == "pressed" else "#ffffffaa",
            "-draw", f"line 5,{1.5 + shift} {BUTTON_W - 6},{1.5 + shift}",
            "-stroke", "none", "-fill", badge,
            "-draw", f"roundrectangle {5 + shift},{4 + shift} {32 + shift},{18 + shift} 3,3",
            "-font", FONT_BOLD, "-pointsize", "10", "-fill", badge_text, "-gravity", "NorthWest",
            "-annotate", f"+{9 + shift}+{5 + shift}", code,
            "-font", FONT_BOLD if state == "hover" else FONT, "-pointsize", "11", "-fill", text,
            "-annotate", f"+{40 + shift}+{4 + shift}", name,
            "-alpha", "off", path)


def language_button(code, name, res_id, fmt):
    with tempfile.TemporaryDirectory() as tmp:
        states = []
        for state in ("normal", "pressed", "hover"):  # frames 0, 1, 2 from the top
            p = os.path.join(tmp, f"{state}.png")
            button_state(p, code, name, state)
            states.append(p)
        strip = os.path.join(tmp, "strip.png")
        run(*states, "-append", strip)
        out = os.path.join(ART, f"lang_{code.lower()}_{res_id}.{fmt}")
        if fmt == "gif":
            run(strip, "+dither", "-colors", "128", out)
        else:
            run(strip, "+dither", "-colors", "200", "-type", "Palette", "-compress", "None", "BMP3:" + out)
        return out


def banner(path, title, top, bottom, glow, letter, subtitle_colour):
    """490x80 banner: a gradient sky, a soft glow, an emblem and the product name."""
    with tempfile.TemporaryDirectory() as tmp:
        sky = os.path.join(tmp, "sky.png")
        run("-size", "490x80", f"gradient:{top}-{bottom}",
            # horizontal glow behind the emblem
            "(", "-size", "300x200", "radial-gradient:" + glow + "99-" + glow + "00", ")", "-geometry", "-102-62",
            "-compose", "over", "-composite",
            # thin amber rule along the bottom
            "-fill", AMBER, "-draw", "rectangle 0,76 489,77",
            "-fill", "#00000055", "-draw", "rectangle 0,78 489,79",
            # faint diagonal bands for texture
            "-fill", "#ffffff0d", "-draw", "polygon 300,0 340,0 260,76 220,76",
            "-fill", "#ffffff09", "-draw", "polygon 360,0 380,0 300,76 280,76",
            # emblem: amber ring with the initial
            "-fill", "#00000040", "-draw", "circle 50,41 50,11",
            "-fill", NIGHT, "-stroke", AMBER, "-strokewidth", "3", "-draw", "circle 48,38 48,10",
            "-stroke", "none", "-fill", AMBER, "-font", FONT_SERIF_BOLD, "-pointsize", "34",
            "-gravity", "NorthWest", "-annotate", "+35+17", letter,
            # product name with a shadow
            "-font", FONT_SERIF_BOLD, "-pointsize", "32",
            "-fill", "#00000070", "-annotate", "+96+10", title,
            "-fill", "#fbf7ec", "-annotate", "+94+8", title,
            "-font", FONT, "-pointsize", "12", "-fill", subtitle_colour,
            "-annotate", "+97+51", "Game client setup  \u2022  installs and keeps your game up to date",
            "-alpha", "off", sky)
        run(sky, "-dither", "FloydSteinberg", "-colors", "240", path)


def background(path):
    """10x10 page colour, stretched under the question page: a gentle fall
    from light to slightly darker paper."""
    run("-size", "10x10", f"gradient:{PAPER_TOP}-{PAPER_BOTTOM}", "-alpha", "off",
        "-type", "TrueColor", "BMP3:" + path)


def icon_image(path, size):
    s = size
    r = max(2, s // 6)
    ring = s * 0.30
    c = (s - 1) / 2.0
    stroke = max(1.5, s / 12.0)
    arrow_w = max(1.0, s / 16.0)
    run("-size", f"{s}x{s}", "xc:none",
        "-fill", NIGHT_2, "-draw", f"roundrectangle 0,0 {s - 1},{s - 1} {r},{r}",
        "(", "-size", f"{s}x{s}", f"gradient:{TEAL}-{NIGHT}", ")",
        "-compose", "src-atop", "-composite", "-compose", "over",
        "-fill", "none", "-stroke", AMBER, "-strokewidth", f"{stroke}",
        "-draw", f"arc {c - ring},{c - ring} {c + ring},{c + ring} -60 240",
        "-stroke", "#fbf7ec", "-strokewidth", f"{arrow_w * 2}",
        "-draw", f"line {c},{s * 0.22} {c},{s * 0.60}",
        "-stroke", "none", "-fill", "#fbf7ec",
        "-draw", f"polygon {c - s * 0.17},{s * 0.50} {c + s * 0.17},{s * 0.50} {c},{s * 0.70}",
        path)


def icon(path):
    with tempfile.TemporaryDirectory() as tmp:
        images = []
        for size in (32, 16, 48):  # resource compiler numbers these 1, 2, 3
            p = os.path.join(tmp, f"icon{size}.png")
            icon_image(p, size)
            images.append(p)
        run(*images, path)
    check_icon_order(path, [32, 16, 48])


def check_icon_order(path, sizes):
    with open(path, "rb") as f:
        data = f.read()
    _, kind, count = struct.unpack_from("<HHH", data, 0)
    found = [data[6 + 16 * i] or 256 for i in range(count)]
    if kind != 1 or found != sizes:
        sys.exit(f"{path}: icon images {found}, expected {sizes}")


def check_bmp8(path, width, height):
    with open(path, "rb") as f:
        head = f.read(54)
    w, h, planes, bits, compression = struct.unpack_from("<iiHHI", head, 18)
    if head[:2] != b"BM" or (w, abs(h), bits, compression) != (width, height, 8, 0):
        sys.exit(f"{path}: {w}x{h} {bits} bit, expected {width}x{height} 8 bit")


def check_gif(path, width, height):
    with open(path, "rb") as f:
        head = f.read(10)
    w, h = struct.unpack_from("<HH", head, 6)
    if head[:3] != b"GIF" or (w, h) != (width, height):
        sys.exit(f"{path}: not a {width}x{height} GIF")


def main():
    if not shutil.which("convert"):
        sys.exit("ImageMagick's convert is needed")
    os.makedirs(ART, exist_ok=True)
    for name in os.listdir(ART):
        os.remove(os.path.join(ART, name))
    icon(os.path.join(ART, "orvanta.ico"))
    background(os.path.join(ART, "background_256.bmp"))
    banner(os.path.join(ART, "banner_corvantis_282.gif"), "Corvantis",
           "#1d3357", "#2f6f86", "#5fb3c7", "C", AMBER)
    banner(os.path.join(ART, "banner_tindermoor_316.gif"), "Tindermoor",
           "#3a2216", "#7d4a1f", "#e0a458", "T", "#fbe9c6")
    check_gif(os.path.join(ART, "banner_corvantis_282.gif"), 490, 80)
    check_gif(os.path.join(ART, "banner_tindermoor_316.gif"), 490, 80)
    for code, name, res_id, fmt in LANGUAGES:
        out = language_button(code, name, res_id, fmt)
        if fmt == "gif":
            check_gif(out, BUTTON_W, 3 * BUTTON_H)
        else:
            check_bmp8(out, BUTTON_W, 3 * BUTTON_H)
    print(f"art written to {ART}")


if __name__ == "__main__":
    main()
