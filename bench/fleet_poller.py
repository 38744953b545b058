#!/usr/bin/env python3
"""A values pass over a fleet of units the way a Python script would poll them:
asyncio streams, one HTTP/1.0 GET per unit on a fresh connection, all units at
once, every answer's head checked and its body parsed with ElementTree into a
dict of element texts. Prints the median, fastest and mean wall time per pass.

The units are bench_fleet's server (bench_fleet --serve); bench/fleet.sh runs
both and sets this beside the library's pass over the same number of units.

    fleet_poller.py --port PORT [--units 98] [--passes 100] [--warmup 10]
"""
import argparse
import asyncio
import statistics
import sys
import time
import xml.etree.ElementTree as ET

REQUEST = b"GET /values.xml HTTP/1.0\r\n\r\n"


async def fetch(host, port):
    reader, writer = await asyncio.open_connection(host, port)
    try:
        writer.write(REQUEST)
        await writer.drain()
        reply = await reader.read()
    finally:
        writer.close()
    head, sep, body = reply.partition(b"\r\n\r\n")
    if not sep or not head.startswith(b"HTTP/") or head[9:12] != b"200":
        raise RuntimeError("no values document in the reply")
    root = ET.fromstring(body)
    return {element.tag: element.text for element in root.iter()}


async def one_pass(host, port, units):
    results = await asyncio.gather(*(fetch(host, port) for _ in range(units)))
    if len(results) != units or not all(results):
        raise RuntimeError("a unit gave no values")


async def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--units", type=int, default=98)
    parser.add_argument("--passes", type=int, default=100)
    parser.add_argument("--warmup", type=int, default=10)
    args = parser.parse_args()
    for _ in range(args.warmup):
        await one_pass(args.host, args.port, args.units)
    walls = []
    for _ in range(args.passes):
        started = time.perf_counter()
        await one_pass(args.host, args.port, args.units)
        walls.append((time.perf_counter() - started) * 1000.0)
    print(f"python asyncio + ElementTree, {args.units} units: pass median {statistics.median(walls):.3f} ms, "
          f"fastest {min(walls):.3f} ms, mean {statistics.fmean(walls):.3f} ms")


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except (OSError, RuntimeError, ET.ParseError) as error:
        print(f"fleet_poller: {error}", file=sys.stderr)
        sys.exit(1)
