"""Minimal stand-in for the qv SDK package: just what c_sdk imports.

It lives on the tests' and the demo's path only and is never installed, so it
can never shadow a real qv installation.
"""
