"""One scripted site in a process of its own, serving a root listing held in
memory: the benchmark's client then shares no interpreter lock with the sites.

Usage: listing_site.py ENTRIES SITE_INDEX whole|midline [SEGMENT_BYTES]
Site SITE_INDEX (0-2) of data_peers.three_listings(ENTRIES). `whole` writes
the listing in segments of whole lines of about SEGMENT_BYTES each; `midline`
in segments of exactly SEGMENT_BYTES, which end inside a line. Prints the
port on standard output, serves until standard input closes.
"""

import os
import socket
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "data"))
from data_peers import ListingScript, three_listings  # noqa: E402
from ferry_harness import WAIT, ScriptedSite  # noqa: E402


class SegmentScript(ListingScript):
    """A ListingScript whose data side sends the given segments, one send each."""

    def __init__(self, parts):
        super().__init__("", pause=0)
        self.parts = parts

    def _serve(self, session):
        session.send("150 Here comes the directory listing.\r\n")
        try:
            listener = getattr(session, "data_listener", None)
            if listener is not None:
                listener.settimeout(WAIT)
                conn, _ = listener.accept()
                listener.close()
                session.data_listener = None
            else:
                conn = socket.create_connection(session.data_target, timeout=WAIT)
            with conn:
                for part in self.parts:
                    conn.sendall(part)
        except OSError:
            pass
        session.send("226 Directory send OK.\r\n")


def segments(listing, mode, size):
    if mode == "midline":
        return [listing[pos:pos + size] for pos in range(0, len(listing), size)]
    out, start = [], 0
    while start < len(listing):
        if start + size >= len(listing):
            end = len(listing)
        else:
            # The last line end within the segment, or the first after it for a longer line.
            end = listing.rfind(b"\n", start, start + size)
            if end < 0:
                end = listing.find(b"\n", start + size)
            end = len(listing) if end < 0 else end + 1
        out.append(listing[start:end])
        start = end
    return out


def main():
    entries, index, mode = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
    size = int(sys.argv[4]) if len(sys.argv) > 4 else 1 << 16
    listing = three_listings(entries)[0][index].encode("latin-1")
    site = ScriptedSite("site%d" % index, script=SegmentScript(segments(listing, mode, size)).script())
    print(site.port, flush=True)
    sys.stdin.read()
    site.close()


if __name__ == "__main__":
    main()
