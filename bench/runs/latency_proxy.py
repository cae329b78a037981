#!/usr/bin/env python3
"""A TCP relay on 127.0.0.1 that adds latency, for measuring fetches as over the internet.

usage: latency_proxy.py TARGET_PORT [DELAY_MS]

Listens on a free port of 127.0.0.1 (printed on the first line of stdout) and relays every
connection to 127.0.0.1:TARGET_PORT. Each chunk is passed on DELAY_MS (default 10) after it
arrived, in each direction, in order: a round trip takes 2 * DELAY_MS longer, the throughput
is not limited.
"""
import asyncio
import socket
import sys


async def relay(reader, writer, delay):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def send():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                try:
                    writer.write_eof()
                except (OSError, RuntimeError):
                    pass
                return
            writer.write(data)
            await writer.drain()

    sender = asyncio.ensure_future(send())
    try:
        while True:
            data = await reader.read(256 * 1024)
            queue.put_nowait((loop.time() + delay, data))
            if not data:
                break
        await sender
    except (OSError, asyncio.CancelledError):
        sender.cancel()
    finally:
        writer.close()


async def main():
    target = int(sys.argv[1])
    delay = (float(sys.argv[2]) if len(sys.argv) > 2 else 10.0) / 1000.0

    async def accept(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target)
        except OSError:
            client_writer.close()
            return
        for w in (client_writer, server_writer):
            w.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        await asyncio.gather(relay(client_reader, server_writer, delay), relay(server_reader, client_writer, delay),
                             return_exceptions=True)

    server = await asyncio.start_server(accept, "127.0.0.1", 0, backlog=128)
    print(server.sockets[0].getsockname()[1], flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
