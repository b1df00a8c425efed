"""From the command line to a started stream: arguments, activation, set-up."""

import os
import shutil
import struct
import unittest

from harness import USAGE, ToolRunner, ToolTestCase, expected_output

IID_AUDIO_CLIENT = "{1CB9AD4C-DBFA-4C32-B178-C2F568A703B2}"
IID_CAPTURE_CLIENT = "{C8ADBD64-E71E-48A0-A4DE-185C395CD317}"
CAPTURE_FORMAT = "0100020080bb000000ee0200040010000000"


def blob(pid, mode):
    return struct.pack("<III", 1, pid, mode).hex()


class Usage(ToolTestCase):
    def test_too_few_arguments_print_usage_and_exit_2(self):
        for args in ([], ["1234"]):
            with self.subTest(args=args):
                run = self.runner.run(args)
                self.assertEqual(USAGE, run.stderr)
                self.assertEqual(b"", run.stdout)
                self.assertEqual(2, run.returncode)
                self.assertEqual([], run.calls("ActivateAudioInterfaceAsync"))


class Activation(ToolTestCase):
    def test_identifier_and_mode_reach_the_platform_as_parsed(self):
        cases = [
            (["1234", "include"], 1234, 0),
            (["1234", "exclude"], 1234, 1),
            (["abc", "INCLUDE"], 0, 0),
            (["42xyz", "Include"], 42, 0),
            (["  +77", "iNcLuDe"], 77, 0),
            (["-1", "exclude"], 0xFFFFFFFF, 1),
            (["99999999999", "include "], 0x7FFFFFFF, 1),
            (["-99999999999", ""], 0x80000000, 1),
            (["0x10", "includes"], 0, 1),
            (["12", "\u0131nclude"], 12, 1),  # dotless i is not an ASCII letter
            (["7", "*", "extra", "more"], 7, 1),
        ]
        for args, pid, mode in cases:
            with self.subTest(args=args):
                run = self.runner.run(args)
                self.assertCleanExit(run, 0)
                [call] = run.calls("ActivateAudioInterfaceAsync")
                self.assertIn(" blob=%s " % blob(pid, mode), call)

    def test_successful_set_up_makes_exactly_these_calls(self):
        run = self.runner.run(["4321", "exclude"])
        self.assertCleanExit(run, 0)
        set_up = [line for line in run.record
                  if not line.startswith(("Destroyed", "ProcessExit", "Stop", "Wake"))]
        self.assertEqual([
            "ActivateAudioInterfaceAsync path=VAD\\Process_Loopback iid=%s vt=65 blob=%s "
            "handler=agile -> 0x00000000" % (IID_AUDIO_CLIENT, blob(4321, 1)),
            "GetActivateResult -> 0x00000000 result=0x00000000 interface=set",
            "QueryInterface object=AudioClient iid=%s -> 0x00000000" % IID_AUDIO_CLIENT,
            "Initialize sharemode=0 flags=0x88060000 duration=2000000 periodicity=0 "
            "format=%s session=null -> 0x00000000" % CAPTURE_FORMAT,
            "GetService iid=%s -> 0x00000000" % IID_CAPTURE_CLIENT,
            "SetEventHandle handle=set type=auto signaled=0 access=0x001f0003 -> 0x00000000",
            "Start -> 0x00000000",
            "ActivateCompleted thread=callback -> 0x00000000",
        ], set_up)

    def test_set_up_failures_are_reported_with_their_code(self):
        # The last column: whether the path releases an initialised event-driven
        # client that never got its event handle, which the platform answers
        # with a release that takes several seconds.
        cases = [
            ("fail ActivateAudioInterfaceAsync 0x80004005", 0x80004005,
             "ActivateAudioInterfaceAsync", False),
            ("fail GetActivateResult 0x8000ffff", 0x8000FFFF, "GetActivateResult", False),
            ("activate-result 0x80070005", 0x80070005, "GetActivateResult", False),
            ("fail QueryInterface 0x80004002", 0x80004002, "QueryInterface", False),
            ("fail Initialize 0x88890008", 0x88890008, "Initialize", False),
            ("fail GetService 0x88890001", 0x88890001, "GetService", True),
            ("fail SetEventHandle 0x80070057", 0x80070057, "SetEventHandle", True),
            ("fail Start 0x88890005", 0x88890005, "Start", False),
        ]
        for scenario, code, failing_call, without_event in cases:
            with self.subTest(scenario=scenario):
                run = self.runner.run(["1000", "include"], scenario=scenario + "\n",
                                      keep_stdin_open=True)
                self.assertEqual(b"activate failed: 0x%08x\r\n" % code, run.stderr)
                self.assertEqual(1, run.returncode)
                self.assertEqual(b"", run.stdout)
                calls = [name for name in run.names()
                         if name not in ("ActivateCompleted", "Destroyed", "ProcessExit",
                                         "ReleasedWithoutEventHandle")]
                self.assertEqual(failing_call, calls[-1], run.record)
                self.assertTrue(run.record[-1].startswith("ProcessExit live="), run.record[-3:])
                # The tool wakes as soon as the handler has set its event and
                # may exit while the stack's callback thread still holds the
                # handler, and through it the client: then nothing is
                # released at all (live > 0), as it would be on Windows.
                if without_event and run.record[-1] == "ProcessExit live=0":
                    self.assertEqual(["ReleasedWithoutEventHandle object=AudioClient"],
                                     run.calls("ReleasedWithoutEventHandle"))
                if not without_event:
                    self.assertEqual([], run.calls("ReleasedWithoutEventHandle"))

    def test_the_handler_may_be_called_before_the_request_returns_or_later(self):
        cases = [
            ("completion synchronous", "caller"),
            ("completion delayed 400", "callback"),
        ]
        pending = expected_output([("data", 480)] * 2)
        for directive, thread in cases:
            with self.subTest(directive):
                run = self.runner.run(["1000", "include"],
                                      scenario=directive + "\nprefill data 480 2\n")
                self.assertCleanExit(run, 0)
                self.assertEqual(pending, run.stdout)
                [completed] = run.calls("ActivateCompleted")
                self.assertEqual("ActivateCompleted thread=%s -> 0x00000000" % thread, completed)
                request = run.names().index("ActivateAudioInterfaceAsync")
                completion = run.names().index("ActivateCompleted")
                self.assertEqual(thread == "caller", completion < request, run.record)
                self.assertEqual(1, len(run.calls("Stop")))

    def test_success_codes_other_than_ok_count_as_success(self):
        scenario = "fail Initialize 0x00000001\nfail Start 0x00000001\nfail SetEventHandle 0x00000001\n"
        run = self.runner.run(["1000", "include"], scenario=scenario)
        self.assertCleanExit(run, 0)
        self.assertEqual(1, len(run.calls("Stop")))

    def test_every_reference_is_released_while_the_runtime_is_still_up(self):
        run = self.runner.run(["1000", "include"], scenario="prefill data 480 2\n")
        self.assertCleanExit(run, 0)
        destroyed = run.calls("Destroyed")
        self.assertEqual(
            sorted(["Destroyed object=AudioClient apartment=mta",
                    "Destroyed object=CaptureClient apartment=mta",
                    "Destroyed object=Operation apartment=mta"]),
            sorted(destroyed))
        self.assertEqual("ProcessExit live=0", run.record[-1])


class WinesOwnAudioStack(unittest.TestCase):
    """Without the simulated stack, Wine's own has no process-loopback device."""

    def test_activation_failure_is_reported(self):
        runner = ToolRunner(simulated=False)
        self.addCleanup(runner.cleanup)
        alone = os.path.join(runner.work, "alone")
        os.mkdir(alone)
        shutil.copy(os.path.join(runner.exe_dir, "Harkwell.exe"), alone)
        runner.exe_dir = alone
        run = runner.run(["1234", "include"], keep_stdin_open=True)
        self.assertEqual(b"activate failed: 0x80070002\r\n", run.stderr)
        self.assertEqual(b"", run.stdout)
        self.assertEqual(1, run.returncode)


if __name__ == "__main__":
    unittest.main()
