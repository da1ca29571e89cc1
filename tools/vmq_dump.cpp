// `vmq dump ARCHIVE`: prints the listing of an archive (object tree, property headers, samples).
#include "archive_dump.h"

#include <cstdio>
#include <string>

int runDump(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: vmq dump ARCHIVE\n");
        return 2;
    }
    std::string out;
    const bool ok = vmq::abc::dumpArchive(argv[1], out);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return ok ? 0 : 1;
}
