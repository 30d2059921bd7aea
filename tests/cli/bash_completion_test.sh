#!/usr/bin/env bash
# Runs tavrel-cli's bash completion on a table of command lines, as bash would on <TAB> at the end
# of each, and compares what it offers with what it should; each command's options are also
# compared with the table its `tavrel-cli COMMAND --help` prints.
#   bash tests/cli/bash_completion_test.sh PATH/TO/tavrel-cli PATH/TO/completion-script
# The script calls tavrel-cli through PATH: the folder of the program under test comes first.
set -uo pipefail
program=${1:?usage: bash_completion_test.sh TAVREL-CLI COMPLETION-SCRIPT}
script=${2:?usage: bash_completion_test.sh TAVREL-CLI COMPLETION-SCRIPT}
framework=/usr/share/bash-completion/bash_completion
[[ -f $framework ]] || { echo "bash_completion_test: no $framework (scripts/setup installs bash-completion)" >&2; exit 1; }
[[ -f $script ]] || { echo "bash_completion_test: no completion script at $script" >&2; exit 1; }
script=$(realpath "$script")
PATH=$(cd "$(dirname "$program")" && pwd):$PATH
[[ $(command -v tavrel-cli) -ef $program ]] || { echo "bash_completion_test: tavrel-cli is not $program" >&2; exit 1; }

# A folder with a file and a subfolder, for the cases that complete files and folders. In the
# subfolder, names the shell would read as code or as several words if they went onto the line as
# they are, and ones holding a line break.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/subdir" "$scratch/subdir/"$'new\nfolder'
: >"$scratch/script.txt"
: >"$scratch/subdir/\$(touch X)"
: >"$scratch/subdir/a b.txt"
: >"$scratch/subdir/"$'line\nbreak.txt'
cd "$scratch" || exit 1

failures=0

