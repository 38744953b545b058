#!/usr/bin/env python3
"""Downloads a unit's data log and appends the lines FILE does not hold yet.
usage: log_to_csv.py HOST[:PORT] FILE"""
import asyncio
import sys

import kalax


async def main(address, path):
    host, _, port = address.partition(":")
    try:
        async with kalax.Log(host, int(port or 80), csv=True) as log:
            size = await log.download(timeout=30)
            added = log.append_to(path)
    except (kalax.UnitError, TimeoutError) as failure:
        print("%s: %s" % (address, failure), file=sys.stderr)
        return 1
    print("%s: %d bytes of log, %d of them new in %s" % (address, size, added, path))
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__.splitlines()[1])
    sys.exit(asyncio.run(main(sys.argv[1], sys.argv[2])))
