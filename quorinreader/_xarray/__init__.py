"""xarray: the Dataset of a file, its lazy arrays, and its axes on a map."""
