"""The command line: exact output and exit status of every mode that needs no peer."""
import unittest

import e2e_support as e2e
import fake_peers as peers

USAGE = ("usage: tonecast -args\n"
         "\n"
         " -s midifile.mid    Run server, load the MIDI file\n"
         " -c                 Run client\n"
         " -w                 Server: wait until \"activate\" is sent using -a argument\n"
         " -a                 Sends \"activate\" to server\n"
         " -t                 Test the PC speaker\n\n")


class CommandLine(unittest.TestCase):
    def assertRun(self, args, expected_out):
        status, out, _ = e2e.run(*args)
        self.assertEqual(out, expected_out, args)
        self.assertEqual(status, 0, args)

    def test_usage_when_no_mode_is_chosen(self):
        # "-w" only counts together with "-s"; near misses of an option are not options.
        for args in ([], ["hello", "world"], ["-w"], ["-sfoo"], ["-S", "x"], ["--c"], ["-t2"]):
            self.assertRun(args, e2e.BANNER + USAGE + "Quit.\n")

    def test_server_option_without_a_file(self):
        for args in (["-s"], ["song.mid", "-s"], ["-c", "-s"]):
            self.assertRun(args, e2e.BANNER + "Invalid MIDI file.\n" + "Quit.\n")

    def test_speaker_test_outranks_every_other_mode(self):
        for args in (["-t"], ["-t", "-c"], ["-c", "-t"], ["-s", "x.mid", "-t"], ["-a", "-t"]):
            self.assertRun(args, e2e.BANNER + "Quit.\n")

    def test_output_is_complete_when_sent_to_a_pipe(self):
        # The process ends without exit-time handlers; buffered output must still arrive.
        status, out, _ = e2e.run("-x")
        self.assertTrue(out.endswith("Quit.\n"))


class ActivateSender(unittest.TestCase):
    def test_five_activate_datagrams_and_nothing_printed(self):
        listener = peers.udp_listener(peers.SERVER_PORT)
        # "-a" outranks "-c": the client never runs.
        for args in (["-a"], ["-c", "-a"]):
            status, out, _ = e2e.run(*args)
            self.assertEqual(out, e2e.BANNER + "Quit.\n")
            self.assertEqual(status, 0)
            datagrams = [data for data, _ in peers.receive_all(listener)]
            self.assertEqual(datagrams, [peers.ACTIVATE] * 5, args)


if __name__ == "__main__":
    e2e.main()
