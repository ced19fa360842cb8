"""Stands for a third-party library: it knows nothing of tarnwick and logs through `logging`."""

import logging

log = logging.getLogger("payments.client")


def charge(user, cents):
    log.info("charging %s %d cents", user, cents, extra={"currency": "EUR"})
    log.debug("dropped: the root level is info")


def refund(user, cents):
    if cents < 0:
        raise ValueError(f"refund of {cents} cents for {user}")
    log.info("refunded %s", user)
