"""vestrel: a written script turned into a vertical short-video edit in DaVinci Resolve."""

__version__ = "0.1.0"
