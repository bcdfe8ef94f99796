"""The cases of bench/run, one file each, and what they share (harness.py)."""
