"""scripts/ensure-packages installing a missing package, with stand-ins for
apt-get and dpkg on PATH, in private namespaces with /etc and /usr on
overlays: another apt's lock is waited for, nothing may start during the
install, a unit the install enabled is disabled again, one enabled before
stays so, and the site's own policy-rc.d is put back, whether the install
works or fails.

Usage: test_ensure_packages.py SOURCE-DIR
"""
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import sandbox as S  # noqa: E402

POLICY = "/usr/sbin/policy-rc.d"
SITE_POLICY = "#!/bin/sh\nexit 0\n"
UNIT = "[Service]\nExecStart=/bin/true\n[Install]\nWantedBy=multi-user.target\n"
# apt-get: update fails once on the lists lock; install records what
# policy-rc.d answers then and enables both units, as bind9's scripts do.
APT = """#!/bin/sh
case $3 in
update) [ -e $LOG.locked ] && exit 0; : >$LOG.locked
        echo "E: Could not get lock /var/lib/apt/lists/lock. It is held by process 9" >&2
        exit 100 ;;
install) /usr/sbin/policy-rc.d named start; echo "policy $?" >>$LOG
         systemctl enable --quiet calyx-new.service calyx-old.service
         exit $STATUS ;;
esac
"""
DPKG_QUERY = """#!/bin/sh
[ "$3" = bind9 ] || echo 'install ok installed'
"""
DPKG = """#!/bin/sh
echo /usr/lib/systemd/system/calyx-new.service
echo /lib/systemd/system/calyx-old.service
"""


def enabled(unit):
    return os.path.lexists("/etc/systemd/system/multi-user.target.wants/" + unit)


def case(sb, source, status):
    stubs = os.path.join(sb.root, "stubs")
    os.mkdir(stubs)
    for name, text in (("apt-get", APT), ("dpkg-query", DPKG_QUERY), ("dpkg", DPKG)):
        with open(os.path.join(stubs, name), "w") as f:
            f.write(text)
        os.chmod(os.path.join(stubs, name), 0o755)
    for unit in ("calyx-new.service", "calyx-old.service"):
        sb.write_file("/usr/lib/systemd/system/" + unit, UNIT)
    subprocess.run(["systemctl", "enable", "--quiet", "calyx-old.service"], check=True)
    sb.write_file(POLICY, SITE_POLICY, mode=0o755)
    log = os.path.join(sb.root, "log")
    env = dict(os.environ, PATH=stubs + ":" + os.environ["PATH"], LOG=log, STATUS=str(status))
    r = subprocess.run(["bash", os.path.join(source, "scripts/ensure-packages"), "demo"],
                       env=env, capture_output=True, timeout=60)
    out = (r.stdout + r.stderr).decode()
    assert (r.returncode == 0) == (status == 0), out
    assert "waiting for another apt or dpkg" in out, out
    with open(log) as f:
        assert f.read() == "policy 101\n"
    assert sb.read_file(POLICY) == SITE_POLICY.encode()
    assert (enabled("calyx-new.service"), enabled("calyx-old.service")) == (False, True), out


def main():
    S.require_namespaces()
    if shutil.which("systemctl") is None:
        print("SKIP: no systemctl")
        sys.exit(S.SKIP_CODE)
    # The README names the packages each command installs.
    with open(os.path.join(sys.argv[1], "README.md")) as f:
        readme = " ".join(f.read().split())
    for mode in ("demo", "test"):
        listed = subprocess.run(["bash", os.path.join(sys.argv[1], "scripts/ensure-packages"),
                                 "--list", mode], capture_output=True, text=True).stdout.split()
        if not listed or ", ".join(listed) + "." not in readme:
            sys.exit(f"README.md does not list {listed}")
    for status in (0, 100):
        ok, out = S.run_isolated(case, sys.argv[1], status)
        if not ok:
            print(f"install status {status}:\n{out}")
            sys.exit(1)
    print("ok")


if __name__ == "__main__":
    main()
