# /etc/profile.d/bulfetch.sh: show the site bulletin at login when it is new.
#
# Read by login shells through /etc/profile. Only an interactive shell has
# a user looking at it: scripts and "sh -lc" stay silent. ~/.hushlogin asks
# for a quiet login and is honoured. The guard variable keeps a profile
# that is read twice by one shell from asking twice; it is not exported,
# so a nested login shell decides afresh (and "-new" keeps it quiet).
case $- in
*i*)
    if [ -z "${bulfetch_login_done-}" ] && [ ! -e "${HOME:-/nonexistent}/.hushlogin" ] &&
        command -v bulfetch >/dev/null 2>&1; then
        bulfetch_login_done=1
        bulfetch -new
    fi
    ;;
esac
