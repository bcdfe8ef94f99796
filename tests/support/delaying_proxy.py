#!/usr/bin/env python3
"""A TCP proxy on loopback that holds every chunk for a fixed time in each direction, so
that a server on the same machine answers as if it were far away.

    delaying_proxy.py --target HOST:PORT --delay-ms 25 --port-file FILE [--accept-log FILE]
                      [--rate BYTES_PER_SECOND]

It listens on a free loopback port and writes the number to --port-file once it accepts
connections. With --delay-ms 25 a round trip takes 50 ms more; the bandwidth stays that of
loopback (chunks are delivered at their due time, not one delay after the other), unless
--rate gives the link's speed: then each direction carries at most that many bytes a second,
shared by all connections, as one line to the server would. Every accepted connection appends
one line to --accept-log, so tests can count connections.
"""

import argparse
import asyncio
import os

CHUNK = 65536
QUEUED_CHUNKS = 256  # bounds the bytes held in flight per direction (16 MiB)


class Link:
    """One direction of the line: when it is free again, at rate bytes a second (0: unlimited)."""

    def __init__(self, rate):
        self.rate = rate
        self.free_at = 0.0

    def due(self, now, size, delay):
        if not self.rate:
            return now + delay
        self.free_at = max(self.free_at, now) + size / self.rate
        return self.free_at + delay


async def carry(reader, writer, delay, link):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue(QUEUED_CHUNKS)

    async def deliver():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            writer.write(data)
            await writer.drain()

    delivering = asyncio.create_task(deliver())
    try:
        while True:
            data = await reader.read(CHUNK)
            await queue.put((link.due(loop.time(), len(data), delay), data))
            if not data:
                break
        await delivering
    except (ConnectionError, OSError):
        delivering.cancel()


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--target", required=True)
    parser.add_argument("--delay-ms", type=float, default=25.0)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--accept-log", default="")
    parser.add_argument("--rate", type=float, default=0.0)
    args = parser.parse_args()
    host, port = args.target.rsplit(":", 1)
    delay = args.delay_ms / 1000.0
    upstream, downstream = Link(args.rate), Link(args.rate)

    async def accepted(client_reader, client_writer):
        if args.accept_log:
            with open(args.accept_log, "a") as log:
                log.write("accepted\n")
        try:
            server_reader, server_writer = await asyncio.open_connection(host, int(port))
        except OSError:
            client_writer.close()
            return
        try:
            await asyncio.gather(carry(client_reader, server_writer, delay, upstream),
                                 carry(server_reader, client_writer, delay, downstream))
        finally:
            for writer in (client_writer, server_writer):
                writer.close()

    server = await asyncio.start_server(accepted, "127.0.0.1", 0)
    temporary = args.port_file + ".tmp"
    with open(temporary, "w") as f:
        f.write("%d\n" % server.sockets[0].getsockname()[1])
    os.rename(temporary, args.port_file)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main())
