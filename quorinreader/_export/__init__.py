"""Exports: CSV, NPZ, netCDF, JCAMP-DX, HyperSpy and NeXus files of spectra."""
