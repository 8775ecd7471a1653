#!/usr/bin/env python3
"""Draws the program's icons into this folder.

Run with a Python that has Pillow (Debian: python3-pil):
    python3 ServoManager/images/make_icons.py
Each glyph is drawn at eight times its size and scaled down, which smooths the edges.
"""

import math
import os

from PIL import Image, ImageDraw

HERE = os.path.dirname(os.path.abspath(__file__))
SCALE = 8

BLUE = (38, 102, 166, 255)
GREEN = (46, 139, 62, 255)
RED = (200, 48, 36, 255)
ORANGE = (214, 120, 24, 255)
GREY = (77, 76, 76, 255)
WHITE = (255, 255, 255, 255)


class Canvas:
    """Coordinates in icon pixels; drawing happens on the enlarged image."""

    def __init__(self, size):
        self.size = size
        self.image = Image.new("RGBA", (size * SCALE, size * SCALE), (0, 0, 0, 0))
        self.draw = ImageDraw.Draw(self.image)

    def _p(self, points):
        return [(x * SCALE, y * SCALE) for x, y in points]

    def line(self, points, colour, width):
        self.draw.line(self._p(points), fill=colour, width=round(width * SCALE), joint="curve")
        for x, y in (points[0], points[-1]):
            self.disc(x, y, width / 2, colour)

    def disc(self, x, y, r, colour):
        self.draw.ellipse(self._p([(x - r, y - r), (x + r, y + r)]), fill=colour)

    def ring(self, x, y, r, colour, width):
        self.draw.ellipse(self._p([(x - r, y - r), (x + r, y + r)]), outline=colour,
                          width=round(width * SCALE))

    def arc(self, x, y, r, start, end, colour, width):
        """Arc of the circle through its centre line; angles in degrees, clockwise from east."""
        outer = r + width / 2
        self.draw.arc(self._p([(x - outer, y - outer), (x + outer, y + outer)]), start, end,
                      fill=colour, width=round(width * SCALE))

    def polygon(self, points, colour):
        self.draw.polygon(self._p(points), fill=colour)

    def rounded_rect(self, box, radius, colour, outline=None, width=0):
        self.draw.rounded_rectangle(self._p([box[:2], box[2:]]), radius=radius * SCALE, fill=colour,
                                    outline=outline, width=round(width * SCALE))

    def save(self, name):
        small = self.image.resize((self.size, self.size), Image.LANCZOS)
        small.save(os.path.join(HERE, name + ".png"), optimize=True)


def arrow_head(c, x, y, r, angle, colour, clockwise, size):
    """Triangle at the point of a circle at angle (degrees), pointing along the circle."""
    a = math.radians(angle)
    px, py = x + r * math.cos(a), y + r * math.sin(a)
    # Tangent in the direction of travel.
    tx, ty = (-math.sin(a), math.cos(a)) if clockwise else (math.sin(a), -math.cos(a))
    nx, ny = math.cos(a), math.sin(a)
    tip = (px + tx * size, py + ty * size)
    c.polygon([tip, (px + nx * size, py + ny * size), (px - nx * size, py - ny * size)], colour)


def circular_arrow(c, colour, clockwise):
    x = y = c.size / 2
    r = c.size * 0.3
    w = c.size * 0.1
    # The gap is at the top; the head sits at the end of travel.
    c.arc(x, y, r, -50, 230, colour, w)
    arrow_head(c, x, y, r, 230 if clockwise else -50, colour, clockwise, c.size * 0.17)


def plug(c, x, y, facing_right, colour):
    """One half of a connector: a body with two pins and a cable, pins toward facing_right."""
    s = c.size
    d = 1 if facing_right else -1
    body_w, body_h = s * 0.2, s * 0.42
    left = x if facing_right else x - body_w
    c.rounded_rect((left, y - body_h / 2, left + body_w, y + body_h / 2), s * 0.05, colour)
    pin_x = x + d * body_w
    for dy in (-body_h * 0.24, body_h * 0.24):
        c.line([(pin_x, y + dy), (pin_x + d * s * 0.1, y + dy)], colour, s * 0.07)
    c.line([(x, y), (x - d * s * 0.2, y)], colour, s * 0.1)


def velkora_caption():
    # A servo seen from above: the body with its mounting tabs and a cross-shaped horn.
    c = Canvas(64)
    c.rounded_rect((2, 22, 62, 42), 4, BLUE)
    c.rounded_rect((10, 8, 54, 56), 7, BLUE)
    c.line([(32, 14), (32, 50)], WHITE, 8)
    c.line([(18, 32), (46, 32)], WHITE, 8)
    c.disc(32, 32, 4, BLUE)
    c.save("velkora_caption")


def reboot():
    c = Canvas(48)
    circular_arrow(c, GREEN, clockwise=True)
    c.save("reboot")


def reset():
    c = Canvas(48)
    circular_arrow(c, ORANGE, clockwise=False)
    c.disc(24, 24, 4.5, ORANGE)
    c.save("reset")


def apply():
    c = Canvas(48)
    c.line([(9, 25), (19, 35), (39, 13)], GREEN, 6)
    c.save("apply")


def checkbox_checked():
    c = Canvas(32)
    c.line([(7, 16), (13, 22), (25, 9)], GREY, 4)
    c.save("checkbox_checked")


def search():
    c = Canvas(48)
    c.ring(20, 20, 11, BLUE, 4.5)
    c.line([(28.5, 28.5), (40, 40)], BLUE, 7)
    c.save("search")


def cancel():
    c = Canvas(48)
    c.disc(24, 24, 19, RED)
    c.line([(17, 17), (31, 31)], WHITE, 5)
    c.line([(31, 17), (17, 31)], WHITE, 5)
    c.save("cancel")


def connect():
    c = Canvas(48)
    plug(c, 12, 24, True, GREEN)
    plug(c, 36, 24, False, GREEN)
    c.save("connect")


def disconnect():
    c = Canvas(48)
    plug(c, 5, 24, True, RED)
    plug(c, 43, 24, False, RED)
    c.line([(21, 40), (27, 8)], GREY, 3)
    c.save("disconnect")


def edit():
    c = Canvas(48)
    # Pencil along the diagonal: body, tip and eraser end.
    c.line([(14, 34), (34, 14)], ORANGE, 9)
    c.polygon([(8, 40), (11, 30), (18, 37)], GREY)
    c.line([(34, 14), (37, 11)], RED, 9)
    c.save("edit")


def settings():
    c = Canvas(48)
    x = y = 24
    teeth = 8
    outer, inner = 19, 14
    points = []
    for i in range(teeth * 4):
        a = 2 * math.pi * i / (teeth * 4)
        r = outer if (i % 4) in (1, 2) else inner
        points.append((x + r * math.cos(a), y + r * math.sin(a)))
    c.polygon(points, GREY)
    c.disc(x, y, 6, (0, 0, 0, 0))
    c.save("settings")


def record():
    # A recording light: red disc in a grey ring.
    c = Canvas(48)
    c.ring(24, 24, 18, GREY, 3)
    c.disc(24, 24, 11, RED)
    c.save("record")


if __name__ == "__main__":
    for draw in (velkora_caption, reboot, apply, checkbox_checked, search, cancel, reset, disconnect,
                 edit, connect, settings, record):
        draw()
