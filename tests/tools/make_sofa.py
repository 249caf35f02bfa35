#!/usr/bin/python3
"""Writes small SOFA (AES69) SimpleFreeFieldHRIR files for the SOFA reader's tests.

make_sofa.py OUTPUT_DIR writes:
  grid.sofa      measurements every 30 degrees of azimuth at elevation 0 and every 90 at
                 +-60 (20 directions), 48 kHz, 64 frames; measurement m's left response is
                 an impulse at frame m + 1 and its right response one at frame m + 30, so a
                 response names its measurement.
  delayed.sofa   the same directions with impulses at frame 0 and a Data.Delay of 5 (left)
                 and 9 (right) frames for all measurements.
  one_ear.sofa   the grid with a single receiver.
"""
import sys
import numpy as np
from netCDF4 import Dataset


def directions():
    d = [(az, 0.0) for az in range(0, 360, 30)]
    d += [(az, 60.0) for az in range(0, 360, 90)]
    d += [(az, -60.0) for az in range(0, 360, 90)]
    return d


def write(path, ir, delay, receivers=2, rate=48000.0):
    m, r, n = ir.shape
    f = Dataset(path, "w", format="NETCDF4")
    attrs = {
        "Conventions": "SOFA", "Version": "1.0", "SOFAConventions": "SimpleFreeFieldHRIR",
        "SOFAConventionsVersion": "1.0", "APIName": "test", "APIVersion": "1.0",
        "AuthorContact": "test", "Organization": "test", "License": "none", "DataType": "FIR",
        "RoomType": "free field", "Title": "test set", "DateCreated": "2026-01-01 00:00:00",
        "DateModified": "2026-01-01 00:00:00", "ListenerShortName": "test",
    }
    for k, v in attrs.items():
        setattr(f, k, v)
    for name, size in (("I", 1), ("C", 3), ("R", r), ("E", 1), ("N", n), ("M", m), ("S", 0)):
        f.createDimension(name, size)

    def var(name, dims, values, **a):
        v = f.createVariable(name, "f8", dims)
        v[:] = values
        for k, val in a.items():
            setattr(v, k, val)

    var("ListenerPosition", ("I", "C"), [[0, 0, 0]], Type="cartesian", Units="metre")
    var("ListenerUp", ("I", "C"), [[0, 0, 1]], Type="cartesian", Units="metre")
    var("ListenerView", ("I", "C"), [[1, 0, 0]], Type="cartesian", Units="metre")
    ears = [[0, 0.09, 0], [0, -0.09, 0]][:r]
    var("ReceiverPosition", ("R", "C", "I"), np.array(ears).reshape(r, 3, 1), Type="cartesian", Units="metre")
    var("EmitterPosition", ("E", "C", "I"), np.zeros((1, 3, 1)), Type="cartesian", Units="metre")
    src = [[az, el, 1.5] for az, el in directions()]
    var("SourcePosition", ("M", "C"), src, Type="spherical", Units="degree, degree, metre")
    var("Data.IR", ("M", "R", "N"), ir)
    var("Data.SamplingRate", ("I",), [rate], Units="hertz")
    var("Data.Delay", ("I", "R"), [delay[:r]])
    f.close()


def main():
    out = sys.argv[1]
    m, n = len(directions()), 64
    grid = np.zeros((m, 2, n))
    for i in range(m):
        grid[i, 0, i + 1] = 1.0
        grid[i, 1, i + 30] = 1.0
    write(out + "/grid.sofa", grid, [0, 0])
    at_zero = np.zeros((m, 2, n))
    at_zero[:, :, 0] = 1.0
    write(out + "/delayed.sofa", at_zero, [5, 9])
    write(out + "/one_ear.sofa", grid[:, :1, :], [0, 0], receivers=1)


main()
