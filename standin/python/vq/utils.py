"""Helpers shared with the platform's Python layer."""

import logging

vqsdklogger = logging.getLogger("vqsdk")
