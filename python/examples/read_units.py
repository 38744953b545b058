#!/usr/bin/env python3
"""Reads the values of several units at once and prints them as a table.
usage: read_units.py HOST[:PORT]..."""
import asyncio
import sys

import kalax


async def read(address):
    host, _, port = address.partition(":")
    try:
        async with kalax.Unit(host, int(port or 80)) as unit:
            return address, await unit.values(timeout=10)
    except (kalax.UnitError, TimeoutError) as failure:
        return address, failure


async def main(addresses):
    failed = 0
    print("%-21s %-24s %10s  %s" % ("unit", "item", "value", "units"))
    for address, items in await asyncio.gather(*(read(a) for a in addresses)):
        if isinstance(items, Exception):
            print("%-21s %s" % (address, items))
            failed = 1
            continue
        for item in items:
            print("%-21s %-24s %10s  %s" % (address, item.name, item.value_text, item.units_text))
    return failed


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__.splitlines()[1])
    sys.exit(asyncio.run(main(sys.argv[1:])))
