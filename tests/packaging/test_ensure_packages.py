"""scripts/ensure-packages installing bind9, with stand-ins for apt-get and
dpkg on PATH, in private namespaces with /etc and /usr on overlays.

Usage: test_ensure_packages.py SOURCE-DIR
"""
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import sandbox as S  # noqa: E402

SITE_POLICY = b"#!/bin/sh\nexit 0\n"
STUBS = {
    # update fails once on a lock another apt holds (saying so in the
    # machine's language); install records what
    # policy-rc.d answers and enables both units, as package scripts do (the
    # one enabled before gets a link more).
    "apt-get": """case $3 in
update) [ -e $LOG.once ] && exit 0; : >$LOG.once; [ "$LC_ALL" = C ] && echo "E: Could not get lock x" >&2
        [ "$LC_ALL" = C ] || echo "E: Sperre x konnte nicht erlangt werden" >&2; exit 100 ;;
install) /usr/sbin/policy-rc.d x start; echo "policy $?" >>$LOG
         systemctl enable --quiet calyx-new.service calyx-old.service
         systemctl add-wants --quiet graphical.target calyx-old.service; exit $STATUS ;;
esac""",
    "dpkg-query": '[ "$3" = bind9 ] || echo "install ok installed"',
}


def case(sb, source, status, site_policy, killed=False):
    for name, text in STUBS.items():
        sb.write_file("/usr/local/sbin/" + name, "#!/bin/sh\n" + text + "\n", mode=0o755)
    for unit in ("calyx-new.service", "calyx-old.service"):
        sb.write_file("/usr/lib/systemd/system/" + unit,
                      "[Service]\nExecStart=/bin/true\n[Install]\nWantedBy=multi-user.target\n")
    subprocess.run(["systemctl", "enable", "--quiet", "calyx-old.service"], check=True)
    if os.path.lexists("/usr/sbin/policy-rc.d"):   # on the overlay
        os.unlink("/usr/sbin/policy-rc.d")
    if site_policy:
        sb.write_file("/usr/sbin/policy-rc.d", site_policy, mode=0o755)
    if killed:   # what a run killed mid-install leaves: its policy, the site's saved
        os.rename("/usr/sbin/policy-rc.d", "/usr/sbin/policy-rc.d.ensure-packages-saved")
        sb.write_file("/usr/sbin/policy-rc.d", "#!/bin/sh\n# ensure-packages: x\nexit 101\n", mode=0o755)
    log = os.path.join(sb.root, "log")
    env = dict(os.environ, PATH="/usr/local/sbin:" + os.environ["PATH"], LOG=log,
               STATUS=str(status), LC_ALL="de_DE.UTF-8")
    r = subprocess.run(["bash", os.path.join(source, "scripts/ensure-packages"), "demo"],
                       env=env, capture_output=True, timeout=60)
    out = (r.stdout + r.stderr).decode()
    wants = "/etc/systemd/system/multi-user.target.wants/"
    assert ((r.returncode == 0) == (status == 0) and "waiting for another apt" in out), out
    assert sb.read_file(log) == b"policy 101\n"
    policy = os.path.exists("/usr/sbin/policy-rc.d") and sb.read_file("/usr/sbin/policy-rc.d")
    assert policy == site_policy, policy
    assert [os.path.lexists(wants + u) for u in ("calyx-new.service", "calyx-old.service")] == \
        [False, True]


def main():
    S.require_namespaces()
    if shutil.which("systemctl") is None:
        sys.exit(S.SKIP_CODE)
    with open(os.path.join(sys.argv[1], "README.md")) as f:
        readme = " ".join(f.read().split())
    for mode in ("demo", "test"):   # the README names the packages of each
        listed = subprocess.run(["bash", os.path.join(sys.argv[1], "scripts/ensure-packages"),
                                 "--list", mode], capture_output=True, text=True).stdout.split()
        assert listed and ", ".join(listed) + "." in readme, f"README.md does not list {listed}"
    # A site's own policy-rc.d is put back, ours never left behind, also on failure.
    for status, site_policy, killed in ((0, SITE_POLICY, False), (100, False, False),
                                        (0, SITE_POLICY, True)):
        ok, out = S.run_isolated(case, sys.argv[1], status, site_policy, killed)
        assert ok, f"install status {status}:\n{out}"


if __name__ == "__main__":
    main()
