"""Benchmarks for drisk, run by hand: python -m bench."""
