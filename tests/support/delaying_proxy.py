#!/usr/bin/env python3
"""A TCP proxy on loopback that holds every chunk for a fixed time in each direction, so
that a server on the same machine answers as if it were far away.

    delaying_proxy.py --target HOST:PORT --delay-ms 25 --port-file FILE [--accept-log FILE]

It listens on a free loopback port and writes the number to --port-file once it accepts
connections. With --delay-ms 25 a round trip takes 50 ms more; the bandwidth stays that of
loopback (chunks are delivered at their due time, not one delay after the other). Every
accepted connection appends one line to --accept-log, so tests can count connections.
"""

import argparse
import asyncio
import os

CHUNK = 65536
QUEUED_CHUNKS = 256  # bounds the bytes held in flight per direction (16 MiB)


async def carry(reader, writer, delay):
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
            await queue.put((loop.time() + delay, data))
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
    args = parser.parse_args()
    host, port = args.target.rsplit(":", 1)
    delay = args.delay_ms / 1000.0

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
            await asyncio.gather(carry(client_reader, server_writer, delay),
                                 carry(server_reader, client_writer, delay))
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
