"""Memory of one engine, measured in a fresh process so no freed memory is reused.

    python3 bench/memory.py ours|peer TOOLS COPIES

prints {"per_copy": bytes, "threads": n} : the growth of the resident set of the
whole process (all its threads, from /proc/self/statm) per engine while COPIES
engines built from the same catalogue text are alive at once. run.py calls it.
"""

from __future__ import annotations

import gc
import json
import pathlib
import sys
import threading
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from catalogue import Tool, catalogue_json, make_tools  # noqa: E402
from timing import rss_bytes  # noqa: E402


def main() -> None:
    who, tools, copies = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    text = catalogue_json(make_tools(tools))
    if who == "ours":
        from _graphql import SchemaEngine

        def build():
            return SchemaEngine(text)
    else:
        import peer

        def build():
            records = [Tool(d["server"], d["name"], d["description"], d["readOnly"])
                       for d in json.loads(text)]
            return peer.build_schema(records)

    gc.collect()
    before = rss_bytes()
    kept = [build() for _ in range(copies)]
    time.sleep(0.05)  # engine threads reach their idle wait
    gc.collect()
    grown = rss_bytes() - before
    with open("/proc/self/status") as status:
        threads = next(int(line.split()[1]) for line in status if line.startswith("Threads:"))
    print(json.dumps({"per_copy": grown / copies, "threads": threads - threading.active_count()}))
    del kept


if __name__ == "__main__":
    main()
