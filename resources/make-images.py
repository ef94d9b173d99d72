#!/usr/bin/python3
"""Draws the pictures compiled into the program and the Windows icon of the executable.

Run from anywhere with Debian's python3-pil; it rewrites images/*.png and app.ico. The PNG
formats and sizes are fixed (the window and the tests rely on them), the drawings are not.
"""
import math
import os
import struct

from PIL import Image, ImageDraw, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
IMAGES = os.path.join(HERE, "images")
BLUE = (22, 92, 170, 255)
ORANGE = (240, 128, 32, 255)
RED = (220, 30, 40, 255)
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"


def font(size):
    try:
        return ImageFont.truetype(FONT, size)
    except OSError:
        return ImageFont.load_default()


def velmora_mark(size, scale=1.0):
    """A ring with a bold V and a beam through it: the maker's mark."""
    img = Image.new("RGBA", (size, size), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    c = size / 2
    r = c * 0.92 * scale
    w = max(2, int(size * 0.07))
    d.ellipse([c - r, c - r, c + r, c + r], outline=BLUE, width=w)
    v = [(c - r * 0.55, c - r * 0.45), (c - r * 0.25, c - r * 0.45), (c, c + r * 0.15),
         (c + r * 0.25, c - r * 0.45), (c + r * 0.55, c - r * 0.45), (c + r * 0.12, c + r * 0.6),
         (c - r * 0.12, c + r * 0.6)]
    d.polygon(v, fill=BLUE)
    d.rectangle([c - r * 0.8, c - r * 0.04 - w / 2, c + r * 0.8, c - r * 0.04 + w / 2 - 1],
                fill=ORANGE)
    return img


def logo():
    img = velmora_mark(140)
    d = ImageDraw.Draw(img)
    d.text((70, 118), "VELMORA", font=font(15), fill=BLUE, anchor="mm")
    img.save(os.path.join(IMAGES, "logo.png"))


def value_caption():
    img = Image.new("RGBA", (97, 26), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    d.rounded_rectangle([0, 0, 96, 25], radius=6, fill=BLUE)
    d.text((48, 13), "VALUE++", font=font(15), fill=(255, 255, 255, 255), anchor="mm")
    img.save(os.path.join(IMAGES, "value1.png"))


def distance_meter(size, draw):
    """A hand-held meter with a laser beam to a target and a scale beneath."""
    s = size / 896
    draw.rounded_rectangle([96 * s, 300 * s, 376 * s, 700 * s], radius=48 * s, fill=1)
    draw.rounded_rectangle([136 * s, 350 * s, 336 * s, 470 * s], radius=16 * s, fill=2)
    draw.ellipse([196 * s, 540 * s, 276 * s, 620 * s], fill=3)
    draw.rectangle([376 * s, 372 * s, 740 * s, 396 * s], fill=4)
    draw.rectangle([740 * s, 220 * s, 800 * s, 560 * s], fill=1)
    for i in range(9):
        x = (400 + i * 40) * s
        h = (60 if i % 2 == 0 else 36) * s
        draw.rectangle([x, 760 * s - h, x + 10 * s, 760 * s], fill=5)
    draw.rectangle([400 * s, 760 * s, 730 * s, 776 * s], fill=5)


def title_icon():
    img = Image.new("P", (896, 896), 0)
    # Six palette entries, stored as a 4-bit palette image.
    img.putpalette([255, 255, 255, 22, 92, 170, 200, 230, 255, 240, 128, 32, 220, 30, 40,
                    60, 60, 60])
    distance_meter(896, ImageDraw.Draw(img))
    img.info["transparency"] = 0
    img.save(os.path.join(IMAGES, "title.png"), optimize=False)


def range_picture():
    img = Image.new("RGBA", (728, 730), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    for i, radius in enumerate(range(340, 40, -60)):
        colour = BLUE if i % 2 == 0 else (255, 255, 255, 255)
        d.ellipse([364 - radius, 365 - radius, 364 + radius, 365 + radius], fill=colour)
    d.ellipse([344, 345, 384, 385], fill=RED)
    for angle in range(0, 360, 30):
        a = math.radians(angle)
        d.line([364 + 350 * math.cos(a), 365 + 350 * math.sin(a),
                364 + 300 * math.cos(a), 365 + 300 * math.sin(a)], fill=ORANGE, width=6)
    d.text((364, 700), "0 - 6553.5 m", font=font(28), fill=BLUE, anchor="mm")
    img.save(os.path.join(IMAGES, "range.png"))


def windows_icon():
    """One 128x128 image, 32 bits per pixel, stored as a bitmap with an AND mask."""
    size = 128
    art = Image.new("RGBA", (size, size), (255, 255, 255, 0))
    pal = Image.new("P", (size, size), 0)
    distance_meter(size, ImageDraw.Draw(pal))
    colours = [(0, 0, 0, 0), BLUE, (200, 230, 255, 255), ORANGE, RED, (60, 60, 60, 255)]
    art.putdata([colours[p] for p in pal.getdata()])
    xor = bytearray()
    for y in reversed(range(size)):
        for x in range(size):
            r, g, b, a = art.getpixel((x, y))
            xor += bytes((b, g, r, a))
    mask_row = size // 8  # 16 bytes, already a multiple of 4
    mask = bytearray()
    for y in reversed(range(size)):
        bits = bytearray(mask_row)
        for x in range(size):
            if art.getpixel((x, y))[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, len(xor) + len(mask),
                         0, 0, 0, 0)
    image = header + xor + mask
    assert len(image) == 67624
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), 6 + 16)
    with open(os.path.join(HERE, "app.ico"), "wb") as f:
        f.write(directory + entry + image)


if __name__ == "__main__":
    os.makedirs(IMAGES, exist_ok=True)
    logo()
    value_caption()
    title_icon()
    range_picture()
    windows_icon()
