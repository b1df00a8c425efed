"""Programs of the Debian 13 tree (PipeWire 1.4, WirePlumber 0.5), run from
the host as if they were the host's own.

tools/debian13-pipewire.sh builds the tree once per machine. For a server of
the tree, a folder of launchers named like the tree's programs (pipewire,
wireplumber, pipewire-pulse, dbus-daemon, pw-play, paplay, pactl, pw-dump,
...) goes first on PATH: a test, a player tree's shell or a benchmark that
starts `pw-play` then gets the tree's, talking to the tree's server through
the tree's client libraries; every other program (sh, the tool, Python) is
the host's.

A launcher enters a mount namespace of its own, binds the tree onto itself
(so that its root is a mount point, as bwrap, which makes the root a slave
mount, needs), mounts /proc, /dev and the temporary folder (where the runtime, config and state folders and the tones
are) into the tree at their usual paths, and changes root into the tree,
keeping the working folder when the tree has it. Each step exec()s the next,
so the process its parent started is the program itself: same pid, same
process group, same environment (the watchdog knows it by that), in the
host's pid namespace. The mounts belong to the namespace and go with its last
process, however it ends; nothing is ever mounted in the host's namespace.
"""

import os
import shlex
import tempfile

TREE = os.environ.get("HARKWELL_DEBIAN13_TREE", "/var/cache/harkwell/debian13-pipewire")
PROGRAMS_FILE = ".harkwell-programs"  # the programs to run from the tree, one path a line

RUN = ".run"  # the launcher: RUN PROGRAM [ARGUMENTS]
RUN_SCRIPT = """\
#!/bin/sh
# %(run)s PROGRAM [ARGUMENTS] runs PROGRAM in the Debian 13 tree; a link to it
# named like one of the tree's programs runs that program (see debian13.py).
# A program outside the tree runs from its own folder, mounted at its path.
case ${0##*/} in
  %(run)s) ;;
  *) set -- "/usr/bin/${0##*/}" "$@" ;;
esac
exec unshare --mount --propagation private -- /bin/sh -c '
  tree=$1 tmp=$2; shift 2
  case $1 in /usr/bin/*|"$tmp"/*) folder= ;; *) folder=${1%%/*} ;; esac
  mount --bind "$tree" "$tree" && mount -t proc proc "$tree/proc" && mount --rbind /dev "$tree/dev" &&
    mkdir -p "$tree$tmp" && mount --rbind "$tmp" "$tree$tmp" &&
    { [ -z "$folder" ] || { mkdir -p "$tree$folder" && mount --bind "$folder" "$tree$folder"; }; } ||
    exit 127
  exec chroot "$tree" /bin/sh -c "cd \\"\\$1\\" 2>/dev/null || cd /; shift; PATH=/usr/bin:/bin:/usr/sbin:/sbin; exec \\"\\$@\\"" \\
    sh "$PWD" "$@"
' sh %(tree)s %(tmp)s "$@"
"""


class TreeMissing(RuntimeError):
    pass


def programs(tree=TREE):
    """The names of the programs run from the tree."""
    try:
        with open(os.path.join(tree, PROGRAMS_FILE)) as f:
            return sorted(os.path.basename(line.strip()) for line in f if line.strip())
    except OSError as error:
        raise TreeMissing("no Debian 13 PipeWire tree at %s (%s): build it with "
                          "tools/debian13-pipewire.sh (tools/install-deps.sh does)"
                          % (tree, error.strerror))


def make_launchers(folder, tree=TREE):
    """Fills `folder` with a launcher per program of the tree, to go first
    on PATH, and RUN; returns RUN's path."""
    names = programs(tree)
    os.makedirs(folder, exist_ok=True)
    run = os.path.join(folder, RUN)
    with open(run, "w") as f:
        f.write(RUN_SCRIPT % {"run": RUN, "tree": shlex.quote(tree),
                              "tmp": shlex.quote(tempfile.gettempdir())})
    os.chmod(run, 0o755)
    for name in names:
        os.symlink(RUN, os.path.join(folder, name))
    return run
