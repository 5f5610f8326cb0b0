"""Reading one file: its sources, layout, arrays, remote bytes and errors, and the Spectra type."""
