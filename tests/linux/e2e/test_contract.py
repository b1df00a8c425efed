"""The command line and the failures: usage, no server to connect to, and the
server going away in the middle of a capture."""

import os
import re
import socket
import time
import unittest

from harness import USAGE, ToolTestCase, play_forever
from private_server import private_environment
from process_groups import make_temp_dir, remove_temp_dir

NO_SERVER = re.compile(rb"activate failed: 0x80070070: [^\n]+\n\Z")  # EHOSTDOWN


def serverless_environment(stale_socket):
    """An environment whose runtime folder holds no live server: empty, or
    with the socket a dead server left behind."""
    root = make_temp_dir("harkwell-noserver-")
    folders = {name: os.path.join(root, name) for name in ("runtime", "config", "state",
                                                           "data", "home")}
    for path in folders.values():
        os.makedirs(path, mode=0o700)
    if stale_socket:
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(os.path.join(folders["runtime"], "pipewire-0"))
        listener.close()  # the file stays; nobody listens on it
    return root, private_environment(os.environ, folders)


class WithoutServer(ToolTestCase):
    """None of these needs a server; they run where none can be reached."""

    def serverless(self, stale_socket=False):
        root, env = serverless_environment(stale_socket)
        self.addCleanup(remove_temp_dir, root)
        return env

    def test_fewer_than_two_arguments_print_the_usage(self):
        for args in ([], ["1234"], ["include"]):
            with self.subTest(args=args):
                # stdin stays open: the usage must not wait for it.
                result = self.capture(*args, env=self.serverless()).wait_exit()
                self.assertEqual(USAGE, result.stderr)
                self.assertEqual(2, result.status)
                self.assertEqual(b"", result.stdout)

    def test_no_server_fails_with_one_line(self):
        for stale_socket in (False, True):
            for mode in ("include", "exclude"):
                with self.subTest(stale_socket=stale_socket, mode=mode):
                    env = self.serverless(stale_socket)
                    result = self.capture(os.getpid(), mode, env=env).wait_exit()
                    self.assertEqual(1, result.status)
                    self.assertRegex(result.stderr, NO_SERVER)
                    self.assertEqual(b"", result.stdout)


class ServerGoesAway(ToolTestCase):
    """Each case kills a server of its own."""

    def test_ends_with_status_1_and_no_message(self):
        for playing in (True, False):
            with self.subTest(playing=playing):
                server = self.private_server()
                tree = self.player_tree(now=[play_forever("native", self.tone(500, 30))],
                                        server=server)
                self.wait_for_streams([tree], 1, server=server)
                quiet = self.player_tree(now=["sleep 600"], server=server)
                capture = self.capture((tree if playing else quiet).pid, "include",
                                       server=server)
                self.wait_for_tool(capture, server=server)
                if playing:
                    self.assertTrue(capture.wait_for_sound(0.5), "no sound arrived")
                killed_at = time.monotonic()
                server.kill_server()
                # stdin stays open: the tool must end by itself.
                result = capture.wait_exit()
                print("server killed %s: harkwell ended %.1f ms later, status %d, %d bytes"
                      % ("while playing" if playing else "while idle",
                         1000 * (time.monotonic() - killed_at), result.status,
                         len(result.stdout)))
                self.assertEqual(b"", result.stderr)
                self.assertEqual(1, result.status)
                self.assertEqual(0, len(result.stdout) % 4)


if __name__ == "__main__":
    unittest.main()
