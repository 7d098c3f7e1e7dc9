"""Utilities of the SDK; c_sdk needs only the logger."""

import logging

qvsdklogger = logging.getLogger("qvsdk")
