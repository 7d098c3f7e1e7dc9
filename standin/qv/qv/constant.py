"""Constants shared by the SDK and the core library."""

CSDK_OPERATE_SUCCESS = 0
