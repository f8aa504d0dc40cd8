"""The installed toolkit, used the way an operator uses it.

The build is installed into a scratch DESTDIR; the installed daemon serves a
real FTP site from the installed sample configuration, C programs build from
the pkg-config flags alone, every manual page renders cleanly and documents
what the code does, and `make uninstall` takes every installed file away.
"""

import ftplib
import glob
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.environ.get("FERRYNET_SOURCE_DIR", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
BUILD = os.environ.get("FERRYNET_BUILD_DIR", os.path.join(SOURCE, "build"))
CMAKE = os.environ.get("CMAKE", "cmake")
CC = os.environ.get("CC") or "cc"
HERE = os.path.dirname(os.path.abspath(__file__))
PREFIX = "/usr/local"
WAIT = 10.0

sys.path.insert(0, os.path.join(SOURCE, "tests", "support"))
from ferry_harness import RealSite, free_port, wait_for  # noqa: E402

MANIFEST = os.path.join(BUILD, "install_manifest.txt")
PAGES = ["man8/ferrynet.8", "man5/ferrynet.conf.5", "man1/lapdump.1", "man3/lapbook.3", "man3/blurbread.3"]
# Directories no other package shares; uninstall removes them once empty.
OWN_DIRS = ["include/lapbook", "include/blurbread", "share/doc/ferrynet"]


def run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=120, **kw)


def install(destdir, prefix):
    env = dict(os.environ, DESTDIR=destdir)
    r = run([CMAKE, "--install", BUILD, "--prefix", prefix], env=env)
    if r.returncode != 0:
        raise RuntimeError("install failed:\n" + r.stdout + r.stderr)
    # The manifest names the files as they will be seen, without DESTDIR.
    with open(MANIFEST) as f:
        return [destdir + line.rstrip("\n") for line in f if line.strip()]


def files_under(root):
    found = []
    for dirpath, dirnames, filenames in os.walk(root):
        for name in filenames + [d for d in dirnames if os.path.islink(os.path.join(dirpath, d))]:
            found.append(os.path.join(dirpath, name))
    return sorted(found)


def built(relpath):
    return os.path.exists(os.path.join(BUILD, relpath))


def render(page, *extra):
    """The page as plain text, unhyphenated, one blank between words."""
    r = run(["groff", "-man", "-Tascii", "-P-cbou", "-rHY=0", "-rLL=200n"] + list(extra) + [page],
            env=dict(os.environ, LC_ALL="C"))
    return r.stdout


def bold_words(page):
    # With overstriking left on, a bold character is "c\bc".
    r = run(["groff", "-man", "-Tascii", "-P-cu", "-rHY=0", page], env=dict(os.environ, LC_ALL="C"))
    bold = re.sub(r"(.)\x08\1", lambda m: "\x01" + m.group(1) + "\x02", r.stdout)
    text = re.sub(r"\x02\x01", "", bold)
    return set(w for run_ in re.findall(r"\x01([^\x02]*)\x02", text) for w in re.findall(r"[\w.-]+", run_))


def one_spaced(text):
    return re.sub(r"\s+", " ", text)


def string_literals(source, call):
    """Format strings in a C or C++ source text that follow the regex `call`
    (a routine's name and the arguments before the format)."""
    found = []
    for m in re.finditer(call + r'\s*((?:"(?:[^"\\]|\\.)*"\s*)+)', source):
        parts = re.findall(r'"((?:[^"\\]|\\.)*)"', m.group(1))
        found.append("".join(parts))
    return found


def format_pattern(fmt):
    """A regex for what a printf format looks like in a manual page, where
    each conversion is shown as a word standing for its value."""
    fmt = fmt.replace("\\n", "").replace('\\"', '"').strip()
    pieces = re.split(r"%[-+ #0-9.*]*(?:l|ll|h|z)?[diouxXfeEgGsc]", fmt)
    return ".+?".join(re.sub(r"(?:\\ )+", r"\\s+", re.escape(p)) for p in pieces)


