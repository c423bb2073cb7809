"""The Debian packages: built with cpack from this build, free of lintian
errors, installed with dpkg into a throwaway root, and the installed
programs run from there.

Usage: test_packages.py BUILD-DIR SOURCE-DIR [unittest arguments]
"""
import gzip
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

BUILD = SOURCE = None
PACKAGES = {
    # package: files it must hold (beside its documentation)
    "bulfetch": ["usr/bin/bulfetch", "etc/profile.d/bulfetch.sh", "etc/csh/login.d/bulfetch",
                 "usr/lib/tmpfiles.d/bulfetch.conf", "usr/share/man/man1/bulfetch.1.gz",
                 "usr/bin/bulcheck", "usr/share/man/man1/bulcheck.1.gz",
                 "usr/share/man/man5/nomicon.conf.5.gz"],
    "dirpick": ["usr/bin/dirpick", "usr/share/man/man1/dirpick.1.gz"],
    "bulserve": ["usr/sbin/bulserve", "usr/share/man/man8/bulserve.8.gz",
                 "usr/sbin/bulpublish", "usr/share/man/man8/bulpublish.8.gz",
                 "lib/systemd/system/bulserve.service"],
}


def empty_root(path):
    """A throwaway root holding only an empty dpkg database."""
    admin = os.path.join(path, "var/lib/dpkg")
    os.makedirs(os.path.join(admin, "info"))
    os.makedirs(os.path.join(admin, "updates"))
    open(os.path.join(admin, "status"), "w").close()
    return path


def dpkg(root, *args, path=None):
    """dpkg on a throwaway root. It has no libc package, so dependencies
    are not enforced (the host's libc runs the programs), and no shell, so
    the maintainer scripts run outside it, reaching it through DPKG_ROOT.
    path: the PATH dpkg and the scripts run with."""
    env = dict(os.environ, PATH=path) if path else None
    return subprocess.run(["dpkg", "--root=" + root, "--force-depends",
                           "--force-script-chrootless", *args],
                          capture_output=True, timeout=120, env=env)


def cpack(build, folder, *args):
    r = subprocess.run(["cpack", "-G", "DEB", "-B", folder, *args], capture_output=True,
                       timeout=240, cwd=build)
    if r.returncode != 0:
        raise AssertionError("cpack failed:\n%s%s" % (r.stdout.decode(), r.stderr.decode()))


def lintian_findings(debs):
    """lintian's errors and warnings, and its hardening tags (mere notes)."""
    r = subprocess.run(["lintian", "-I", "--tag-display-limit", "0", *debs],
                       capture_output=True, timeout=240)
    output = r.stdout.decode() + r.stderr.decode()
    return [line for line in output.splitlines()
            if line.startswith(("E:", "W:")) or " hardening-" in line], output


def path_without(program, folder):
    """A PATH of links to every program of the system's folders but one."""
    os.makedirs(folder)
    for d in ("/usr/sbin", "/usr/bin", "/sbin", "/bin"):
        for name in os.listdir(d):
            link = os.path.join(folder, name)
            if name != program and not os.path.lexists(link):
                os.symlink(os.path.join(d, name), link)
    return folder


