#pragma once

// tesmora-cli: every reader operation from a shell, over the same core as the
// window. Plain lines or JSON Lines on stdout, the traffic on stderr with -v.

// Exit codes.
enum CliExit {
    kExitOk = 0,
    kExitReader = 1, // refused, no answer, invalid answer, or no reader found
    kExitUsage = 2,  // nothing was sent
    kExitPort = 3,   // the port could not be opened
};

// Runs the tool on its arguments (argv[0] included); the exit code.
int RunCli(int argc, char** argv);
