#!/usr/bin/env bash
# The Ansible role deploy/ansible/roles/tavrel. ansible-lint finds nothing in deploy/ansible and
# site.yml passes the syntax check. Then the role's script part runs on this computer against two
# simulated gadgets kept in a state file, as ansible-playbook reports it (its JSON callback): the
# first run writes both gadgets (the download task changed), a second run changes nothing, a run
# after the script changed writes them again, and a run without a gadget fails the host.
# Everything Ansible writes goes into a temporary folder, removed at the end.
#   ansible_role_test.sh TAVREL_CLI
set -euo pipefail
cli=$(realpath "$1")
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
python=/usr/bin/python3

fail() {
    echo "ansible_role_test: FAILED: $*" >&2
    exit 1
}
for tool in ansible-playbook ansible-lint "$python"; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup installs it)"
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/home" "$tmp/host"
touch "$tmp/ansible.cfg"
export HOME="$tmp/home" XDG_CACHE_HOME="$tmp/cache" ANSIBLE_HOME="$tmp/ansible" \
    ANSIBLE_CONFIG="$tmp/ansible.cfg" ANSIBLE_LOCAL_TEMP="$tmp/ansible/tmp" \
    ANSIBLE_REMOTE_TEMP="$tmp/ansible/remote-tmp" ANSIBLE_RETRY_FILES_ENABLED=false \
    ANSIBLE_NOCOLOR=1 ANSIBLE_ROLES_PATH="$root/deploy/ansible/roles"

echo "ansible-lint --offline in deploy/ansible"
if ! (cd "$root/deploy/ansible" && ansible-lint --offline --nocolor) >"$tmp/lint.txt" 2>&1; then
    cat "$tmp/lint.txt" >&2
    fail "ansible-lint finds faults in deploy/ansible (above)"
fi

echo "ansible-playbook --syntax-check deploy/ansible/site.yml"
if ! ansible-playbook --syntax-check "$root/deploy/ansible/site.yml" >"$tmp/syntax.txt" 2>&1; then
    cat "$tmp/syntax.txt" >&2
    fail "deploy/ansible/site.yml fails the syntax check (above)"
fi

script=$tmp/script.txt
printf '%s\n' '注释：一次部署' '按键：1' '延时：2秒' '按键：回车' >"$script"

# play NAME EXTRA_ARGS_JSON: runs the script part with tavrel-cli's extra arguments, its report
# in $tmp/NAME.json; the status of ansible-playbook in $status.
play() {
    "$python" -c 'import json, sys; print(json.dumps({
        "ansible_python_interpreter": sys.argv[1], "tavrel_cli": sys.argv[2],
        "tavrel_script": sys.argv[3], "tavrel_script_dest": sys.argv[4],
        "tavrel_cli_extra_args": json.loads(sys.argv[5])}))' \
        "$python" "$cli" "$script" "$tmp/host/gadget-script.txt" "$2" >"$tmp/$1.vars.json"
    status=0
    ANSIBLE_STDOUT_CALLBACK=ansible.posix.json ansible-playbook -c local -i localhost, \
        "$root/tests/deploy/download_playbook.yml" -e "@$tmp/$1.vars.json" \
        >"$tmp/$1.json" 2>"$tmp/$1.err" || status=$?
}

# check NAME STATUS CHANGED RESULT: the run NAME exited STATUS, the host failed exactly when
# STATUS is not 0, the download task (changed: CHANGED) printed one JSON object per gadget, each
# with "result": RESULT (for a failed run: the one error object, its status 3), and with CHANGED
# false no task at all changed.
check() {
    if ! "$python" - "$tmp/$1.json" "$status" "$2" "$3" "$4" <<'PY'; then
import json, sys

report_path, status, want_status, want_changed, want_result = sys.argv[1:]
want_changed = want_changed == "changed"
with open(report_path, encoding="utf-8") as f:
    report = json.load(f)
problems = []
if int(status) != int(want_status):
    problems.append(f"ansible-playbook exited {status}, not {want_status}")
stats = report["stats"]["localhost"]
if stats["unreachable"] or stats["failures"] != (0 if want_status == "0" else 1):
    problems.append(f"the recap says {stats}")
if not want_changed and stats["changed"]:
    problems.append(f"{stats['changed']} tasks changed on a run that should change nothing")
tasks = [task for play in report["plays"] for task in play["tasks"]
         if task["task"]["name"] == "tavrel : Download the script into every gadget"]
if len(tasks) != 1:
    problems.append(f"the download task ran {len(tasks)} times, not once")
else:
    result = tasks[0]["hosts"]["localhost"]
    lines = [json.loads(line) for line in result.get("stdout_lines", [])]
    if result.get("changed") != want_changed:
        problems.append(f"the download task says changed: {result.get('changed')}")
    if want_result == "error":
        if not (result.get("rc") == 3 and len(lines) == 1 and lines[0].get("status") == 3
                and lines[0].get("error")):
            problems.append("no gadget did not give status 3 and one error object")
    else:
        paths = sorted(line.get("path", "") for line in lines)
        if paths != ["sim:gadget-1", "sim:gadget-2"]:
            problems.append(f"the gadgets reported are {paths}")
        for line in lines:
            if line.get("command") != "download" or line.get("result") != want_result \
                    or line.get("changed") != (want_result == "ok"):
                problems.append(f"a gadget says {line}, not result {want_result}")
if problems:
    print("\n".join(problems), file=sys.stderr)
    print("download task: " + json.dumps(tasks[0]["hosts"]["localhost"] if tasks else None,
                                         ensure_ascii=False), file=sys.stderr)
    sys.exit(1)
PY
        cat "$tmp/$1.err" >&2
        fail "run '$1' of the role's script part is not as expected (above)"
    fi
    echo "run '$1': as expected"
}

gadgets='["--simulate=2", "--sim-state", "'"$tmp"'/state.txt"]'
play first "$gadgets"
check first 0 changed ok
play again "$gadgets"
check again 0 unchanged unchanged

printf '%s\n' '按键：下' >>"$script"
play changed-script "$gadgets"
check changed-script 0 changed ok
# Both simulated gadgets hold the new script now, as tavrel-cli sees them itself.
if ! "$cli" download --simulate=2 --sim-state "$tmp/state.txt" --all --if-changed --json "$script" \
    2>"$tmp/direct.err" | "$python" -c 'import json, sys
lines = [json.loads(line) for line in sys.stdin]
sys.exit(not (len(lines) == 2 and all(line["result"] == "unchanged" for line in lines)))'; then
    cat "$tmp/direct.err" >&2
    fail "the gadgets do not hold the changed script"
fi

play no-gadget '["--simulate=0"]'
check no-gadget 2 unchanged error

echo "ansible_role_test: passed"
