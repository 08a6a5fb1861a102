"""A bound on the bytes of tool replies the gateway holds for queries in flight.

A reply handed to the engine stays in memory until the query that asked for
it has built its response. The engine's calls do not say which query they
belong to, so a reply is counted until every query that was running when it
arrived has ended: never less than what is held, sometimes more while a long
query runs beside others. A reply that would take the total over the bound
fails its field instead of being held.

Used on the event loop only (the queries start and end there, the replies
arrive there): no locks.
"""

from collections import deque

DEFAULT_REPLY_BYTES = 256 << 20


class ReplyBudget:
    def __init__(self, limit: int = DEFAULT_REPLY_BYTES) -> None:
        self.limit = limit
        self.held = 0
        self._started = 0  # queries started so far; each one's number is its place in that order
        self._running: set[int] = set()
        # (the newest query running when the reply came, its bytes), oldest first
        self._replies: deque[tuple[int, int]] = deque()

    def started(self) -> int:
        """A query begins; returns its number, for ended()."""
        self._started += 1
        self._running.add(self._started)
        return self._started

    def ended(self, query: int) -> None:
        """A query has its response: the replies only it and older queries could hold are freed."""
        self._running.discard(query)
        oldest = min(self._running, default=self._started + 1)
        while self._replies and self._replies[0][0] < oldest:
            self.held -= self._replies.popleft()[1]

    def take(self, size: int) -> bool:
        """Counts a reply of `size` bytes about to be held; False (nothing counted) when it would
        take the total over the bound. A reply that no counted query can hold (an engine used
        directly) is not counted."""
        if not self._running:
            return True
        if self.held + size > self.limit:
            return False
        self.held += size
        self._replies.append((self._started, size))
        return True
