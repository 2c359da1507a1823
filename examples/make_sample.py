"""Writes the project's sample plot files: examples/sample_w12.plt (fields of 12 bytes, values
with 6 significant digits) and examples/sample_w15.plt (15 bytes, 9 digits).

Twelve parameters on line 1: the time and eleven signals of a small motor drive starting up
from rest, 401 time steps of 0.5 ms (0 to 0.2 s). Each block is a header line and two data
lines (ten fields, then two). The step resolves the fastest signals (50 Hz supply, 100 Hz
torque ripple) with 20 samples or more a period, and the periodic signals carry a phase so
that no sample falls on a zero crossing (which would print rounding noise such as 1E-14).

Run from anywhere: python3 examples/make_sample.py [DIR]   (DIR: where to write; default examples/)
"""

from __future__ import annotations

import math
import pathlib
import sys
from dataclasses import dataclass

HERE = pathlib.Path(__file__).resolve().parent

NAMES = [
    "TIME", "SPEED", "TORQUE", "CURRENT", "VOLTAGE", "TEMP_WINDING", "TEMP_CASE",
    "POSITION", "ERROR", "DUTY", "FLUX", "LOSSES",
]
STEPS = 401
DT = 0.5e-3  # s
SUPPLY_HZ = 50.0
SUPPLY_PHASE = 0.3  # rad; not a multiple of the 9 degrees the supply turns a step
CURRENT_LAG = 0.55  # rad behind the voltage


@dataclass(frozen=True)
class Drive:
    """The few numbers that make one start-up differ from another."""

    speed_rpm: float = 1480.0  # speed reached at the end
    tau_s: float = 0.04  # mechanical time constant of the start
    start_torque: float = 42.0  # N m spent on accelerating, at the start
    load_torque: float = 5.1  # N m of load at full speed


def signals(t: float, drive: Drive = Drive()) -> list[float]:
    """The time and the eleven signals at time t, in the order of NAMES."""
    rise = 1.0 - math.exp(-t / drive.tau_s)
    ripple = math.sin(2 * math.pi * 2 * SUPPLY_HZ * t + 0.5)  # torque ripple at twice the supply
    torque = drive.start_torque * math.exp(-t / drive.tau_s) + drive.load_torque * rise
    amplitude = 2.0 + 0.35 * torque  # A; the current follows the torque
    angle = 2 * math.pi * SUPPLY_HZ * t + SUPPLY_PHASE
    flux = 0.93 * (1.0 - math.exp(-t / 0.004))  # Wb, magnetising
    if t >= 0.15:  # field weakening near full speed
        flux -= 0.15 * (1.0 - math.exp(-(t - 0.15) / 0.004))
    speed = rise * (drive.speed_rpm + 3.2 * ripple)
    return [
        t,
        speed,  # rpm
        torque + 0.4 * ripple,  # N m
        amplitude * math.sin(angle - CURRENT_LAG),  # A, one phase
        230.0 * math.sqrt(2) * math.sin(angle),  # V, the same phase
        25.0 + 35.0 * (1.0 - math.exp(-t / 0.12)),  # winding temperature, degC
        25.0 + 8.0 * (1.0 - math.exp(-t / 0.5)),  # case temperature, degC
        # rad: the integral of the speed without its ripple
        2 * math.pi / 60 * drive.speed_rpm * (t - drive.tau_s * rise),
        1.0e-3 * math.exp(-t / 0.012) * math.cos(2 * math.pi * 60 * t + 0.4),  # rad, settles by decades
        min(0.95, 0.1 + 6.0 * t),  # PWM duty cycle, ramp-limited
        flux,
        0.9 * amplitude**2 + 0.01 * speed + 40.0 * flux**2,  # W: copper, friction, iron
    ]


def field(value: float, width: int) -> str:
    digits = 5 if width == 12 else 8  # digits after the point: 6 or 9 significant digits
    if abs(value) < 1e-99:  # a three-digit exponent would not fit: written as zero
        value = 0.0
    return f"{value:.{digits}E}".rjust(width)


def write_sample(path: pathlib.Path, width: int, steps: int = STEPS, dt: float = DT,
                 drive: Drive = Drive(), title: str = "TOLVANE SAMPLE PLOT FILE  DRIVE START") -> None:
    lines = [f" {title}   {len(NAMES)}"]
    lines += [f" {i + 1:4d}  {name}" for i, name in enumerate(NAMES)]
    for step in range(steps):
        values = signals(step * dt, drive)
        lines.append(f" STEP {step + 1:6d}")
        for start in range(0, len(values), 10):
            lines.append("".join(field(v, width) for v in values[start:start + 10]))
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")


def main(argv: list[str]) -> None:
    folder = pathlib.Path(argv[0]) if argv else HERE
    for width in (12, 15):
        path = folder / f"sample_w{width}.plt"
        write_sample(path, width)
        print(f"wrote {path}")


if __name__ == "__main__":
    main(sys.argv[1:])
