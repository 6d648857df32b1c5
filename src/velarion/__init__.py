"""velarion: reference-frame conversions and orbit propagation for many epochs at once."""

__version__ = "0.1.0"
