"""Graphs of real desktops, built from real programs for the tests: virtual
sinks and loopbacks (pw-loopback), sandboxed players (unshare, bwrap, a
bwrap sandbox marked as a Flatpak) and JACK players under pw-jack (jack-play,
and our own tone player where the distribution has no jack-play). Each builder gives a shell command for a PlayerTree."""

import shlex

from private_server import SINK

SINK_DESCRIPTION = "Harkwell test sink"  # the name JACK clients see it by
FLATPAK_APP_ID = "org.example.Player"
CONNECT_TRIES = 200  # jack_connect attempts, 50 ms apart, while the player starts


def virtual_sink(name):
    """A virtual sink: a loopback whose capture side is an Audio/Sink and
    whose playback side plays into the default sink."""
    return ("pw-loopback --capture-props=%s --playback-props=%s"
            % (shlex.quote("media.class=Audio/Sink node.name=%s audio.position=[FL,FR]" % name),
               shlex.quote("node.name=%s_out" % name)))


def virtual_source(name):
    """A virtual microphone: what is played into the sink `<name>_in` comes
    out of the Audio/Source `name`."""
    return ("pw-loopback --capture-props=%s --playback-props=%s"
            % (shlex.quote("media.class=Audio/Sink node.name=%s_in audio.position=[FL,FR]" % name),
               shlex.quote("media.class=Audio/Source node.name=%s audio.position=[FL,FR]"
                           % name)))


def loopback_from(source, name):
    """A loopback that records `source` and plays it to the default sink."""
    return ("pw-loopback --capture-props=%s --playback-props=%s"
            % (shlex.quote("node.name=%s_in target.object=%s" % (name, source)),
               shlex.quote("node.name=%s_out" % name)))


def play_to(kind, wav, sink):
    """A player that plays into the named sink instead of the default one."""
    option = "--target" if kind == "native" else "--device"
    program = "pw-play" if kind == "native" else "paplay"
    return "while :; do %s %s=%s %s; done" % (program, option, sink, shlex.quote(wav))


def in_unshare(command):
    """A command in a pid namespace of its own, with its own /proc."""
    return "unshare --pid --fork --mount-proc sh -c %s" % shlex.quote(command)


def in_bwrap(command, flatpak_info=None):
    """A command in a bwrap sandbox with a pid namespace of its own and a
    root of its own, in which /usr, /etc and /tmp (where the server's
    sockets, the tones and flatpak_info are) are the host's. With
    flatpak_info, the file is its /.flatpak-info: the PulseAudio bridge
    then treats its clients as Flatpak applications."""
    argv = ["bwrap", "--tmpfs", "/", "--ro-bind", "/usr", "/usr", "--ro-bind", "/etc", "/etc",
            "--symlink", "usr/bin", "/bin", "--symlink", "usr/lib", "/lib",
            "--symlink", "usr/lib64", "/lib64", "--symlink", "usr/sbin", "/sbin",
            "--bind", "/tmp", "/tmp", "--proc", "/proc", "--dev", "/dev", "--unshare-pid"]
    if flatpak_info:
        argv += ["--ro-bind", flatpak_info, "/.flatpak-info"]
    return " ".join(map(shlex.quote, argv + ["sh", "-c", command]))


def flatpak_info_text(app_id=FLATPAK_APP_ID):
    return "[Application]\nname=%s\nruntime=runtime/org.example.Platform/x86_64/1\n" % app_id


def jack_player(wav, connections=(("out_1", "playback_FL"), ("out_2", "playback_FR"))):
    """jack-play under pw-jack (its client is named jack-play-<pid>), its
    output ports connected to the default sink's inputs with jack_connect
    once they exist; then waits for it."""
    connect = "; ".join(
        "i=0; until pw-jack jack_connect jack-play-$p:%s %s 2>/dev/null; do "
        "i=$((i+1)); [ $i -ge %d ] && break; sleep 0.05; done"
        % (port, shlex.quote("%s:%s" % (SINK_DESCRIPTION, sink_port)), CONNECT_TRIES)
        for port, sink_port in connections)
    return "(pw-jack jack-play %s & p=$!; %s; wait $p)" % (shlex.quote(wav), connect)


def jack_tone_player(program, hz, amplitude=0.3):
    """Our own JACK client (jack_tone_player.cpp) under pw-jack, playing a
    tone into the default sink's inputs, which it connects to itself."""
    ports = ["%s:%s" % (SINK_DESCRIPTION, port) for port in ("playback_FL", "playback_FR")]
    return " ".join(map(shlex.quote, ["pw-jack", program, "--hz", "%g" % hz,
                                      "--amplitude", "%g" % amplitude] + ports))


__all__ = ["SINK", "virtual_sink", "virtual_source", "loopback_from", "play_to", "in_unshare",
           "in_bwrap", "flatpak_info_text", "jack_player", "jack_tone_player"]
