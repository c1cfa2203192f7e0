#!/usr/bin/env python3
"""Draws the program's icons as PNG files into this folder.

Standard library only: every shape is a small inside-test on the plane, each pixel is sampled
4x4 times for smooth edges, and the PNG is written with zlib and struct. The application icon is
also written for the desktop's hicolor theme (icons/hicolor: PNGs at the usual sizes and an SVG
of the same drawing), which is what gets installed. The files are committed, so the build never
runs this; run it again after changing a drawing:

    python3 resources/make_icons.py
"""

import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLES = 4  # per axis

# Colours chosen to read well on the dark theme (background #181D3D, buttons #4B5386).
ACCENT = (0x41, 0xA7, 0xF6, 255)
RED = (229, 57, 53, 255)
RED_LIGHT = (255, 138, 128, 255)
GREEN = (67, 160, 71, 255)
GREEN_LIGHT = (129, 199, 132, 255)
WHITE = (240, 242, 250, 255)
GRAY = (158, 163, 184, 255)
FOLDER = (255, 196, 87, 255)
FOLDER_BACK = (230, 160, 50, 255)
FOLDER_GRAY_BACK = (120, 125, 145, 255)
QUIT = (239, 98, 98, 255)
LOGO_BG = (75, 83, 134, 255)
LOGO_BG_DARK = (24, 29, 61, 255)


# --- shapes: functions (x, y) -> bool on the unit square [0, 1] x [0, 1] ---------------------

def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(cx, cy, r_outer, r_inner):
    return lambda x, y: r_inner * r_inner < (x - cx) ** 2 + (y - cy) ** 2 <= r_outer * r_outer


def arc(cx, cy, r_outer, r_inner, start_deg, end_deg):
    """Ring sector; angles in degrees, 0 = right, counter-clockwise, y pointing up."""
    def inside(x, y):
        d2 = (x - cx) ** 2 + (y - cy) ** 2
        if not r_inner * r_inner < d2 <= r_outer * r_outer:
            return False
        angle = math.degrees(math.atan2(cy - y, x - cx)) % 360
        if start_deg <= end_deg:
            return start_deg <= angle <= end_deg
        return angle >= start_deg or angle <= end_deg
    return inside


def rounded_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        dx = max(x0 + r - x, 0, x - (x1 - r))
        dy = max(y0 + r - y, 0, y - (y1 - r))
        return dx * dx + dy * dy <= r * r
    return inside


def rect_outline(x0, y0, x1, y1, width):
    outer = rounded_rect(x0, y0, x1, y1, width * 0.6)
    return lambda x, y: outer(x, y) and not (x0 + width < x < x1 - width and y0 + width < y < y1 - width)


def polygon(points):
    def inside(x, y):
        result = False
        j = len(points) - 1
        for i, (xi, yi) in enumerate(points):
            xj, yj = points[j]
            if (yi > y) != (yj > y) and x < (xj - xi) * (y - yi) / (yj - yi) + xi:
                result = not result
            j = i
        return result
    return inside


def segment(ax, ay, bx, by, width):
    """A stroke with round caps."""
    half = width / 2
    dx, dy = bx - ax, by - ay
    length2 = dx * dx + dy * dy

    def inside(x, y):
        t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / length2))
        px, py = ax + t * dx - x, ay + t * dy - y
        return px * px + py * py <= half * half
    return inside


def minus(shape, hole):
    return lambda x, y: shape(x, y) and not hole(x, y)


def gradient(top, bottom):
    """A colour that depends on height: (x, y) -> rgba."""
    def colour(_x, y):
        return tuple(round(t + (b - t) * y) for t, b in zip(top, bottom))
    return colour


# --- rendering ----------------------------------------------------------------------------------

