"""The service's logger."""
import logging
import sys

LOGGER_NAME = "qor.service"
LOG_FORMAT = "%(asctime)s %(levelname)s [%(name)s] %(message)s"


def _build_logger():
    log = logging.getLogger(LOGGER_NAME)
    log.setLevel(logging.INFO)
    # A re-import (or a reload) must not stack a second handler.
    if not any(getattr(h, "_qor_handler", False) for h in log.handlers):
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter(LOG_FORMAT))
        handler._qor_handler = True
        log.addHandler(handler)
    log.propagate = True
    return log


logger = _build_logger()