# Splits LINE into COMP_WORDS the way bash does: at blanks, and around the characters of
# COMP_WORDBREAKS (a run of them is a word of its own). The cursor is at the end of the line.
set_comp_words() {
    local line=$1 word="" char i
    COMP_WORDS=()
    for ((i = 0; i < ${#line}; i++)); do
        char=${line:i:1}
        if [[ $char == " " ]]; then
            [[ -n $word ]] && COMP_WORDS+=("$word")
            word=""
        elif [[ $COMP_WORDBREAKS == *"$char"* ]]; then
            if [[ -n $word && $COMP_WORDBREAKS != *"${word: -1}"* ]]; then
                COMP_WORDS+=("$word")
                word=""
            fi
            word+=$char
        else
            if [[ -n $word && $COMP_WORDBREAKS == *"${word: -1}"* ]]; then
                COMP_WORDS+=("$word")
                word=""
            fi
            word+=$char
        fi
    done
    COMP_WORDS+=("$word") # the word being completed, empty after a blank
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE=$line
    COMP_POINT=${#line}
}

# The builtin compopt works only while bash completes a line: this one records what the completion
# asks for, the options bash would then apply when it puts a completion onto the line.
compopt() {
    local IFS=' ' # bash-completion's _filedir calls it with IFS set to a line break
    compopt_calls+=("$*")
}

# complete LINE: runs the completion function registered for tavrel-cli on LINE, into COMPREPLY and
# compopt_calls; fails when there is none.
complete_line() {
    local function
    set_comp_words "$1"
    function=$(complete -p tavrel-cli 2>/dev/null | sed -n 's/.*-F \([^ ]*\) .*/\1/p')
    if [[ -z $function ]]; then
        echo "bash_completion_test: FAIL: no completion function is registered for tavrel-cli" >&2
        failures=$((failures + 1))
        return 1
    fi
    COMPREPLY=() compopt_calls=()
    "$function" tavrel-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
}

# fail MESSAGE: counts a failure and says it.
fail() {
    echo "bash_completion_test: FAIL: $*" >&2
    failures=$((failures + 1))
}

# check LINE EXPECTED: the completions offered for LINE are the words of EXPECTED, in any order.
check() {
    local line=$1 expected got
    expected=$(tr ' ' '\n' <<<"$2" | sed '/^$/d' | LC_ALL=C sort | paste -sd ' ')
    complete_line "$line" || return
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | LC_ALL=C sort | paste -sd ' ')
    if [[ $got != "$expected" ]]; then
        echo "bash_completion_test: FAIL: '$line<TAB>' offers '$got', expected '$expected'" >&2
        failures=$((failures + 1))
    fi
}

# check_files LINE NAME...: LINE completes to exactly the NAMEs, each whole, as file names (bash
# quotes them when it puts one onto the line).
check_files() {
    local line=$1 expected got
    shift
    expected=$(printf '%q\n' "$@" | LC_ALL=C sort | paste -sd ' ')
    complete_line "$line" || return
    got=$( ((${#COMPREPLY[@]} == 0)) || printf '%q\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd ' ')
    if [[ $got != "$expected" ]]; then
        echo "bash_completion_test: FAIL: '$line<TAB>' offers $got, expected $expected" >&2
        failures=$((failures + 1))
    fi
    if [[ " ${compopt_calls[*]} " != *" -o filenames "* ]]; then
        echo "bash_completion_test: FAIL: '$line<TAB>' offers its files not as file names" >&2
        failures=$((failures + 1))
    fi
}

# The same on both sides, with bash-completion and without.
check_file_names() {
    check_files "tavrel-cli compile subdir/" \
        "subdir/\$(touch X)" "subdir/a b.txt" "subdir/"$'line\nbreak.txt' "subdir/"$'new\nfolder'
    check_files "tavrel-cli flash read --output subdir/l" "subdir/"$'line\nbreak.txt'
    check_files "tavrel-cli devices --dev-root subdir/" "subdir/"$'new\nfolder'
}

select_options="--all --dev-root --device --json --sim-state --sim-trace --simulate --sysfs-root --timeout"
cases=(
    "tavrel-cli "                       "--help --version compile devices download flash id list reboot send serve start stop"
    "tavrel-cli fl"                     "flash"
    "tavrel-cli --"                     "--help --version"
    "tavrel-cli flash "                 "clear read write"
    "tavrel-cli flash w"                "write"
    "tavrel-cli compile --"             "--encoding --json --no-autorun --version"
    "tavrel-cli list --"                "--encoding --json"
    "tavrel-cli devices --"             "--dev-root --json --sim-state --sim-trace --simulate --sysfs-root"
    "tavrel-cli devices --j"            "--json"
    "tavrel-cli id "                    "$select_options"
    "tavrel-cli download --"            "$select_options --encoding --if-changed --no-autorun --verify --version"
    "tavrel-cli download --v"           "--verify --version"
    "tavrel-cli flash read --"          "$select_options --output"
    "tavrel-cli flash write --"         "$select_options --hex --if-changed --raw --verify"
    "tavrel-cli flash clear --"         "$select_options --verify"
    "tavrel-cli send --"                "$select_options --encoding --identity --keys --to"
    "tavrel-cli serve --"               "--all --allow --dev-root --device --keys --metrics-file --plain --port --sim-state --sim-trace --simulate --sysfs-root --udp-bind --verbose"
    "tavrel-cli serve --j"              ""
    "tavrel-cli serve --m"              "--metrics-file"
    "tavrel-cli serve --p"              "--plain --port"
    "tavrel-cli send "                  ""
    "tavrel-cli send --e"               "--encoding"
    "tavrel-cli send -- --"             ""
    "tavrel-cli send --to rig-pc -- '按键：A' --" ""
    "tavrel-cli send --to "             ""
    "tavrel-cli send --to rig-pc --identity " ""
    "tavrel-cli send --to rig-pc --identity rig-7 " ""
    "tavrel-cli compile --encoding "    "gbk utf8"
    "tavrel-cli download --encoding g"  "gbk"
    "tavrel-cli send --encoding="       "gbk utf8"
    "tavrel-cli compile --version "     ""
    "tavrel-cli id --timeout "          ""
    "tavrel-cli compile "               "script.txt subdir"
    "tavrel-cli list --encoding gbk s"  "script.txt subdir"
    "tavrel-cli download --verify sc"   "script.txt"
    "tavrel-cli flash write "           "script.txt subdir"
    "tavrel-cli flash read --output "   "script.txt subdir"
    "tavrel-cli id --sim-trace "        "script.txt subdir"
    "tavrel-cli serve --keys "          "script.txt subdir"
    "tavrel-cli serve --keys=s"         "script.txt subdir"
    "tavrel-cli serve --metrics-file "  "script.txt subdir"
    "tavrel-cli serve --metrics-file=s" "script.txt subdir"
    "tavrel-cli send --to rig-pc --keys sc" "script.txt"
    "tavrel-cli devices --sysfs-root "  "subdir"
    "tavrel-cli devices --dev-root s"   "subdir"
    "tavrel-cli id --sysfs-root "       "subdir"
    "tavrel-cli serve --dev-root s"     "subdir"
    "tavrel-cli id --simulate=2 --device "            "sim:gadget-1 sim:gadget-2"
    "tavrel-cli start --device sim:gadget-2 --simulate=2 --device " "sim:gadget-1 sim:gadget-2"
    "tavrel-cli serve --simulate --device "           "sim:gadget-1"
    "tavrel-cli flash read --simulate=3 --device sim:" "gadget-1 gadget-2 gadget-3"
    "tavrel-cli id --simulate=2 --device sim:gadget-2" "gadget-2"
    "tavrel-cli id --simulate=2 --device=sim:g"       "gadget-1 gadget-2"
)

# The options a command's --help lists in its table, one a line (ARGS: the command's words).
help_options() {
    tavrel-cli "$@" --help | sed -n '/^Options:/,$s/^  \(--[a-z-]*\).*/\1/p'
}

# Each command completes exactly the options its --help lists; send completes those of send to
# gadgets and of send --to together.
registry_cases=()
for command in compile list devices id download "flash read" "flash write" "flash clear" start stop reboot serve; do
    read -ra words <<<"$command"
    registry_cases+=("tavrel-cli $command --" "$(help_options "${words[@]}" | LC_ALL=C sort -u | paste -sd ' ')")
done
registry_cases+=("tavrel-cli send --" "$({ help_options send; help_options send --to x; } | LC_ALL=C sort -u | paste -sd ' ')")

# With bash-completion, as an installed system loads it.
(
    # shellcheck source=/dev/null
    source "$framework"
    # shellcheck source=/dev/null
    source "$script"
    for ((c = 0; c < ${#cases[@]}; c += 2)); do
        check "${cases[c]}" "${cases[c + 1]}"
    done
    for ((c = 0; c < ${#registry_cases[@]}; c += 2)); do
        if [[ -n ${registry_cases[c + 1]} ]]; then
            check "${registry_cases[c]}" "${registry_cases[c + 1]}"
        else
            fail "'${registry_cases[c]% --} --help' lists no options"
        fi
    done
    check_file_names
    exit $((failures > 0))
) || failures=$((failures + 1))

# Without it, sourced on its own: the commands, the options and the encodings still complete.
(
    # shellcheck source=/dev/null
    source "$script"
    check "tavrel-cli "                    "--help --version compile devices download flash id list reboot send serve start stop"
    check "tavrel-cli flash "              "clear read write"
    check "tavrel-cli download --"         "$select_options --encoding --if-changed --no-autorun --verify --version"
    check "tavrel-cli compile --encoding " "gbk utf8"
    check "tavrel-cli id --device "        ""
    check "tavrel-cli compile sc"          "script.txt"
    check_file_names
    exit $((failures > 0))
) || failures=$((failures + 1))

if ((failures > 0)); then
    echo "bash_completion_test: failed" >&2
    exit 1
fi
echo "bash_completion_test: every case completes as expected"
