#pragma once
// Alembic archives in the tool: the importer opened as the sequence compression opens it, its
// diagnostic lines on standard error (or nowhere when the user asked for quiet), and, when the
// archive cannot be used, the reason in words.
#include "alembic/alembic_importer.h"

#include <memory>
#include <ostream>
#include <streambuf>
#include <string>

namespace vmq_tool {

class ToolArchive {
public:
    // Opens `path`; the importer's lines go to standard error unless `quiet`, and are kept.
    ToolArchive(const std::string& path, const SequenceSettings& settings, bool quiet);
    ToolArchive(const ToolArchive&) = delete;
    ToolArchive& operator=(const ToolArchive&) = delete;

    // Never null; frameCount is 0 when the archive cannot be used. It may be moved out (to the
    // sequence compression): its diagnostics still reach this object, which must outlive it.
    std::unique_ptr<vmq::AlembicImporter> importer;

    // Why the archive cannot be used, led by its path: the archive layer's own reason for a file
    // it cannot read (an HDF5 archive, a truncated file, a broken object tree), else the
    // importer's last error line (no polygon mesh, every mesh hidden).
    std::string problem() const;

private:
    // Passes every line on to standard error unless quiet, and keeps the lines of the open.
    struct Lines : std::streambuf {
        bool quiet = false;
        bool keep = true;
        std::string kept, pending;
        int overflow(int c) override;
        int sync() override;
    };
    std::string path_;
    Lines lines_;
    std::ostream stream_;
};

} // namespace vmq_tool