def render(size, layers):
    """layers: (shape, colour) pairs painted in order; colour is rgba or a function of (x, y)."""
    rows = []
    step = 1.0 / (size * SAMPLES)
    for py in range(size):
        row = bytearray()
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]  # premultiplied
            for sy in range(SAMPLES):
                y = (py * SAMPLES + sy + 0.5) * step
                for sx in range(SAMPLES):
                    x = (px * SAMPLES + sx + 0.5) * step
                    r = g = b = a = 0.0
                    for shape, colour in layers:
                        if shape(x, y):
                            cr, cg, cb, ca = colour(x, y) if callable(colour) else colour
                            alpha = ca / 255.0
                            r = cr * alpha + r * (1 - alpha)
                            g = cg * alpha + g * (1 - alpha)
                            b = cb * alpha + b * (1 - alpha)
                            a = alpha + a * (1 - alpha)
                    acc[0] += r
                    acc[1] += g
                    acc[2] += b
                    acc[3] += a
            n = SAMPLES * SAMPLES
            alpha = acc[3] / n
            if alpha > 0:
                row += bytes(min(255, round(c / n / alpha)) for c in acc[:3])
            else:
                row += b"\0\0\0"
            row.append(round(alpha * 255))
        rows.append(bytes(row))
    return rows


