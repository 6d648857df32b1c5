"""Reading and writing standard orbit data files."""
