# /etc/profile.d/bulfetch.sh: show the site bulletin at login when it is new.
#
# Read by login shells through /etc/profile (zsh reads it through the line
# a site adds to /etc/zsh/zlogin, see bulfetch(1)). Only an interactive
# shell has a user looking at it: scripts and "sh -lc" stay silent.
# ~/.hushlogin asks for a quiet login and is honoured. A new window or pane
# of tmux or screen starts a login shell, but it is not a login: their
# variables keep it quiet. The guard variable keeps a profile that is read
# twice by one shell from asking twice; it is not exported, so a nested
# login shell decides afresh (and "-new" keeps it quiet).
#
# "-quick" bounds the wait to about a second and lets ^C end only the wait.
# The trap covers a ^C that still kills the program (before it is ready
# for one): a login shell whose child dies of SIGINT abandons the rest of
# its start-up files, and the user would get a half-set-up shell.
case $- in
*i*)
    if [ -z "${bulfetch_login_done-}" ] && [ -z "${TMUX-}" ] && [ -z "${STY-}" ] &&
        [ ! -e "${HOME:-/nonexistent}/.hushlogin" ] &&
        command -v bulfetch >/dev/null 2>&1; then
        bulfetch_login_done=1
        trap : INT
        bulfetch -new -quick
        trap - INT
    fi
    ;;
esac