def write_png(path, size, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    raw = b"".join(b"\0" + row for row in rows)  # filter type 0 on every line
    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))  # 8-bit RGBA
    png += chunk(b"IDAT", zlib.compress(raw, 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as out:
        out.write(png)


# --- drawings -----------------------------------------------------------------------------------

def record_dot(main, light):
    return [
        (circle(0.5, 0.5, 0.42), light),
        (circle(0.5, 0.5, 0.36), main),
    ]


def speaker(colour):
    body = polygon([(0.12, 0.38), (0.28, 0.38), (0.50, 0.18), (0.50, 0.82), (0.28, 0.62),
                    (0.12, 0.62)])
    return [(body, colour)]


def speaker_with_waves(colour):
    return speaker(colour) + [
        (arc(0.50, 0.5, 0.20, 0.14, -50 % 360, 50), colour),
        (arc(0.50, 0.5, 0.34, 0.28, -50 % 360, 50), colour),
    ]


def speaker_muted(colour):
    return speaker(colour) + [
        (segment(0.62, 0.38, 0.86, 0.62, 0.07), RED),
        (segment(0.62, 0.62, 0.86, 0.38, 0.07), RED),
    ]


def folder(front, back):
    tab = rounded_rect(0.10, 0.20, 0.45, 0.40, 0.04)
    rear = rounded_rect(0.10, 0.28, 0.90, 0.80, 0.05)
    lid = polygon([(0.16, 0.42), (0.94, 0.42), (0.86, 0.80), (0.08, 0.80)])
    return [(tab, back), (rear, back), (lid, front)]


def restore_down(colour):
    line = 0.07
    back = rect_outline(0.34, 0.16, 0.84, 0.62, line)
    front_box = (0.16, 0.36, 0.66, 0.84)
    front_hole = rounded_rect(front_box[0] - 0.04, front_box[1] - 0.04, front_box[2] + 0.04,
                              front_box[3] + 0.04, 0.02)
    front = rect_outline(*front_box, line)
    return [(minus(back, front_hole), colour), (front, colour)]


def quit_icon(colour):
    return [
        (arc(0.5, 0.54, 0.34, 0.26, 120, 60), colour),
        (segment(0.5, 0.14, 0.5, 0.50, 0.09), colour),
    ]


def capture_area(colour):
    # Corner marks of a rectangle with a small dot in the middle: "mark an area of the screen".
    w = 0.08
    marks = []
    for (cx, cy, dx, dy) in [(0.14, 0.20, 1, 1), (0.86, 0.20, -1, 1), (0.14, 0.80, 1, -1),
                             (0.86, 0.80, -1, -1)]:
        marks.append((segment(cx, cy, cx + 0.22 * dx, cy, w), colour))
        marks.append((segment(cx, cy, cx, cy + 0.18 * dy, w), colour))
    return marks + [(circle(0.5, 0.5, 0.07), colour)]


# The logo's geometry, shared by the raster and the SVG drawing so that both stay one picture.
LOGO_PLATE = (0.04, 0.04, 0.96, 0.96, 0.22)  # x0, y0, x1, y1, corner radius
LOGO_RING = (0.5, 0.5, 0.34, 0.26)  # cx, cy, outer and inner radius
LOGO_DOT = (0.5, 0.5, 0.17)
LOGO_GLINT = (0.44, 0.44, 0.05)
LOGO_GLINT_COLOUR = (255, 255, 255, 110)


def logo():
    # A lens-like ring with a record dot on the theme's button colour: reads as "records the
    # screen" at tray size and stays distinct from the plain red and green state dots.
    return [
        (rounded_rect(*LOGO_PLATE), gradient(LOGO_BG, LOGO_BG_DARK)),
        (ring(*LOGO_RING), WHITE),
        (circle(*LOGO_DOT), RED),
        (circle(*LOGO_GLINT), LOGO_GLINT_COLOUR),
    ]


def logo_svg(size=256):
    def n(value):
        return f"{value * size:g}"

    def rgb(colour):
        return "#%02x%02x%02x" % colour[:3]

    x0, y0, x1, y1, radius = LOGO_PLATE
    cx, cy, outer, inner = LOGO_RING
    dot_x, dot_y, dot_r = LOGO_DOT
    glint_x, glint_y, glint_r = LOGO_GLINT
    return f"""<?xml version="1.0" encoding="UTF-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="{size}" height="{size}" viewBox="0 0 {size} {size}">
  <defs>
    <linearGradient id="plate" gradientUnits="userSpaceOnUse" x1="0" y1="0" x2="0" y2="{size}">
      <stop offset="0" stop-color="{rgb(LOGO_BG)}"/>
      <stop offset="1" stop-color="{rgb(LOGO_BG_DARK)}"/>
    </linearGradient>
  </defs>
  <rect x="{n(x0)}" y="{n(y0)}" width="{n(x1 - x0)}" height="{n(y1 - y0)}" rx="{n(radius)}" fill="url(#plate)"/>
  <circle cx="{n(cx)}" cy="{n(cy)}" r="{n((outer + inner) / 2)}" fill="none" stroke="{rgb(WHITE)}" stroke-width="{n(outer - inner)}"/>
  <circle cx="{n(dot_x)}" cy="{n(dot_y)}" r="{n(dot_r)}" fill="{rgb(RED)}"/>
  <circle cx="{n(glint_x)}" cy="{n(glint_y)}" r="{n(glint_r)}" fill="#ffffff" fill-opacity="{LOGO_GLINT_COLOUR[3] / 255:.3f}"/>
</svg>
"""


ICONS = {
    "red.png": (64, record_dot(RED, RED_LIGHT)),
    "green.png": (64, record_dot(GREEN, GREEN_LIGHT)),
    "mute.png": (64, speaker_muted(WHITE)),
    "speaker-filled-audio-tool.png": (64, speaker_with_waves(WHITE)),
    "folder.png": (64, folder(FOLDER, FOLDER_BACK)),
    "folder-gray.png": (64, folder(GRAY, FOLDER_GRAY_BACK)),
    "restore-down.png": (64, restore_down(WHITE)),
    "restore-down-gray.png": (64, restore_down(GRAY)),
    "quit.png": (64, quit_icon(QUIT)),
    "capture_normal.png": (64, capture_area(GRAY)),
    "capture-hover.png": (64, capture_area(WHITE)),
    "capture-enabled.png": (64, capture_area(ACCENT)),
}
# The application icon: the window and tray take it from the compiled-in resources, the desktop
# from the installed theme folders.
HICOLOR_SIZES = (16, 32, 48, 64, 128, 256)
for _size in HICOLOR_SIZES:
    ICONS[f"icons/hicolor/{_size}x{_size}/apps/torvane.png"] = (_size, logo())
SVG_ICONS = {"icons/hicolor/scalable/apps/torvane.svg": logo_svg}


def main():
    for name, (size, layers) in ICONS.items():
        path = os.path.join(HERE, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        write_png(path, size, render(size, layers))
        print(name)
    for name, draw in SVG_ICONS.items():
        path = os.path.join(HERE, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as out:
            out.write(draw())
        print(name)


if __name__ == "__main__":
    main()