def setUpModule():
    # Installing rewrites the manifest; an operator's earlier `make install`
    # must still be undoable after the tests ran.
    global saved_manifest
    saved_manifest = None
    if os.path.exists(MANIFEST):
        with open(MANIFEST, "rb") as f:
            saved_manifest = f.read()


def tearDownModule():
    if saved_manifest is None:
        if os.path.exists(MANIFEST):
            os.unlink(MANIFEST)
    else:
        with open(MANIFEST, "wb") as f:
            f.write(saved_manifest)


class InstalledTree(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="ferrynet-install-")
        cls.destdir = os.path.join(cls.tmp, "dest")
        cls.manifest = install(cls.destdir, PREFIX)
        cls.root = cls.destdir + PREFIX

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def path(self, rel):
        return os.path.join(self.root, rel)

    def test_programs_libraries_headers_and_pages_land_in_the_usual_places(self):
        expected = ["sbin/ferrynet", "share/doc/ferrynet/ferrynet.conf", "share/doc/ferrynet/ferrynet.service"]
        expected += ["share/man/" + p for p in PAGES]
        for program in ("lapdump", "racecheck"):
            if built("bin/" + program):
                expected.append("bin/" + program)
        for lib in ("lapbook", "blurbread"):
            if built("lib/lib%s.a" % lib):
                expected += ["lib/lib%s.a" % lib, "include/%s/%s.h" % (lib, lib), "lib/pkgconfig/%s.pc" % lib]
        self.assertIn("lib/libblurbread.a", expected, "the build made no blurbread library")
        for rel in expected:
            self.assertTrue(os.path.isfile(self.path(rel)), rel + " was not installed")
        for program in [r for r in expected if "bin/" in r]:
            self.assertTrue(os.access(self.path(program), os.X_OK), program + " is not executable")
        self.assertEqual(sorted(self.manifest), files_under(self.destdir), "the manifest must list every file")
        self.assertEqual(sorted(self.manifest), sorted(self.path(r) for r in expected))
        with open(os.path.join(SOURCE, "contrib", "ferrynet.conf"), "rb") as a, \
                open(self.path("share/doc/ferrynet/ferrynet.conf"), "rb") as b:
            self.assertEqual(a.read(), b.read())

    def test_pc_files_name_the_install_prefix_not_the_scratch_tree(self):
        for pc in glob.glob(self.path("lib/pkgconfig/*.pc")):
            with open(pc) as f:
                text = f.read()
            self.assertIn("prefix=%s\n" % PREFIX, text, pc)
            self.assertNotIn(self.destdir, text, pc)
            self.assertNotIn(SOURCE, text, pc)
            self.assertNotIn("@", text, pc + " has an unfilled placeholder")

    def pkg_config(self, *args):
        env = dict(os.environ, PKG_CONFIG_LIBDIR=self.path("lib/pkgconfig"), PKG_CONFIG_SYSROOT_DIR=self.destdir)
        env.pop("PKG_CONFIG_PATH", None)
        r = run(["pkg-config"] + list(args), env=env)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout.split()

    def build_c(self, source, lib):
        flags = self.pkg_config("--cflags", "--libs", lib)
        self.assertIn("-I" + self.path("include"), flags)
        out = os.path.join(self.tmp, lib + "_user")
        # -nostdinc would also hide libc; the flags just must not need the source tree.
        r = run([CC, "-std=c11", "-Wall", "-Werror", "-o", out, os.path.join(HERE, source)] + flags, cwd=self.tmp)
        self.assertEqual(r.returncode, 0, "build with %s failed:\n%s" % (" ".join(flags), r.stderr))
        return out

    def test_a_c_program_builds_against_blurbread_with_pkg_config_flags_alone(self):
        program = self.build_c("blurbread_user.c", "blurbread")
        diz = os.path.join(self.tmp, "file.diz")
        with open(diz, "w") as f:
            f.write("Some Release\r\n   [01/12]   \r\n")
        r = run([program, diz])
        self.assertEqual((r.returncode, r.stdout), (0, "12 of 16\n"), r.stderr)

    def test_a_c_program_builds_against_lapbook_with_pkg_config_flags_alone(self):
        if not built("lib/liblapbook.a"):
            self.skipTest("lapbook is not built in this tree")
        program = self.build_c("lapbook_user.c", "lapbook")
        race = os.path.join(self.tmp, "racedata")
        r = run([program, race])
        # The second a.rar supersedes the first; only it reaches updatestats,
        # and the bad b.rar is counted; letter case matters when clearing.
        self.assertEqual((r.returncode, r.stdout), (0, "stats 1 200 bad 1 300 cleared 0\n"), r.stderr)
        with open(race, "rb") as f:
            data = f.read()
        records, at = [], 0
        while at < len(data):
            (length,) = struct.unpack_from("<I", data, at)
            name = data[at + 4:at + 4 + length].rstrip(b"\0")
            status = data[at + 4 + length]
            (size,) = struct.unpack_from("<I", data, at + 4 + length + 53)
            records.append((name, status, size))
            at += 73 + length
        self.assertEqual(at, len(data))
        self.assertEqual(records, [(b"a.rar", 0, 100), (b"a.rar", 2, 200), (b"b.rar", 255, 300)])
        if built("bin/lapdump"):
            r = run([self.path("bin/lapdump"), race])
            self.assertEqual(r.returncode, 0, r.stderr)
            statuses = re.findall(r"Status: ([^-]+?) - ", r.stdout)
            self.assertEqual(statuses, ["Deleted", "Not checked", "BAD"], r.stdout)
            self.assertTrue(r.stdout.endswith("|-[EOF]\n"), r.stdout)

    def test_every_page_renders_without_warnings(self):
        env = dict(os.environ, MANWIDTH="80", LC_ALL="C")
        for page in PAGES:
            path = self.path("share/man/" + page)
            r = run(["man", "--warnings", "-l", path], env=env)
            self.assertEqual((r.returncode, r.stderr), (0, ""), page)
            self.assertGreater(len(r.stdout.splitlines()), 20, page + " rendered almost nothing")
            r = run(["groff", "-man", "-ww", "-z", path], env=env)
            self.assertEqual((r.returncode, r.stderr), (0, ""), page)

    def test_both_daemon_pages_document_every_configuration_key(self):
        with open(os.path.join(SOURCE, "ferrynet", "core", "config.cc")) as f:
            config_source = f.read()
        table = config_source[config_source.index("ConfigKeywordTable[] = {"):]
        table = table[:table.index("};")]
        keys = re.findall(r'_ROW\((\w+)\)', table) + re.findall(r'\{"(\w+)",', table)
        self.assertGreaterEqual(len(keys), 29)
        daemon_page = self.path("share/man/man8/ferrynet.8")
        conf_page = self.path("share/man/man5/ferrynet.conf.5")
        for page in (daemon_page, conf_page):
            missing = [k for k in keys if k not in bold_words(page)]
            self.assertEqual(missing, [], "keys not documented in " + os.path.basename(page))

    def test_the_daemon_page_documents_every_message_of_the_code(self):
        daemon_page = self.path("share/man/man8/ferrynet.8")
        messages = []
        for source in sorted(glob.glob(os.path.join(SOURCE, "ferrynet", "*", "*.cc"))):
            if source.endswith("_test.cc"):
                continue
            with open(source) as f:
                text = f.read()
            messages += string_literals(text, r"\blog_line\('\w',")
            messages += string_literals(text, r"\bfprintf\(stderr,")
        self.assertGreater(len(messages), 20)
        page_text = one_spaced(render(daemon_page))
        missing = [m for m in messages if not re.search(format_pattern(m), page_text)]
        self.assertEqual(missing, [], "messages not documented in ferrynet(8)")

    def test_library_pages_document_every_routine_of_their_headers(self):
        for lib in ("lapbook", "blurbread"):
            header = os.path.join(SOURCE, lib, lib + ".h")
            if not os.path.exists(header):
                continue
            with open(header) as f:
                code = re.sub(r"/\*.*?\*/", "", f.read(), flags=re.S)
            code = "\n".join(line for line in code.splitlines() if not line.lstrip().startswith("#"))
            routines = re.findall(r"\b(\w+)\s*\([^()]*\)\s*;", code)
            data = re.findall(r"extern\s+const[^;]*?\b(\w+)\s*(?:\[[^\]]*\])?\s*;", code)
            self.assertGreater(len(routines), 0, header)
            text = one_spaced(render(self.path("share/man/man3/%s.3" % lib)))
            missing = [r for r in routines if not re.search(r"\b%s\(" % r, text)]
            missing += [d for d in data if not re.search(r"\b%s\b" % d, text)]
            self.assertEqual(missing, [], "not documented in %s(3)" % lib)

    def test_lister_page_shows_every_line_the_lister_prints(self):
        sources = glob.glob(os.path.join(SOURCE, "lapdump", "*.c*"))
        if not sources:
            self.skipTest("lapdump is not in this tree")
        lines = []
        for source in sources:
            with open(source) as f:
                text = f.read()
            for call in (r"\bprintf\(", r"\bfprintf\(\w+,", r"\bsnprintf\(\w+,\s*\w+,", r"\bf?puts\("):
                lines += [s for s in string_literals(text, call) if s.strip("\\n ")]
        self.assertGreater(len(lines), 6)
        text = one_spaced(render(self.path("share/man/man1/lapdump.1")))
        missing = [s for s in lines if not re.search(format_pattern(s), text)]
        self.assertEqual(missing, [], "lines not shown in lapdump(1)")

    def test_installed_daemon_serves_a_site_from_a_copy_of_the_sample_configuration(self):
        work = tempfile.mkdtemp(prefix="run-", dir=self.tmp)
        site_dirs = [os.path.join(work, "site0"), os.path.join(work, "site1")]
        for d, name in zip(site_dirs, ("GAMES", "VCD")):
            os.makedirs(os.path.join(d, name))
        sites, proc = [], None
        try:
            sites = [RealSite(d) for d in site_dirs]
            port = free_port()
            pid_path = os.path.join(work, "ferrynet.pid")
            # Point the sample at the local sites; every other line stays as shipped.
            wanted = {"ip": "127.0.0.1", "port": str(port), "connip": "127.0.0.1",
                      "cycleip": " ".join("127.0.0.1:%d" % s.port for s in sites),
                      "logfile": "ferrynet.log", "pidfile": pid_path, "fork": "no",
                      # The demo sites know no identity line.
                      "bouncemodedown": "c"}
            with open(self.path("share/doc/ferrynet/ferrynet.conf")) as f:
                lines = f.read().splitlines()
            seen = set()
            # Set lines first; a commented-out example line takes the value otherwise.
            for commented in (False, True):
                for i, line in enumerate(lines):
                    if line.startswith("#") != commented:
                        continue
                    key = re.split(r"[ \t]", line[1:] if commented else line, maxsplit=1)[0]
                    if key in wanted and key not in seen:
                        lines[i] = "%s\t%s" % (key, wanted[key])
                        seen.add(key)
            self.assertEqual(sorted(seen), sorted(wanted), "the sample lacks a key an operator has to set")
            conf = os.path.join(work, "ferrynet.conf")
            with open(conf, "w") as f:
                f.write("\n".join(lines) + "\n")

            with open(os.path.join(work, "stdout"), "wb") as out:
                proc = subprocess.Popen([self.path("sbin/ferrynet"), conf], cwd=work, stdout=out,
                                        stderr=subprocess.STDOUT)

            def output():
                with open(os.path.join(work, "stdout"), "rb") as f:
                    return f.read().decode("latin-1")
            self.assertTrue(wait_for(lambda: proc.poll() is not None or "bound to " in output(), WAIT), output())
            self.assertIsNone(proc.poll(), output())

            ftp = ftplib.FTP()
            ftp.connect("127.0.0.1", port, timeout=WAIT)
            ftp.login("user", "secret")
            names = [line.split()[-1] for line in self._listing(ftp)]
            ftp.quit()
            self.assertEqual(sorted(names), ["GAMES", "VCD"], "the root should merge both sites")

            with open(pid_path) as f:
                self.assertEqual(f.read(), str(proc.pid))
            with open(os.path.join(work, "ferrynet.log")) as f:
                self.assertIn("new client from 127.0.0.1", f.read())

            # What the manual says of SIGTERM: gone at once, no closing line, pid file left.
            proc.send_signal(signal.SIGTERM)
            proc.wait(timeout=WAIT)
            self.assertEqual(proc.returncode, -signal.SIGTERM)
            self.assertTrue(os.path.exists(pid_path))
            with open(os.path.join(work, "ferrynet.log")) as f:
                self.assertNotIn("shutting ferrynet down.", f.read())
        finally:
            if proc is not None and proc.poll() is None:
                proc.kill()
                proc.wait(timeout=WAIT)
            for s in sites:
                s.stop()

    @staticmethod
    def _listing(ftp):
        lines = []
        ftp.retrlines("LIST", lines.append)
        return lines

    def test_service_unit_is_accepted_by_the_service_manager(self):
        if shutil.which("systemd-analyze") is None:
            self.skipTest("no systemd-analyze here")
        with open(self.path("share/doc/ferrynet/ferrynet.service")) as f:
            unit = f.read()
        self.assertRegex(unit, r"(?m)^ExecStart=%s/sbin/ferrynet " % re.escape(PREFIX))
        self.assertRegex(unit, r"(?m)^Restart=")
        unit_dir = tempfile.mkdtemp(prefix="unit-", dir=self.tmp)
        with open(os.path.join(unit_dir, "ferrynet.service"), "w") as f:
            f.write(unit.replace(PREFIX + "/sbin/ferrynet", self.path("sbin/ferrynet")))
        env = dict(os.environ, MANPATH=self.path("share/man"))
        r = run(["systemd-analyze", "verify", os.path.join(unit_dir, "ferrynet.service")], env=env)
        self.assertEqual((r.returncode, r.stderr.strip()), (0, ""), r.stdout)


