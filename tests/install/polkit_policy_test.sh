#!/usr/bin/env bash
# The install-time rule for the polkit policy: it is written only when nobody but root can
# replace the tool it lets run as root, judged on the real path (links followed), and always
# for a staged package build.
#   polkit_policy_test.sh SOURCE_DIR
set -uo pipefail
source=$(realpath "${1:?source directory}")
fail() { echo "FAIL: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root to give directories to other users"; exit 77; }

T=$(mktemp -d /tmp/quilmo-policy-test-XXXXXX) || exit 1
trap 'rm -rf --one-file-system "$T"' EXIT
chmod 0755 "$T"
nobody=65534

# install_policy PREFIX [DESTDIR]: runs the install step; true when a policy was written.
install_policy() {
  local prefix=$1 destdir=${2:-}
  DESTDIR=$destdir cmake -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DQUILMO_POLKIT_POLICY_IN="$T/template/org.quilmo.disktool.policy.in" \
    -P "$source/packaging/InstallPolicy.cmake" >"$T/log" 2>&1 || { cat "$T/log" >&2; fail "the install step failed"; }
  [ -f "$destdir$prefix/share/polkit-1/actions/org.quilmo.disktool.policy" ]
}
# tool PREFIX: an installed tool (root's, 0755) under PREFIX.
tool() {
  mkdir -p "$1/libexec/quilmo"
  install -m 0755 /bin/true "$1/libexec/quilmo/quilmo-disktool"
}
# The policy for a prefix is written beside the template before it is installed.
mkdir -p "$T/template" && cp "$source/resources/org.quilmo.disktool.policy.in" "$T/template/"

# Root's all the way down: written, naming the tool.
tool "$T/root-owned"
install_policy "$T/root-owned" || fail "no policy for a root-owned prefix"
grep -q "org.freedesktop.policykit.exec.path\">$T/root-owned/libexec/quilmo/quilmo-disktool<" \
  "$T/root-owned/share/polkit-1/actions/org.quilmo.disktool.policy" || fail "the policy names another tool"

# A directory on the way that another user owns.
tool "$T/users/prefix"
chown "$nobody" "$T/users"
install_policy "$T/users/prefix" && fail "a policy was written under a directory another user owns"

# The tool itself owned by another user.
tool "$T/own-tool"
chown "$nobody" "$T/own-tool/libexec/quilmo/quilmo-disktool"
install_policy "$T/own-tool" && fail "a policy was written for a tool another user owns"

# A group-writable tool directory.
tool "$T/group"
chmod 0775 "$T/group/libexec/quilmo"
install_policy "$T/group" && fail "a policy was written for a group-writable tool directory"

# A root-owned link to a place another user owns.
mkdir -p "$T/elsewhere"
tool "$T/elsewhere/prefix"
chown "$nobody" "$T/elsewhere/prefix" # only the target: the link itself is root's
ln -s "$T/elsewhere/prefix" "$T/linked"
install_policy "$T/linked" && fail "a policy was written through a link into another user's place"
# A link is no reason to refuse when everything it leads to is root's.
ln -s "$T/root-owned" "$T/linked-to-root"
install_policy "$T/linked-to-root" || fail "no policy through a link to a root-owned prefix"

# A sticky, world-writable directory above a root-owned prefix (as /tmp): others can add
# entries there but not replace ours.
mkdir -p "$T/sticky" && chmod 1777 "$T/sticky"
tool "$T/sticky/prefix"
install_policy "$T/sticky/prefix" || fail "no policy under a sticky directory"

# A policy from an earlier install goes when the place became unsafe.
tool "$T/later"
install_policy "$T/later" || fail "no policy for the first install"
chmod 0777 "$T/later/libexec"
install_policy "$T/later" && fail "an earlier policy stayed for a tool that is no longer safe"

# A staged install (a package being built) is judged where it will land.
tool "$T/stage/usr"
chown -R "$nobody" "$T/stage"
install_policy /usr "$T/stage" || fail "no policy in a staged install"
grep -q 'exec.path">/usr/libexec/quilmo/quilmo-disktool<' "$T/stage/usr/share/polkit-1/actions/org.quilmo.disktool.policy" ||
  fail "the staged policy does not name /usr/libexec/quilmo/quilmo-disktool"
echo PASS
