"""A slow network link on loopback, for bench.py: forwards TCP connections
from its own ports to servers' ports, at most RATE bytes a second in each
direction, shared by every connection, as one line of that speed would be.

    python3 link.py --rate BYTES_A_SECOND [--delay SECONDS] --log FILE LISTEN:TARGET...

It prints "ready" once it listens on every LISTEN port, or exits with code 3
if one was taken. It appends to FILE "open LISTEN" for each connection it
accepts and "close LISTEN DOWN UP" once it is over: the bytes it carried
towards the client and towards the server.

With --delay every byte arrives that much later in each direction (one
way; a round trip is twice it), in order, and a connection becomes usable
one round trip after it is opened, as over TCP: a request costs a round trip
on top of its bytes, as on a player's line.

Why not the servers' own limits: nginx's limit_rate lets every response send
a second's worth at once (6 MB at 50 Mbit/s) before it holds back, so files
smaller than that would cross at loopback speed; and a link shared by all
connections is what a player has, where the per-connection limits of nginx
and rsync are not the same thing.

Loopback sockets buffer megabytes, which a real line does not: a server
would count as sent, and a killed client would never get, far more than the
bytes in flight on a line. The link keeps its own sockets' buffers small
(and nginx's port for the link has a small send buffer), so that what the
server has sent and the client has not received stays near what a 50 Mbit/s
line with a few tens of milliseconds of delay holds.
"""

import argparse
import asyncio
import socket
import sys

# Small enough that the link's pace is smooth (2.6 ms at 50 Mbit/s), large
# enough that Python keeps up.
CHUNK = 16 * 1024
SOCKET_BUFFER = 64 * 1024


class Direction:
    """One direction of the link: a queue in which each chunk is sent once
    the ones before it have been, at the link's rate."""

    def __init__(self, rate):
        self.rate = rate
        self.free_at = 0.0

    async def carry(self, size):
        """Waits until a chunk of `size` bytes has left; returns when.

        The event loop wakes a little after each chunk has left, and one
        connection reads its next chunk only then: counting the line idle
        for that lag would hold a lone connection to two thirds of the rate
        (measured: 4.2 of 6.25 MB/s), which a real line does not. So a line
        busy until a moment ago (two chunks' time) goes on from where it
        was, as a shaper with a small burst does."""
        loop = asyncio.get_running_loop()
        now = loop.time()
        self.free_at = max(now - 2 * CHUNK / self.rate, self.free_at) + size / self.rate
        await asyncio.sleep(self.free_at - now)
        return self.free_at


async def pump(reader, writer, direction, counter, index, delay):
    """Reads chunks as they come and delivers each `delay` after it left:
    the line holds what is in flight, in order."""
    loop = asyncio.get_running_loop()
    flight = asyncio.Queue()

    async def deliver():
        while True:
            at, data = await flight.get()
            if data is None:
                return
            await asyncio.sleep(max(0.0, at - loop.time()))
            writer.write(data)
            await writer.drain()
            counter[index] += len(data)

    delivering = asyncio.ensure_future(deliver())
    try:
        while True:
            data = await reader.read(CHUNK)
            if not data:
                break
            left = await direction.carry(len(data))
            await flight.put((left + delay, data))
        await flight.put((0.0, None))
        await delivering
    except (ConnectionError, OSError):
        return
    finally:
        delivering.cancel()


async def connect(target):
    loop = asyncio.get_running_loop()
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, SOCKET_BUFFER)
    sock.setblocking(False)
    try:
        await loop.sock_connect(sock, ("127.0.0.1", target))
    except OSError:
        sock.close()
        raise
    return await asyncio.open_connection(sock=sock)


async def serve(listen, target, down, up, log, delay):
    def note(line):
        with open(log, "a") as out:
            out.write(line + "\n")

    async def connection(client_reader, client_writer):
        client_writer.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF,
                                                          SOCKET_BUFFER)
        note(f"open {listen}")
        counter = [0, 0]
        # The handshake: the client's first bytes go out a round trip after
        # it connected.
        if delay > 0:
            await asyncio.sleep(2 * delay)
        try:
            server_reader, server_writer = await connect(target)
        except OSError:
            client_writer.close()
            note(f"close {listen} 0 0")
            return
        pumps = [asyncio.ensure_future(pump(server_reader, client_writer, down, counter, 0, delay)),
                 asyncio.ensure_future(pump(client_reader, server_writer, up, counter, 1, delay))]
        # Neither HTTP nor rsync half-closes: once either side is done, so is
        # the connection. The server learns at once of a client that went
        # away (as it would from a reset on a line), and logs it.
        await asyncio.wait(pumps, return_when=asyncio.FIRST_COMPLETED)
        for task in pumps:
            task.cancel()
        await asyncio.gather(*pumps, return_exceptions=True)
        server_writer.transport.abort()
        client_writer.close()
        note(f"close {listen} {counter[0]} {counter[1]}")

    return await asyncio.start_server(connection, "127.0.0.1", listen)


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rate", type=float, required=True)
    parser.add_argument("--delay", type=float, default=0.0)
    parser.add_argument("--log", required=True)
    parser.add_argument("forwards", nargs="+")
    args = parser.parse_args()
    down, up = Direction(args.rate), Direction(args.rate)
    servers = []
    try:
        for forward in args.forwards:
            listen, target = (int(port) for port in forward.split(":"))
            servers.append(await serve(listen, target, down, up, args.log, args.delay))
    except OSError:
        sys.exit(3)
    print("ready", flush=True)
    await asyncio.gather(*(server.serve_forever() for server in servers))


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
