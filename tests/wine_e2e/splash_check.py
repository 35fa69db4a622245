#!/usr/bin/env python3
"""Checks a screenshot of the launcher's splash: the 582x166 picture centred on the screen,
dark text on line 1, and on line 2 dark text only (dark) or red text (red: not found, or no
burning support).

    splash_check.py SCREEN.ppm SPLASH.ppm dark|red [OTHER.ppm]
    with OTHER (a screenshot of the splash showing other text): line 2 must differ from it
    exit 0: it holds; 1: the splash shows something else; 3: no centred splash
"""
import sys

WIDTH, HEIGHT = 582, 166
TEXT_TOP = 148  # the two lines start at y 150 of the picture
LINE1 = (25, 245)
LINE2 = (250, WIDTH)


def read_ppm(path):
    with open(path, "rb") as f:
        data = f.read()
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos)
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    if fields[0] != b"P6" or fields[3] != b"255":
        raise SystemExit(f"{path}: not an 8-bit P6 picture")
    w, h = int(fields[1]), int(fields[2])
    return w, h, data[pos + 1:pos + 1 + w * h * 3]


def main():
    screen_path, splash_path, expect = sys.argv[1:4]
    other = read_ppm(sys.argv[4]) if len(sys.argv) > 4 else None
    sw, sh, screen = read_ppm(screen_path)
    bw, bh, picture = read_ppm(splash_path)
    assert (bw, bh) == (WIDTH, HEIGHT), (bw, bh)
    ox, oy = (sw - WIDTH) // 2, (sh - HEIGHT) // 2

    def at(x, y):
        i = ((oy + y) * sw + ox + x) * 3
        return screen[i], screen[i + 1], screen[i + 2]

    def pic(x, y):
        i = (y * WIDTH + x) * 3
        return picture[i], picture[i + 1], picture[i + 2]

    # Centred: above the text the screen holds the picture itself.
    differing = sum(1 for y in range(TEXT_TOP) for x in range(WIDTH)
                    if sum(abs(a - b) for a, b in zip(at(x, y), pic(x, y))) > 60)
    if differing > WIDTH * TEXT_TOP // 100:
        print(f"no centred splash: {differing} pixels differ from the picture")
        return 3

    def count(span, test):
        return sum(1 for y in range(TEXT_TOP, HEIGHT) for x in range(*span)
                   if test(at(x, y)) and not test(pic(x, y)))

    def dark(p):
        return max(p) < 90

    def red(p):
        return p[0] > 150 and p[1] < 90 and p[2] < 90

    line1, line2, line2_red = count(LINE1, dark), count(LINE2, dark), count(LINE2, red)
    summary = f"centred at {ox},{oy}; line 1: {line1} dark; line 2: {line2} dark, {line2_red} red"
    changed = None
    if other is not None:
        ow, _, pixels = other
        assert ow == sw

        def then(x, y):
            i = ((oy + y) * sw + ox + x) * 3
            return pixels[i], pixels[i + 1], pixels[i + 2]

        changed = sum(1 for y in range(TEXT_TOP, HEIGHT) for x in range(*LINE2)
                      if sum(abs(a - b) for a, b in zip(at(x, y), then(x, y))) > 60)
        summary += f"; {changed} pixels of line 2 changed"
    print(summary)
    ok = line1 > 20
    if expect == "dark":
        ok = ok and line2 > 20 and line2_red == 0
    else:
        ok = ok and line2_red > 20
    if changed is not None:
        ok = ok and changed > 20
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
