"""Writes the project's sample plot files: examples/sample_w12.plt (fields of 12 bytes, values
with 6 significant digits) and examples/sample_w15.plt (15 bytes, 9 digits).

Twelve parameters (time plus eleven signals of a small damped drive train), 200 time steps:
each block is a header line and two data lines (ten fields, then two).
"""

import math
import pathlib

HERE = pathlib.Path(__file__).resolve().parent

NAMES = [
    "TIME", "SPEED", "TORQUE", "CURRENT", "VOLTAGE", "TEMP_WINDING", "TEMP_CASE",
    "POSITION", "ERROR", "DUTY", "FLUX", "LOSSES",
]


def signals(t):
    drive = 1.0 - math.exp(-t / 0.35)
    ripple = math.sin(2 * math.pi * 7.5 * t)
    return [
        t,
        1480.0 * drive + 3.2 * ripple,                      # speed, rpm
        42.0 * math.exp(-t / 0.2) + 5.1 + 0.4 * ripple,     # torque, N m
        -18.5 * math.cos(2 * math.pi * 50 * t) * drive,     # current, A (negative half waves)
        230.0 * math.sqrt(2) * math.sin(2 * math.pi * 50 * t),
        25.0 + 60.0 * (1 - math.exp(-t / 1.8)),             # winding temperature, degC
        25.0 + 21.0 * (1 - math.exp(-t / 4.0)),
        0.5 * t * t,                                        # position, rad
        1.0e-3 * math.exp(-t / 0.05) * ripple,              # control error, decaying by decades
        min(1.0, 0.2 + t),                                  # duty cycle
        0.0 if t < 0.1 else 0.93,                           # flux, switched on at 0.1 s
        3.0e4 * drive * drive,                              # losses, W
    ]


def field(value, width):
    digits = 5 if width == 12 else 8  # digits after the point: 6 or 9 significant digits
    return f"{value:.{digits}E}".rjust(width)


def write_sample(path, width, steps=200, dt=0.01):
    lines = [f" TOLVANE SAMPLE PLOT FILE  DRIVE TRAIN   {len(NAMES)}"]
    lines += [f" {i + 1:4d}  {name}" for i, name in enumerate(NAMES)]
    for step in range(steps):
        values = signals(step * dt)
        lines.append(f" STEP {step + 1:6d}")
        for start in range(0, len(values), 10):
            lines.append("".join(field(v, width) for v in values[start:start + 10]))
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")


def main():
    for width in (12, 15):
        path = HERE / f"sample_w{width}.plt"
        write_sample(path, width)
        print(f"wrote {path}")


if __name__ == "__main__":
    main()
