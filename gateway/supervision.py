"""How a server that went down is brought back: the waits between attempts, and when a remote one is checked.

The waits grow exponentially to a bound, each with random jitter so that servers
that fell together (a laptop waking, a shared dependency restarting) do not all
come back in the same instant; a server that stayed up long enough starts from
the first wait again.
"""

import random
import time
from dataclasses import dataclass

FIRST_WAIT = 0.5  # seconds before the first attempt to bring a server back
MOST_WAIT = 30.0  # the longest wait between attempts
HEALTHY_AFTER = 60.0  # seconds up after which a server's next failure starts the waits over
PING_EVERY = 10.0  # seconds between pings of a remote server
JITTER = 0.25  # each wait is drawn from [wait * (1 - JITTER), wait * (1 + JITTER)]


@dataclass(frozen=True)
class Supervision:
    first_wait: float = FIRST_WAIT
    most_wait: float = MOST_WAIT
    healthy_after: float = HEALTHY_AFTER
    ping_every: float = PING_EVERY
    restart: bool = True  # False: a server that goes down stays down


class Backoff:
    """The wait before each attempt: first_wait, doubling to most_wait, jittered; reset by health."""

    def __init__(self, supervision: Supervision, rng: random.Random | None = None) -> None:
        self.supervision = supervision
        self.failures = 0
        self._rng = rng or random.Random()
        self._up_since: float | None = None

    def came_up(self) -> None:
        self._up_since = time.monotonic()

    def next_wait(self) -> float:
        """The wait before the next attempt, after a failure."""
        s = self.supervision
        if self._up_since is not None and time.monotonic() - self._up_since >= s.healthy_after:
            self.failures = 0
        self._up_since = None
        wait = min(s.most_wait, s.first_wait * 2.0 ** min(self.failures, 62))
        self.failures += 1
        return min(s.most_wait, wait * self._rng.uniform(1 - JITTER, 1 + JITTER))
