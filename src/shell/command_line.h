#pragma once

// Index of the first argument equal to the option text, or 0 when absent (index 0 is the program).
int findArg(const char *option, int argc, char **argv);

void printUsage();

// The whole program: start-up, one mode, shutdown. Returns only when the network library fails.
int runTonecast(int argc, char **argv);
