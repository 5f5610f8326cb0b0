"""What a person sees: the plots of the command line and the notebook's pictures."""
