"""Literal Python models of the package's algorithms: the baselines the
benchmarks compare the C++ modules with (run as plain Python, and compiled
by Cython)."""
