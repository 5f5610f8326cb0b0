"""Many files as one matrix: folders, globs and lists of paths, and URLs read together."""
