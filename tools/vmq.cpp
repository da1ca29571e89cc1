// vmq: the command-line tool. The first argument names a subcommand; each subcommand parses
// its own options (vmq COMMAND --help).
#include "commands.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

namespace {

struct Command {
    const char* name;
    const char* summary;
    int (*run)(int argc, char** argv);
};

// Every subcommand, in the order --help lists them. A new one adds its line here and its
// declaration in commands.h.
const Command kCommands[] = {
    {"sample", "compress the built-in mesh, write its container, decode, verify and render it", runSample},
    {"compress", "compress a mesh file (OBJ, PLY, glTF/GLB, FBX, ...) into a .vmq container", runCompress},
    {"info", "show what a container holds and where its bits go (--json)", runInfo},
    {"decode", "decode a container into a mesh file (.obj, .ply, .glb, ...)", runDecode},
    {"verify", "check a container against its source mesh", runVerify},
    {"render", "draw a container's mesh into a PNG, one colour per meshlet (--stat bits)", runRender},
    {"frames", "open an Alembic archive as the sequence importer does and report every frame", runFrames},
    {"dump", "print the object tree, property headers and samples of an Alembic archive", runDump},
    {"tangents", "[INPUT] print generated tangents of a text mesh (standard input without INPUT)", runTangents},
};

void printUsage(FILE* out)
{
    std::fprintf(out, "usage: vmq <command> [options]\n\ncommands:\n");
    for (const Command& command : kCommands)
        std::fprintf(out, "  %-10s %s\n", command.name, command.summary);
    std::fprintf(out, "\nRun 'vmq <command> --help' for a command's options. Exit status: 0 success, 1 failure, 2 usage error.\n");
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        printUsage(stderr);
        return vmq_tool::kExitUsage;
    }
    if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") || !std::strcmp(argv[1], "help")) {
        printUsage(stdout);
        return vmq_tool::kExitOk;
    }
    for (const Command& command : kCommands) {
        if (std::strcmp(argv[1], command.name))
            continue;
        try {
            return command.run(argc - 1, argv + 1);
        } catch (const std::bad_alloc&) {
            std::fprintf(stderr, "vmq %s: out of memory\n", command.name);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "vmq %s: %s\n", command.name, e.what());
        }
        return vmq_tool::kExitFailure;
    }
    std::fprintf(stderr, "vmq: unknown command '%s'\n\n", argv[1]);
    printUsage(stderr);
    return vmq_tool::kExitUsage;
}
