"""Packages that corvessa carries with it."""
