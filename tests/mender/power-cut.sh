#!/bin/sh
# Stands in for a command that changes state (linked by that command's name into CUT_DIR, which
# comes first on PATH): counts the step and, at step CUT_AT, cuts the power: every process of the
# session is stopped, then killed. A firmware update counts twice: before it, and once the
# module has taken the start request (or the transfer's end), with the transfer under way.
# CUT_AT=0 only counts. Each step goes to CUT_DIR/steps; a cut leaves CUT_DIR/cut.
cmd=${0##*/}
real=
IFS=:
for d in $PATH; do
    [ "$d" != "$CUT_DIR" ] && [ -x "$d/$cmd" ] && real=$d/$cmd && break
done
unset IFS
# The sandbox's own set-up is not the hub's.
case $(tr '\0' ' ' </proc/$PPID/cmdline) in *" --inside "*) exec "$real" "$@" ;; esac
# A step that changes nothing a restart could see (a sync, when only processes die; a version
# query; removing or making what is already gone or there) is no cut point of its own: the
# power lost before it is lost before the next step.
case $cmd:${1-} in
sync:* | radioflash:-currentversion) exec "$real" "$@" ;;
rm:* | mkdir:-p)
    changes=
    for a; do
        case $cmd:$a in
        *:-*) ;;
        rm:*) [ -e "$a" ] && changes=1 ;;
        mkdir:*) [ -d "$a" ] || changes=1 ;;
        esac
    done
    [ -n "$changes" ] || exec "$real" "$@"
    ;;
esac
read -r n <"$CUT_DIR/count" 2>/dev/null || n=0
n=$((n + 1))
mid=
case $cmd:$* in radioflash:*-f\ *) mid=$((n + 1)) ;; esac
echo "${mid:-$n}" >"$CUT_DIR/count"
echo "$n $cmd $*" >>"$CUT_DIR/steps"

power_off() {
    echo "$CUT_AT" >"$CUT_DIR/cut"
    read -r st </proc/$$/stat
    # shellcheck disable=SC2086 # the fields after the command's name
    set -- ${st##*) }
    sid=$4 pids=
    for f in /proc/[0-9]*/stat; do
        { read -r st <"$f"; } 2>/dev/null || continue
        # shellcheck disable=SC2086
        set -- ${st##*) }
        p=${f#/proc/}
        p=${p%/stat}
        [ "$4" = "$sid" ] && [ "$p" != $$ ] && pids="$pids $p"
    done
    # shellcheck disable=SC2086
    kill -STOP $pids 2>/dev/null
    # shellcheck disable=SC2086
    kill -9 $pids $$
}

[ "$n" = "$CUT_AT" ] && power_off
if [ "$mid" = "$CUT_AT" ]; then
    seen=$(wc -l <"$CUT_RECORD")
    "$real" "$@" &
    while kill -0 $! 2>/dev/null; do
        tail -n +$((seen + 1)) "$CUT_RECORD" | grep -q -e '^RX 00 00 e1' -e '^XM ' && break
        sleep 0.05
    done
    power_off
fi
exec "$real" "$@"
