"""vsftpd and proftpd as sites: each on 127.0.0.1 with a free port, serving a
given directory tree to one login from a temporary directory of its own, in
plain FTP or with TLS required on control and data; stopped by its pid.

scripts/install-deps.sh unpacks both servers beside the installed pure-ftpd
(the packages conflict), so a server is looked up on the PATH first and in
that directory after.
"""

import os
import secrets
import shutil
import signal
import socket
import subprocess
import tempfile

from ferry_harness import HOST, WAIT, free_port, wait_for

UNPACKED = "/opt/ferrynet-ftpd"


def find_server(name):
    for path in (shutil.which(name, path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin"),
                 os.path.join(UNPACKED, "usr", "sbin", name)):
        if path and os.access(path, os.X_OK):
            return path
    return None


def proftpd_modules(binary):
    return os.path.join(os.path.dirname(os.path.dirname(binary)), "lib", "proftpd")


def vsftpd_available():
    # The login is a system account, which only root can make.
    return os.geteuid() == 0 and find_server("vsftpd") is not None and shutil.which("useradd") is not None


def proftpd_available():
    return os.geteuid() == 0 and find_server("proftpd") is not None and shutil.which("openssl") is not None


def proftpd_tls_available():
    binary = find_server("proftpd")
    return proftpd_available() and os.path.exists(os.path.join(proftpd_modules(binary), "mod_tls.so"))


def _run(cmd, stdin=None):
    return subprocess.run(cmd, input=stdin, capture_output=True, check=True, timeout=WAIT)


def make_certificate(directory):
    """A self-signed certificate for 127.0.0.1 and its key; returns (cert, key) paths."""
    cert, key = os.path.join(directory, "cert.pem"), os.path.join(directory, "key.pem")
    _run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=" + HOST,
          "-addext", "subjectAltName=IP:" + HOST, "-keyout", key, "-out", cert])
    return cert, key


def _make_tree_reachable(root):
    # Both servers drop to the login's uid before they read the tree, and the
    # temporary directories above it are created 0700. Nothing outside the
    # temporary area is changed.
    path, top = os.path.realpath(root), os.path.realpath(tempfile.gettempdir())
    while path.startswith(top + os.sep):
        mode = os.stat(path).st_mode
        if mode & 0o011 != 0o011:
            os.chmod(path, (mode & 0o7777) | 0o011)
        path = os.path.dirname(path)


def _descendants(pid):
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            children = [int(c) for c in f.read().split()]
    except OSError:
        return []
    return [d for c in children for d in [c] + _descendants(c)]


class SystemUser:
    """A throw-away account with a password, for servers that only know real
    logins; removed again by remove()."""

    def __init__(self, home, password):
        self.name = "fy" + secrets.token_hex(5)
        _run(["useradd", "--no-create-home", "--home-dir", home, "--shell", "/usr/sbin/nologin", "--no-user-group",
              "--gid", "nogroup", self.name])
        _run(["chpasswd"], ("%s:%s\n" % (self.name, password)).encode())

    def remove(self):
        subprocess.run(["userdel", self.name], capture_output=True, timeout=WAIT)


class ServerSite:
    """What both servers share: the temporary directory, the process, the waits."""

    kind = "site"

    def __init__(self, root, tls, certificate=None):
        self.root = os.path.abspath(root)
        self.tls = tls
        self.proc = None
        self.port = free_port()
        self.dir = tempfile.mkdtemp(prefix="ferry%s-" % self.kind)
        self.cert = self.key = None
        try:
            os.chmod(self.dir, 0o755)
            _make_tree_reachable(self.root)
            if tls:
                # A given (cert, key) pair is copied in: the server reads it as itself.
                if certificate:
                    self.cert, self.key = (shutil.copy(path, self.dir) for path in certificate)
                else:
                    self.cert, self.key = make_certificate(self.dir)
                os.chmod(self.key, 0o600)
        except Exception:
            shutil.rmtree(self.dir, ignore_errors=True)
            raise

    def _start(self, argv):
        self.out_path = os.path.join(self.dir, "server.out")
        with open(self.out_path, "wb") as out:
            self.proc = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                         cwd=self.dir)
        if not wait_for(self._greets):
            text = self.output()
            self.stop()
            raise RuntimeError("%s did not start: %s" % (self.kind, text))

    def _greets(self):
        if self.proc.poll() is not None:
            return True
        try:
            with socket.create_connection((HOST, self.port), timeout=0.5) as c:
                c.settimeout(1.0)
                return c.recv(3) == b"220"
        except OSError:
            return False

    def output(self):
        try:
            with open(self.out_path, "rb") as f:
                return f.read().decode("latin-1")
        except OSError:
            return ""

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            # A session still open outlives its listener and would keep the
            # account busy, so the listener's children go by their pids too.
            sessions = _descendants(self.proc.pid)
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=WAIT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=WAIT)
            for pid in sessions:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
        self._forget_login()
        shutil.rmtree(self.dir, ignore_errors=True)

    def _forget_login(self):
        pass


