"""Stand-in for the platform's `vq` Python package: only the parts c_sdk uses."""
