"""Files for the tests of the exports that other tools read."""
from spectra_files import series


def holey_map(tmp_path):
    """A 3 × 2 grid of stage positions, 10 apart, whose last pixel was never taken."""
    where = [(0.0, 0.0), (10.0, 0.0), (20.0, 0.0), (20.0, 10.0), (10.0, 10.0)]
    values = [[float(k), float(k) + 0.5, -1.0] for k in range(5)]
    return series(tmp_path, spectra=values, mini=[{"x_position": x, "y_position": y} for x, y in where],
                  name="holey.spa").path
