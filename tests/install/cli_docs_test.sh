#!/usr/bin/env bash
# quilmoctl's manual page and bash completion keep up with the program: every command and
# every option its help shows is in both, and the completion offers commands, options,
# their values and the configured RAM disks' names (quoted where needed).
#   cli_docs_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=$(realpath "${1:?build directory}") source=$(realpath "${2:?source directory}")
ctl=$build/bin/quilmoctl
completion=$source/resources/completion/quilmoctl
fail=0
problem() { echo "FAIL: $*" >&2; fail=1; }
command -v man >/dev/null || { echo "SKIP: man is missing"; exit 77; }

T=$(mktemp -d) || exit 1
trap 'rm -rf --one-file-system "$T"' EXIT
export HOME=$T/home XDG_CONFIG_HOME=$T/home/.config XDG_DATA_HOME=$T/home/.local/share
export XDG_STATE_HOME=$T/home/.local/state XDG_CACHE_HOME=$T/home/.cache
mkdir -p "$HOME"

# ---- The manual page and the completion cover the help ---------------------------------
LC_ALL=C.UTF-8 MANWIDTH=250 man --nh --nj -l "$build/resources/man/quilmoctl.1" >"$T/man.txt" 2>/dev/null
commands=$("$ctl" --help | awk '/^Commands:/ { on = 1; next } on && NF == 0 { exit } on { print $1 }')
[ "$(wc -w <<<"$commands")" -ge 10 ] || problem "quilmoctl --help lists only: $commands"
offered=$(sed -n 's/^ *local commands="\(.*\)"$/\1/p' "$completion")
for c in $commands; do
  grep -qE "^ {7}$c( |$)" "$T/man.txt" || problem "the manual page does not describe the command $c"
  [[ " $offered " == *" $c "* ]] || problem "the completion does not offer the command $c"
  for option in $("$ctl" "$c" --help | grep -oE -- '--[a-z][a-z-]*' | sort -u); do
    [ "$option" = --help ] && continue
    grep -qF -- "$option" "$T/man.txt" || problem "the manual page lacks $c $option"
    grep -qF -- "$option" "$completion" || problem "the completion lacks $c $option"
  done
done

# ---- The completion at work ------------------------------------------------------------------
"$ctl" add Scratch --size 200M >/dev/null 2>&1 || problem "cannot add Scratch"
"$ctl" add "My Disk" --size 200M >/dev/null 2>&1 || problem "cannot add 'My Disk'"

# complete WORD... : what the completion offers for the last word, one a line, sorted.
complete() {
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _quilmoctl; printf "%s\n" "${COMPREPLY[@]}"' \
    _ "$completion" "$ctl" "$@" | sed '/^$/d' | sort
}
# Lists below are separated by ";" (a completion may hold spaces).
expect() { # expect "WANTED;..." WORD...
  local want=$1
  shift
  local got
  got=$(complete "$@")
  [ "$got" = "$(tr ';' '\n' <<<"$want" | sed '/^$/d' | sort)" ] ||
    problem "quilmoctl $* <TAB> gives [$(tr '\n' ';' <<<"$got")], not [$want]"
}
expect_contains() { # expect_contains "WANTED;..." "UNWANTED;..." WORD...
  local want=$1 unwanted=$2 got w
  shift 2
  got=$(complete "$@")
  while IFS= read -r w; do
    [ -z "$w" ] || grep -qxF -- "$w" <<<"$got" || problem "quilmoctl $* <TAB> lacks $w"
  done < <(tr ';' '\n' <<<"$want")
  while IFS= read -r w; do
    [ -z "$w" ] || ! grep -qxF -- "$w" <<<"$got" || problem "quilmoctl $* <TAB> offers $w"
  done < <(tr ';' '\n' <<<"$unwanted")
}

expect_contains "$(tr '\n' ';' <<<"$commands")" "" ""
expect "create" cr
expect "status" --verbose st
expect "--help;--verbose;--version" --
expect "My\\ Disk;Scratch" eject ""
expect "My\\ Disk" eject My
expect "--all;--force;--help" eject --
expect "" eject Scratch ""
expect "--force" backup Scratch --
expect "My\\ Disk;Scratch" eject --force ""
expect "My\\ Disk;Scratch" status ""
expect "--json;--help" status Scratch ""
expect "My\\ Disk;Scratch" set ""
expect "" add ""
expect_contains "--type;--size;--mount-dir;--backup;--login" "--name" add New --
expect_contains "--name;--size;--backup" "--type" set Scratch --
expect_contains "none;default;base" "" add New --backup ""
expect "default;off;on" add New --index ""
expect "15;30;5;60;off" add New --autosave ""
expect "custom" add New --type cu
expect "" add New --post-arg ""
expect "--json;--help" list ""
expect "--all;--json;--help" presets ""
expect "--purge;--help" memory ""
# Directories for --mount-dir, files for --post-command, relative to where one types.
mkdir -p "$T/cwd/place" && touch "$T/cwd/program"
(cd "$T/cwd" && expect "place" add New --mount-dir "") || fail=1
(cd "$T/cwd" && expect "program" add New --post-command "pro") || fail=1

[ $fail -eq 0 ] && echo PASS
exit $fail
