#include "archive_open.h"

#include "alembic/archive/archive_reader.h"

#include <exception>
#include <iostream>

namespace vmq_tool {

int ToolArchive::Lines::overflow(int c)
{
    if (c != traits_type::eof())
        pending += char(c);
    return traits_type::not_eof(c);
}

// The importer flushes after every line.
int ToolArchive::Lines::sync()
{
    if (!quiet) {
        std::cerr << pending;
        std::cerr.flush();
    }
    if (keep)
        kept += pending;
    pending.clear();
    return 0;
}

ToolArchive::ToolArchive(const std::string& path, const SequenceSettings& settings, bool quiet) : path_(path), stream_(&lines_)
{
    lines_.quiet = quiet;
    importer = vmq::openArchive(path, settings, &stream_);
    stream_.flush();
    lines_.keep = false;
}

std::string ToolArchive::problem() const
{
    try {
        const std::unique_ptr<vmq::abc::Archive> archive = vmq::abc::Archive::open(path_);
        if (!archive->treeError().empty())
            return archive->treeError();
    } catch (const std::exception& e) {
        return e.what();
    }
    // The last "Error: " line, but for the one that only says the open failed.
    const std::string lead = "Error: ", generic = "Error: Failed to open Alembic file";
    std::string reason;
    for (size_t start = 0; start < lines_.kept.size();) {
        size_t end = lines_.kept.find('\n', start);
        if (end == std::string::npos)
            end = lines_.kept.size();
        const std::string line = lines_.kept.substr(start, end - start);
        if (line.rfind(lead, 0) == 0 && line.rfind(generic, 0) != 0)
            reason = line.substr(lead.size());
        start = end + 1;
    }
    return path_ + ": " + (reason.empty() ? "cannot open the archive or it holds no polygon meshes" : reason);
}

} // namespace vmq_tool
