"""Constants shared with the platform's Python layer."""

CSDK_OPERATE_SUCCESS = 0
