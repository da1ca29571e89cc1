// Prints one line of record digests per shared mesh and per fixture archive, one digest per
// setting. The compressed bytes must not depend on the compiler, the C runtime or the platform,
// so every build prints the same lines: the Windows build's lines, run under wine, are compared
// with the Linux build's.
#include "mesh_io.h"
#include "record_digest.h"

#include <cstdio>

int main()
{
    const std::vector<std::string> archives = vmq_support::fixtureArchives();
    if (archives.empty()) {
        std::fprintf(stderr, "no fixture archives under %s\n", vmq_support::sharedPath("fixtures").c_str());
        return 1;
    }
    if (!vmq_support::printMeshDigests(vmq_support::digestMeshes()))
        return 1;
    vmq_support::printArchiveDigests(archives);
    return 0;
}
