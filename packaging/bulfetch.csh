# /etc/csh/login.d/bulfetch: show the site bulletin at login when it is new.
#
# Sourced by /etc/csh.login in csh and tcsh login shells; decides as
# /etc/profile.d/bulfetch.sh does for the sh family. $prompt is set in an
# interactive shell, but tcsh sets it in every login shell, one without a
# terminal too ("ssh host < script"), whose output must stay the script's:
# hence the look at standard input and output. csh expands every word of a
# condition before it tests any, so only $?name tests share a line. The
# file stays after the package is removed (it is a configuration file),
# hence the look for the program. Beside the guard, nothing of the shell's
# is changed; $status ends at 0, as after any file sourced without a
# failure.
if ( $?prompt && ! $?TMUX && ! $?STY && ! $?bulfetch_login_done ) then
    set bulfetch_login_done
    if ( ! -e ~/.hushlogin && { test -t 0 -a -t 1 } ) then
        which bulfetch >& /dev/null
        if ( $status == 0 ) bulfetch -new -quick
    endif
endif
