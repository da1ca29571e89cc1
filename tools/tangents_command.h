#pragma once
// `vmq tangents [INPUT]`: generated tangents of a small text mesh, one line per vertex.

// Runs the command on the file named by the argument, or on the standard input without one.
// Returns the exit status: 0, or 2 for unreadable or malformed input; --help prints the usage
// and returns 0.
int runTangentsCommand(int argc, char** argv);
