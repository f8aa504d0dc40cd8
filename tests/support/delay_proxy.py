"""A TCP proxy that makes a site on this machine look far away: it holds its
own connect to the site for DELAY ms and every chunk DELAY ms each way, in
order, half-closes passed on.

As a program: delay_proxy.py DELAY_MS TARGET_PORT [DATA_FROM DATA_TO COUNT]
prints the control port it listens on, then serves until its standard input
closes. With the data triple it also forwards ports DATA_FROM+i to the
site's DATA_TO+i (its passive ports) with the same delays.
As a module: DelayProxy starts that program and stops it by its pid.
"""

import asyncio
import os
import socket
import subprocess
import sys

HOST = "127.0.0.1"


async def pump(reader, writer, delay):
    queue = asyncio.Queue()
    loop = asyncio.get_running_loop()

    async def deliver():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:
                try:
                    writer.write_eof()
                except OSError:
                    pass
                return
            writer.write(data)
            await writer.drain()

    sender = asyncio.ensure_future(deliver())
    try:
        while True:
            data = await reader.read(65536)
            queue.put_nowait((loop.time() + delay, data or None))
            if not data:
                break
        await sender
    except (OSError, asyncio.CancelledError):
        sender.cancel()


async def serve_one(client_reader, client_writer, target_port, delay):
    try:
        await asyncio.sleep(delay)
        site_reader, site_writer = await asyncio.open_connection(HOST, target_port)
    except OSError:
        client_writer.close()
        return
    for w in (client_writer, site_writer):
        w.transport.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    await asyncio.gather(pump(client_reader, site_writer, delay), pump(site_reader, client_writer, delay),
                         return_exceptions=True)
    for w in (client_writer, site_writer):
        w.close()


async def main(delay_ms, target_port, data=None):
    delay = delay_ms / 1000.0
    servers = [await asyncio.start_server(lambda r, w: serve_one(r, w, target_port, delay), HOST, 0, backlog=1024)]
    if data:
        first, to, count = data
        for i in range(count):
            servers.append(await asyncio.start_server(
                lambda r, w, p=to + i: serve_one(r, w, p, delay), HOST, first + i, backlog=64, reuse_address=True))
    print(servers[0].sockets[0].getsockname()[1], flush=True)
    loop = asyncio.get_running_loop()
    await loop.run_in_executor(None, sys.stdin.read)
    # Connections still open are simply dropped, without the loop's complaints.
    sys.stdout.flush()
    os._exit(0)


def free_range(count, avoid=()):
    """`count` consecutive ports free now on HOST, outside `avoid` (port ranges)."""
    import random
    for _ in range(200):
        first = random.randrange(20000, 30000)
        if any(a <= first + count and first <= b for a, b in avoid):
            continue
        socks = []
        try:
            for p in range(first, first + count):
                s = socket.socket()
                socks.append(s)
                s.bind((HOST, p))
            return first
        except OSError:
            continue
        finally:
            for s in socks:
                s.close()
    raise RuntimeError("no free port range")


class DelayProxy:
    """delay_proxy.py in a process of its own, in front of `target_port`."""

    def __init__(self, delay_ms, target_port, data=None):
        argv = [sys.executable, os.path.abspath(__file__), str(delay_ms), str(target_port)]
        if data:
            argv += [str(x) for x in data]
        # Its event loop complains to standard error about connections dropped half-way; none of it matters here.
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = self.proc.stdout.readline()
        if not line:
            self.stop()
            raise RuntimeError("delay proxy did not start")
        self.port = int(line)

    def stop(self):
        try:
            self.proc.stdin.close()
            self.proc.wait(timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait(timeout=10)
        self.proc.stdout.close()


if __name__ == "__main__":
    a = sys.argv[1:]
    asyncio.run(main(float(a[0]), int(a[1]), tuple(int(x) for x in a[2:5]) if len(a) >= 5 else None))
