// `vmq dump ARCHIVE`: prints the listing of an archive (object tree, property headers, samples).
#include "archive_dump.h"

#include <cstdio>
#include <cstring>
#include <string>

int runDump(int argc, char** argv)
{
    if (argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
        std::printf("usage: vmq dump ARCHIVE\n\nPrints the object tree, property headers and samples of an Alembic archive. "
                    "Exit status: 0 for a complete listing, 1 when the archive cannot be read in full (the listing ends with "
                    "an \"error:\" line), 2 for a bad command line.\n");
        return 0;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: vmq dump ARCHIVE\n");
        return 2;
    }
    std::string out;
    const bool ok = vmq::abc::dumpArchive(argv[1], out);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return ok ? 0 : 1;
}
