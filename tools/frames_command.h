#pragma once
// `vmq frames ARCHIVE [options]`: opens an archive as the sequence compression does and prints
// the importer's results and a hash of every frame mesh.

// Returns the exit status: 0 once a report was printed, 2 for a bad command line.
int runFramesCommand(int argc, char** argv);