class Packages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="calyx-packages-")
        cpack(BUILD, cls.dir)
        cls.debs = {}
        for name in os.listdir(cls.dir):
            m = re.fullmatch(r"([a-z]+)_[0-9.]+_[a-z0-9]+\.deb", name)
            if m:
                cls.debs[m.group(1)] = os.path.join(cls.dir, name)
        cls.root = empty_root(os.path.join(cls.dir, "root"))
        cls.install = None
        if cls.debs:
            cls.install = dpkg(cls.root, "-i", *cls.debs.values())

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def test_one_package_per_program_with_its_files(self):
        self.assertEqual(sorted(self.debs), sorted(PACKAGES))
        for pkg, files in PACKAGES.items():
            with self.subTest(package=pkg):
                listing = subprocess.run(["dpkg-deb", "-c", self.debs[pkg]],
                                         capture_output=True, check=True).stdout.decode()
                for f in files + ["usr/share/doc/%s/copyright" % pkg,
                                  "usr/share/doc/%s/changelog.gz" % pkg]:
                    self.assertIn("./" + f + "\n", listing)
                depends = subprocess.run(["dpkg-deb", "-f", self.debs[pkg], "Depends"],
                                         capture_output=True, check=True).stdout
                self.assertIn(b"libc6", depends)

    def test_lintian_finds_no_errors_or_warnings(self):
        if shutil.which("lintian") is None:
            self.skipTest("lintian not installed")
        findings, output = lintian_findings(self.debs.values())
        # Debug and sanitizer builds leave _FORTIFY_SOURCE out on purpose.
        with open(os.path.join(BUILD, "CMakeCache.txt")) as f:
            unfortified = re.search(r"^(CALYX_FUZZ:BOOL=ON|CALYX_SANITIZE:STRING=.|"
                                    r"CMAKE_BUILD_TYPE:STRING=Debug)", f.read(), re.M)
        findings = [x for x in findings if not (unfortified and "no-fortify-functions" in x)]
        self.assertEqual(findings, [], output)

    def test_same_build_same_packages(self):
        again = os.path.join(self.dir, "again")
        cpack(BUILD, again)
        for pkg, deb in self.debs.items():
            with open(deb, "rb") as f, open(os.path.join(again, os.path.basename(deb)), "rb") as g:
                self.assertTrue(f.read() == g.read(), pkg)

    def test_version_and_revision_set_at_build_time(self):
        build = os.path.join(self.dir, "versioned")
        for argv in (["cmake", "-S", SOURCE, "-B", build, "-G", "Ninja", "-DCALYX_TESTS=OFF",
                      "-DCALYX_BENCH=OFF", "-DCALYX_VERSION=1.2.3", "-DCALYX_DEBIAN_REVISION=2"],
                     ["cmake", "--build", build, "-j2", "--target", "dirpick", "bulpublish",
                      "calyx_man_pages", "calyx_package_docs"]):
            r = subprocess.run(argv, capture_output=True, timeout=300)
            self.assertEqual(r.returncode, 0, r.stdout.decode() + r.stderr.decode())
        r = subprocess.run([os.path.join(build, "bulserve/bulpublish"), "--version"],
                           capture_output=True, timeout=10)
        self.assertEqual(r.stdout, b"bulpublish (calyx tools) 1.2.3-2\n")
        cpack(build, build, "-D", "CPACK_COMPONENTS_ALL=dirpick")
        debs = [n for n in os.listdir(build) if re.fullmatch(r"dirpick_1\.2\.3-2_[a-z0-9]+\.deb", n)]
        self.assertEqual(len(debs), 1, os.listdir(build))
        if shutil.which("lintian"):
            findings, output = lintian_findings([os.path.join(build, debs[0])])
            self.assertEqual(findings, [], output)

    def test_installed_with_dpkg(self):
        self.assertEqual(self.install.returncode, 0, self.install.stderr)
        admin = os.path.join(self.root, "var/lib/dpkg")
        r = subprocess.run(["dpkg-query", "--admindir=" + admin, "-W",
                            "-f=${Package} ${Status}|${Conffiles}\n"],
                           capture_output=True, check=True)
        # One line per package, each of its conffiles on a line of its own
        # that begins with a space.
        rows = {}
        for line in r.stdout.decode().splitlines():
            if line.startswith(" "):
                rows[pkg] += line
            else:
                pkg, rest = line.split(" ", 1)
                rows[pkg] = rest
        for pkg in PACKAGES:
            self.assertTrue(rows[pkg].startswith("install ok installed|"), rows[pkg])
        # The hooks are the administrator's to edit: conffiles.
        for hook, source in (("etc/profile.d/bulfetch.sh", "bulfetch.sh"),
                             ("etc/csh/login.d/bulfetch", "bulfetch.csh")):
            self.assertIn("/" + hook, rows["bulfetch"])
            with open(os.path.join(self.root, hook), "rb") as f, \
                    open(os.path.join(SOURCE, "packaging", source), "rb") as g:
                self.assertEqual(f.read(), g.read())
        for page in ("usr/share/man/man8/bulserve.8.gz", "usr/share/man/man1/dirpick.1.gz"):
            with gzip.open(os.path.join(self.root, page)) as f:
                self.assertRegex(f.read(), rb"(^|\n)\.TH ", page)

    def test_usr_tmp_made_at_install_and_removed_at_purge(self):
        """Stock Debian has no /usr/tmp: installing makes it the link to
        /var/tmp, and purging removes that link and the machine-wide copy.
        What a site had there before stays, through install and purge."""
        def nothing(root):
            pass

        def nothing_and_no_systemd(root):
            pass

        def site_folder(root):
            os.makedirs(os.path.join(root, "usr/tmp"))
            open(os.path.join(root, "usr/tmp/site-file"), "w").close()

        def site_link(root):
            os.makedirs(os.path.join(root, "usr"))
            os.makedirs(os.path.join(root, "var/tmp"))
            os.symlink("/var/tmp", os.path.join(root, "usr/tmp"))

        def nothing_but_a_planted_folder(root):
            os.makedirs(os.path.join(root, "var/tmp/.messages/inside"))

        def state(root):
            path = os.path.join(root, "usr/tmp")
            if os.path.islink(path):
                return "-> " + os.readlink(path)
            return sorted(os.listdir(path)) if os.path.isdir(path) else None

        table = [
            # what the site has, /usr/tmp after install, after purge
            (nothing, "-> ../var/tmp", None),
            # a machine without systemd: the scripts make the link themselves
            (nothing_and_no_systemd, "-> ../var/tmp", None),
            (site_folder, ["site-file"], ["site-file"]),
            (site_link, "-> /var/tmp", "-> /var/tmp"),
            # a folder someone made where the copy goes is left, and the
            # purge still goes through
            (nothing_but_a_planted_folder, "-> ../var/tmp", None),
        ]
        for n, (before, installed, purged) in enumerate(table):
            with self.subTest(site=before.__name__):
                root = empty_root(os.path.join(self.dir, "purge%d" % n))
                before(root)
                path = None
                if before is nothing_and_no_systemd:
                    path = path_without("systemd-tmpfiles", os.path.join(self.dir, "bin%d" % n))
                r = dpkg(root, "-i", self.debs["bulfetch"], path=path)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(state(root), installed)
                os.makedirs(os.path.join(root, "var/tmp"), exist_ok=True)
                planted = before is nothing_but_a_planted_folder
                if not planted:
                    open(os.path.join(root, "usr/tmp/.messages"), "w").close()
                r = dpkg(root, "--purge", "bulfetch", path=path)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(state(root), purged)
                self.assertEqual(os.path.lexists(os.path.join(root, "var/tmp/.messages")), planted)
                self.assertFalse(os.path.lexists(os.path.join(root, "var/lib/bulfetch")))
                self.assertFalse(os.path.lexists(os.path.join(root, "etc")))

    def test_installed_programs_run(self):
        r = subprocess.run([os.path.join(self.root, "usr/bin/bulfetch"), "-x"],
                           capture_output=True, timeout=10)
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"<-x>: Usage: ", r.stderr)

        tree = os.path.join(self.dir, "pkgtree")
        os.makedirs(os.path.join(tree, "arch", "i386_linux1", "bin"))
        r = subprocess.run([os.path.join(self.root, "usr/bin/dirpick"), tree, "bin"],
                           capture_output=True, timeout=10, env={"PATH": "/usr/bin:/bin"})
        self.assertEqual((r.returncode, r.stdout), (0, (tree + "/arch/i386_linux1/bin\n").encode()),
                         r.stderr)

        bulletin = os.path.join(self.dir, "bulletin")
        with open(bulletin, "wb") as f:
            f.write(b"from the package\n")
        os.utime(bulletin, (1234, 1234))
        server = subprocess.Popen([os.path.join(self.root, "usr/sbin/bulserve"), "-e", "-a",
                                   "127.0.0.1", "-p", "0", bulletin],
                                  stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
        try:
            line = server.stderr.readline()
            m = re.search(rb"on 127\.0\.0\.1:(\d+)\n", line)
            self.assertIsNotNone(m, line)
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as c:
                c.settimeout(5)
                c.sendto(b"BUL:0", ("127.0.0.1", int(m.group(1))))
                self.assertEqual(c.recv(4096), b"BUL:0 1234\nfrom the package\n")
        finally:
            server.terminate()
            self.assertEqual(server.wait(10), 0)
            server.stderr.close()

    def test_real_logins(self):
        """The packages on a machine, ssh logins in every shell: see
        login_e2e.py."""
        r = subprocess.run([sys.executable, os.path.join(os.path.dirname(__file__), "login_e2e.py"),
                            *self.debs.values()], capture_output=True, timeout=400)
        output = (r.stdout + r.stderr).decode(errors="replace")
        if r.returncode == 77:
            self.skipTest(output)
        self.assertEqual(r.returncode, 0, output)

    def test_unit_file_verifies(self):
        if shutil.which("systemd-analyze") is None:
            self.skipTest("systemd-analyze not installed")
        # The unit names the program where the package puts it; point it
        # into the throwaway root for the check.
        with open(os.path.join(self.root, "lib/systemd/system/bulserve.service")) as f:
            unit = f.read()
        self.assertIn("ExecStart=/usr/sbin/bulserve ", unit)
        self.assertIn("DynamicUser=yes", unit)
        copy = os.path.join(self.dir, "bulserve.service")
        with open(copy, "w") as f:
            f.write(unit.replace("/usr/sbin/bulserve", os.path.join(self.root, "usr/sbin/bulserve")))
        r = subprocess.run(["systemd-analyze", "verify", "--man=no", copy],
                           capture_output=True, timeout=60)
        self.assertEqual(r.returncode, 0, r.stderr)


if __name__ == "__main__":
    BUILD = os.path.abspath(sys.argv.pop(1))
    SOURCE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
