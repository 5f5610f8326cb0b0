"""Maps: the stage grid a series was taken on, and its images."""
