# shellcheck shell=bash
# Functions shared by check-package.sh and its self-test (test-check-lib.sh).
# Sourced, never run; bash only.

# The lines of a udev rules file that give every user write access: a MODE
# whose last (others) octal digit has the write bit. Comment lines are
# skipped, as udev skips them. Prints the offending lines; status 0 when there
# is at least one.
rule_world_writable_lines() {
  local file=$1 line rest mode found=1
  # An assignment (MODE=, MODE:=), not a comparison (MODE==), of an octal mode.
  local assign='(^|[[:space:],])MODE[[:space:]]*:?=[[:space:]]*"?([0-7]+)'
  while IFS= read -r line || [ -n "$line" ]; do
    [[ $line =~ ^[[:space:]]*(#|$) ]] && continue
    rest=$line
    while [[ $rest =~ $assign ]]; do
      mode=${BASH_REMATCH[2]}
      case ${mode: -1} in
        2 | 3 | 6 | 7) printf '%s\n' "$line"; found=0; break ;;
      esac
      rest=${rest#*"${BASH_REMATCH[0]}"}
    done
  done < "$file"
  return $found
}

# Status 0 when a rule line (not a comment) matches vendor id VENDOR and tags
# the node for uaccess.
rule_grants_uaccess() {
  local file=$1 vendor=$2 line
  while IFS= read -r line || [ -n "$line" ]; do
    [[ $line =~ ^[[:space:]]*# ]] && continue
    if [[ ${line,,} == *"attrs{idvendor}==\"${vendor,,}\""* && $line == *'TAG+="uaccess"'* ]]; then
      return 0
    fi
  done < "$file"
  return 1
}

# Status 0 when the control field DEPENDS (as dpkg-deb -f prints it) names
# package NAME, alone or as one of alternatives, with or without a version
# constraint or an architecture qualifier.
depends_names() {
  local depends=$1 name=$2 entry alt
  local IFS=','
  for entry in $depends; do
    IFS='|'
    for alt in $entry; do
      alt=${alt#"${alt%%[![:space:]]*}"}
      alt=${alt%%[[:space:](]*}
      alt=${alt%%:*}
      [ "$alt" = "$name" ] && return 0
    done
    IFS=','
  done
  return 1
}

# Command paths ("list", "tables download") of a CLI11 program, read from its
# --help pages, one a line. Groups that only hold subcommands ("tables") are
# listed through their subcommands.
help_commands() {
  local program=$1; shift
  local sub subs
  subs=$("$program" "$@" --help 2>/dev/null |
         awk '/^Subcommands:/ {on=1; next} on && /^[^ ]/ {on=0} on && NF {print $1}')
  if [ -z "$subs" ]; then
    [ $# -gt 0 ] && echo "$*"
    return 0
  fi
  for sub in $subs; do
    help_commands "$program" "$@" "$sub"
  done
}

# The long options ("--output") a CLI11 help page shows, one a line.
help_long_options() {
  "$@" --help 2>/dev/null |
    awk '/^Options:/ {on=1; next} on && /^[^ ]/ {on=0} on && NF {print $1}' |
    tr ',' '\n' | grep -E '^--[a-z]' | sort -u
}

# A man page as plain ASCII text on one line per paragraph, without
# hyphenation and with single spaces, so that words and option names can be
# looked up as they are typed.
man_plain_text() {
  local page=$1
  if [[ $page == *.gz ]]; then gzip -dc "$page"; else cat "$page"; fi |
    groff -man -Tascii -rHY=0 -rLL=1000n -P-cbou 2>/dev/null | tr -s ' '
}

# The commands and long options that PROGRAM's help pages show but the man
# page PAGE never mentions, one a line ("command tables download",
# "option --find"). Status 0 when there are none.
man_missing_from_help() {
  local program=$1 page=$2 text cmd opt missing=0
  text=$(man_plain_text "$page")
  local -a words
  while IFS= read -r cmd; do
    [ -n "$cmd" ] || continue
    if ! grep -qF -- "$cmd" <<< "$text"; then
      echo "command $cmd"
      missing=1
    fi
    read -r -a words <<< "$cmd"
    while IFS= read -r opt; do
      if ! grep -qF -- "$opt" <<< "$text"; then
        echo "option $opt (of $cmd)"
        missing=1
      fi
    done < <(help_long_options "$program" "${words[@]}")
  done < <(help_commands "$program")
  while IFS= read -r opt; do
    if ! grep -qF -- "$opt" <<< "$text"; then
      echo "option $opt"
      missing=1
    fi
  done < <(help_long_options "$program")
  return $missing
}

# Errors ("E:" lines) of appstreamcli validate's text output. Warnings and
# notes are left out: the metadata is checked leniently. Status 0 when there
# is at least one error.
appstream_error_lines() {
  grep -E '^E: ' <<< "$1"
}