class VsftpdSite(ServerSite):
    """vsftpd standalone, the login a throw-away system account chrooted to `root`."""

    kind = "vsftpd"

    def __init__(self, root, password="secret", tls=False, writable=False, certificate=None):
        super().__init__(root, tls, certificate)
        self.password = password
        self.account = None
        try:
            self.account = SystemUser(self.root, password)
            self.user = self.account.name
            empty = os.path.join(self.dir, "empty")
            os.mkdir(empty, 0o755)
            conf = [
                "listen=YES", "listen_ipv6=NO", "listen_address=" + HOST, "listen_port=%d" % self.port,
                "background=NO", "anonymous_enable=NO", "local_enable=YES", "write_enable=" + ("YES" if writable else "NO"),
                "chroot_local_user=YES", "allow_writeable_chroot=YES", "local_root=" + self.root,
                "secure_chroot_dir=" + empty, "pasv_enable=YES", "pasv_address=" + HOST,
                "connect_from_port_20=NO", "max_clients=0", "max_per_ip=0", "dirmessage_enable=NO",
                "xferlog_enable=NO", "vsftpd_log_file=" + os.path.join(self.dir, "vsftpd.log"),
                "tcp_wrappers=NO", "use_localtime=NO",
                # No namespaces or seccomp: a container may refuse them.
                "isolate=NO", "isolate_network=NO", "seccomp_sandbox=NO",
            ]
            if tls:
                conf += ["ssl_enable=YES", "rsa_cert_file=" + self.cert, "rsa_private_key_file=" + self.key,
                         "require_ssl_reuse=YES", "force_local_logins_ssl=YES", "force_local_data_ssl=YES",
                         "ssl_ciphers=HIGH", "allow_anon_ssl=NO"]
            conf_path = os.path.join(self.dir, "vsftpd.conf")
            with open(conf_path, "w") as f:
                f.write("\n".join(conf) + "\n")
            self._start([find_server("vsftpd"), conf_path])
        except Exception:
            self.stop()
            raise

    def _forget_login(self):
        if self.account:
            self.account.remove()
            self.account = None


class ProftpdSite(ServerSite):
    """proftpd in the foreground; the login lives in a password file of its own
    (no system account), runs as nobody and is chrooted to `root`."""

    kind = "proftpd"

    def __init__(self, root, user="user", password="secret", tls=False, writable=False):
        super().__init__(root, tls)
        self.user, self.password = user, password
        try:
            binary = find_server("proftpd")
            hashed = _run(["openssl", "passwd", "-6", "-stdin"], password.encode()).stdout.decode().strip()
            passwd, group = os.path.join(self.dir, "passwd"), os.path.join(self.dir, "group")
            with open(passwd, "w") as f:
                f.write("%s:%s:65534:65534::%s:/bin/sh\n" % (user, hashed, self.root))
            with open(group, "w") as f:
                f.write("nogroup:x:65534:\n")
            os.chmod(passwd, 0o600)
            os.chmod(group, 0o600)
            d = self.dir
            conf = [
                "ServerType standalone", "DefaultServer on", "ServerName site", "UseIPv6 off",
                "DefaultAddress " + HOST, "SocketBindTight on", "Port %d" % self.port,
                "User nobody", "Group nogroup", "Umask 022",
                "PidFile " + os.path.join(d, "proftpd.pid"),
                "ScoreboardFile " + os.path.join(d, "proftpd.scoreboard"),
                "DelayTable " + os.path.join(d, "proftpd.delay"),
                "SystemLog " + os.path.join(d, "proftpd.log"), "TransferLog none", "WtmpLog off",
                "AuthOrder mod_auth_file.c", "AuthUserFile " + passwd, "AuthGroupFile " + group,
                "RequireValidShell off", "DefaultRoot ~", "UseReverseDNS off", "MaxInstances 200",
                "MaxClients none", "MaxClientsPerHost none",
            ] + ([] if writable else ["<Limit WRITE>", "  DenyAll", "</Limit>"])
            if tls:
                # Session reuse on the data connection is required unless
                # TLSOptions says NoSessionReuseRequired, so none is given.
                conf += [
                    "ModulePath " + proftpd_modules(binary), "LoadModule mod_tls.c",
                    "TLSEngine on", "TLSRequired on", "TLSProtocol TLSv1.2 TLSv1.3",
                    "TLSRSACertificateFile " + self.cert, "TLSRSACertificateKeyFile " + self.key,
                    "TLSVerifyClient off", "TLSRenegotiate none", "TLSLog " + os.path.join(d, "tls.log"),
                ]
            conf_path = os.path.join(d, "proftpd.conf")
            with open(conf_path, "w") as f:
                f.write("\n".join(conf) + "\n")
            self._start([binary, "-n", "-q", "-c", conf_path])
        except Exception:
            self.stop()
            raise
