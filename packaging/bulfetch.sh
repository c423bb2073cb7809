# /etc/profile.d/bulfetch.sh: show the site bulletin at login when it is new.
#
# Read by login shells through /etc/profile (zsh reads it through the line
# a site adds to /etc/zsh/zlogin, see bulfetch(1)). Only an interactive
# shell on a terminal has a user looking at it: scripts, "sh -lc", and
# "sh -ilc" whose input or output is not a terminal (the way a desktop or an
# editor reads a user's login environment) stay silent and record nothing.
# ~/.hushlogin asks for a quiet login and is honoured. A new window or pane
# of tmux or screen starts a login shell, but it is not a login: their
# variables keep it quiet. The guard variable keeps a profile that is read
# twice by one shell from asking twice; it is not exported, so a nested
# login shell decides afresh (and "-new" keeps it quiet).
#
# The file is a guest in the shell that reads it: the traps, options,
# positional parameters and variables are left as they were, the guard
# aside, and so is $?, but under "set -e", where a status other than 0
# would end the login; nothing here fails under "set -e" either.
#
# "-quick" bounds the wait to about a second; ^C ends only the wait, and ^Z
# does nothing. A ^C that comes before the program is ready for one kills
# it, and a shell whose child dies of SIGINT abandons the rest of its
# start-up files. So the program runs in a subshell, whose own trap (the
# program starts with SIGINT at its default) keeps such a ^C from going
# further than the subshell's status. The subshell ignores ^Z, and so the
# program does from its start, so that no job is left stopped. zsh refuses
# that trap, but its subshell ignores ^Z as an interactive shell does, and
# the program holds ^Z off itself once it is ready.
bulfetch_status=$?
case $- in
*i*)
    if [ -z "${bulfetch_login_done-}" ] && [ -t 0 ] && [ -t 1 ] &&
        [ -z "${TMUX-}" ] && [ -z "${STY-}" ] &&
        [ ! -e "${HOME:-/nonexistent}/.hushlogin" ] &&
        command -v bulfetch >/dev/null 2>&1; then
        bulfetch_login_done=1
        (trap : INT; [ -n "${ZSH_VERSION-}" ] || trap '' TSTP; bulfetch -new -quick) || :
    fi
    ;;
esac
case $-:$bulfetch_status in
*e*:* | *:0) unset bulfetch_status ;;
*) eval "unset bulfetch_status; (exit $bulfetch_status)" ;;
esac
