"""Spectra as NumPy arrays: any spectrum or series file, loaded or memory-mapped."""