class Uninstall(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="ferrynet-uninstall-")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def test_uninstall_removes_every_installed_file_and_leaves_the_operators_own(self):
        destdir = os.path.join(self.tmp, "dest")
        prefix = "/opt/ferrynet"
        root = destdir + prefix
        # An operator's configuration and a tool of another package in a shared directory.
        own = {os.path.join(root, "etc", "ferrynet.conf"): "ip 10.0.0.1\n",
               os.path.join(root, "bin", "othertool"): "#!/bin/sh\n"}
        for path, text in own.items():
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as f:
                f.write(text)

        manifest = install(destdir, prefix)
        for pc in glob.glob(os.path.join(root, "lib", "pkgconfig", "*.pc")):
            with open(pc) as f:
                self.assertIn("prefix=%s\n" % prefix, f.read())
        self.assertEqual(sorted(manifest + list(own)), files_under(destdir))

        r = run(["make", "--no-print-directory", "-C", SOURCE, "uninstall", "BUILD_DIR=" + BUILD,
                 "DESTDIR=" + destdir, "PREFIX=" + prefix])
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        self.assertEqual(files_under(destdir), sorted(own))
        for path, text in own.items():
            with open(path) as f:
                self.assertEqual(f.read(), text)
        for d in OWN_DIRS:
            self.assertFalse(os.path.exists(os.path.join(root, d)), d + " was left behind")
        self.assertTrue(os.path.isdir(os.path.join(root, "bin")))

        for path in own:
            os.unlink(path)
        self.assertEqual(files_under(destdir), [])

        # A second uninstall finds nothing left to remove and is no error.
        r = run(["make", "--no-print-directory", "-C", SOURCE, "uninstall", "BUILD_DIR=" + BUILD,
                 "DESTDIR=" + destdir, "PREFIX=" + prefix])
        self.assertEqual((r.returncode, r.stdout), (0, ""), r.stderr)


if __name__ == "__main__":
    unittest.main()
