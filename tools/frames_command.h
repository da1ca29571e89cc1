#pragma once
// `vmq frames ARCHIVE [options]`: opens an archive as the sequence compression does and prints
// the importer's results and a hash of every frame mesh.

// Returns the exit status: 0 once a report was printed, 1 when the archive cannot be used (the
// report says "result: error"), 2 for a bad command line; --help prints the usage and returns 0.
int runFramesCommand(int argc, char** argv);
