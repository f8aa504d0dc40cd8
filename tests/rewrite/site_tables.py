"""Replies of scripted sites to the merged commands, and what the client must see of them.

The site side writes its tables at the fixed columns the daemon reads; the
client side is built here by hand from the same pieces, never by the daemon's rules.
"""

SEPARATOR = "200- +" + "-" * 70 + "+\r\n"
BELOW_TOTALS = "200- +" + "=" * 70 + "+\r\n"
DONE = "200 Command Successful.\r\n"


def pad(s, n):
    return s + " " * max(0, n - len(s))


# --- SITE WHO ------------------------------------------------------------------

def who_user(tag, who, session_id):
    """A user line: activity tag at column 50, the session id from column 80."""
    return pad(pad("200- | " + who, 50) + tag + " " + who + " is around", 80) + str(session_id) + "\r\n"


def shown(user_line):
    """What the client sees of a user line: columns 0 to 79."""
    return user_line[:80] + "\r\n"


def totals(up, down):
    return "200- | Total upload speed:%11sK/s | Total download speed:%11sK/s |\r\n" % (up, down)


def online(n):
    return "200- | %3d User(s) Currently Online%s|\r\n" % (n, " " * 44)


class WhoTable:
    def __init__(self, name, users, up="0.0", down="0.0"):
        self.name, self.users, self.up, self.down = name, users, up, down

    def header(self):
        return ["200- | %s who is online (%d)\r\n" % (self.name, k) for k in range(3)]

    def closing(self):
        return ["200- | %s is a fine site\r\n" % self.name, "200 %s: end of list.\r\n" % self.name]

    def text(self):
        t = "".join(self.header()) + "".join(self.users) + SEPARATOR + totals(self.up, self.down) + BELOW_TOTALS
        t += "200- | %d users on %s\r\n" % (len(self.users), self.name)
        return t + "".join(self.closing())

    def merged(self, users, up, down):
        """Site 0's frame around the user lines the client must see, in order."""
        return (self.header() + [shown(u) for u in users] + [SEPARATOR, totals(up, down), BELOW_TOTALS,
                                                             online(len(users))] + self.closing())


# --- SITE SSWHO ----------------------------------------------------------------

def session_line(text, session_id):
    return "%s-||-%s\r\n" % (text, session_id)


# --- the tops ------------------------------------------------------------------

def top_user(rank, name, group, files, mb, speed):
    """A ranking line: name at 10, group at 23, files at 47, MB at 54, K/s at 65."""
    s = pad("200- [%02d] %s" % (rank, name), 23) + group
    s = pad(pad(pad(s, 47) + str(files), 54) + str(mb) + "MB", 65) + str(speed) + "K/s |"
    return s + "\r\n"


def ranked(rank, name, group, files, mb, speed):
    return "200- | %02d %-12s %.22s %7s %8sMB %6sK/s   |\r\n" % (rank, name, group, files, mb, speed)


def top_header(site, command):
    return ["200- %s: %s\r\n" % (site, command), "200- .-------------------.\r\n"]


def top_closing(site):
    return ["200- `--- %s ---'\r\n" % site, "200 %s: that's all.\r\n" % site]


def top_table(site, command, users):
    return "".join(top_header(site, command) + users + top_closing(site))


# --- SITE STATINFO -------------------------------------------------------------

def statinfo(lines):
    return "".join("200-%s\r\n" % l for l in lines) + "200 STATINFO end\r\n"
