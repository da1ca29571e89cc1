#include "archive_dump.h"

#include "alembic/archive/archive_reader.h"
#include "core/error.h"

#include <Imath/half.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

namespace vmq::abc {

namespace {

constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ull;
constexpr uint64_t kFnvPrime = 0x100000001b3ull;
constexpr uint64_t kMaxPrintedValues = 48;

void appendf(std::string& out, const char* format, ...)
{
    char buffer[64];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer, sizeof(buffer), format, args);
    va_end(args);
    out.append(buffer, size_t(n < 0 ? 0 : n));
}

uint64_t fnv(uint64_t hash, const uint8_t* data, uint64_t size)
{
    for (uint64_t i = 0; i < size; ++i)
        hash = (hash ^ data[i]) * kFnvPrime;
    return hash;
}

void appendQuoted(std::string& out, const std::string& text)
{
    out += '"';
    for (unsigned char ch : text) {
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += char(ch);
        } else if (ch < 0x20 || ch >= 0x7f) {
            appendf(out, "\\x%02x", ch);
        } else {
            out += char(ch);
        }
    }
    out += '"';
}

std::string baseName(const std::string& path)
{
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string samplingText(const TimeSampling& ts)
{
    std::string out;
    if (ts.kind == TimeSamplingKind::Acyclic)
        return "acyclic";
    appendf(out, ts.kind == TimeSamplingKind::Uniform ? "uniform tpc=%.17g" : "cyclic tpc=%.17g", ts.timePerCycle);
    if (ts.kind == TimeSamplingKind::Cyclic)
        appendf(out, " spc=%u", ts.samplesPerCycle);
    return out;
}

void appendValue(std::string& out, Pod pod, const uint8_t* p)
{
    switch (pod) {
    case Pod::Bool:
    case Pod::U8: appendf(out, "%u", unsigned(*p)); break;
    case Pod::I8: appendf(out, "%d", int(int8_t(*p))); break;
    case Pod::U16: appendf(out, "%u", unsigned(loadLittle<uint16_t>(p))); break;
    case Pod::I16: appendf(out, "%d", int(loadLittle<int16_t>(p))); break;
    case Pod::U32: appendf(out, "%" PRIu32, loadLittle<uint32_t>(p)); break;
    case Pod::I32: appendf(out, "%" PRId32, loadLittle<int32_t>(p)); break;
    case Pod::U64: appendf(out, "%" PRIu64, loadLittle<uint64_t>(p)); break;
    case Pod::I64: appendf(out, "%" PRId64, loadLittle<int64_t>(p)); break;
    case Pod::F16: {
        Imath::half h;
        h.setBits(loadLittle<uint16_t>(p));
        appendf(out, "%.9g", double(float(h)));
        break;
    }
    case Pod::F32: appendf(out, "%.9g", double(loadLittle<float>(p))); break;
    case Pod::F64: appendf(out, "%.17g", loadLittle<double>(p)); break;
    default: break;
    }
}

struct Dumper {
    const Archive& archive;
    std::string& out;

    void metadataText(const MetaData& md)
    {
        // The reference tool re-serialises metadata and refuses a value holding a separator.
        for (const auto& entry : md.entries)
            if (entry.second.find('=') != std::string::npos)
                archive.fail("metadata value of key '" + entry.first + "' contains a separator character");
        appendQuoted(out, md.text());
    }

    void samples(uint32_t index, const std::string& indent)
    {
        const PropertyHeader& h = archive.header(index);
        for (uint32_t i = 0; i < h.sampleCount; ++i) {
            const Sample sample = archive.readSample(index, i);
            out += indent;
            appendf(out, "sample %u: ", i);
            if (h.kind == PropertyKind::Array) {
                appendf(out, "n=%" PRIu64 " key=", sample.elementCount);
                for (uint32_t b = 0; b < 16; ++b)
                    appendf(out, "%02x", sample.key.size == 16 ? unsigned(sample.key.data[b]) : 0u);
                out += ' ';
            }
            const bool bracket = h.extent > 1;
            if (h.pod == Pod::String) {
                const auto strings = archive.readStrings(index, sample);
                uint64_t hash = kFnvOffset;
                const uint8_t zero = 0;
                for (const std::string& s : strings)
                    hash = fnv(fnv(hash, reinterpret_cast<const uint8_t*>(s.data()), s.size()), &zero, 1);
                appendf(out, "fnv=%016" PRIx64, hash);
                if (strings.size() <= kMaxPrintedValues) {
                    out += " values: ";
                    for (size_t s = 0; s < strings.size(); ++s) {
                        const bool open = bracket && s % h.extent == 0, close = bracket && s % h.extent == h.extent - 1;
                        if (s > 0)
                            out += bracket && !open ? "," : " ";
                        if (open)
                            out += '(';
                        appendQuoted(out, strings[s]);
                        if (close)
                            out += ')';
                    }
                }
            } else if (h.pod == Pod::WString) {
                const auto strings = archive.readWideStrings(index, sample);
                uint64_t hash = kFnvOffset;
                for (const std::u32string& s : strings) {
                    for (char32_t unit : s) {
                        const uint32_t u = uint32_t(unit);
                        hash = fnv(hash, reinterpret_cast<const uint8_t*>(&u), 4);
                    }
                    const uint32_t zero = 0;
                    hash = fnv(hash, reinterpret_cast<const uint8_t*>(&zero), 4);
                }
                appendf(out, "fnv=%016" PRIx64, hash);
            } else {
                const uint32_t size = podSize(h.pod);
                const uint64_t count = sample.elementCount * h.extent;
                appendf(out, "fnv=%016" PRIx64, fnv(kFnvOffset, sample.values.data, count * size));
                if (count <= kMaxPrintedValues) {
                    out += " values: ";
                    for (uint64_t e = 0; e < sample.elementCount; ++e) {
                        if (e > 0)
                            out += ' ';
                        if (bracket)
                            out += '(';
                        for (uint32_t c = 0; c < h.extent; ++c) {
                            if (c > 0)
                                out += ',';
                            appendValue(out, h.pod, sample.values.data + (e * h.extent + c) * size);
                        }
                        if (bracket)
                            out += ')';
                    }
                }
            }
            out += '\n';
        }
    }

    void property(uint32_t index, const std::string& path, const std::string& indent)
    {
        const PropertyHeader& h = archive.header(index);
        out += indent;
        out += "property ";
        appendQuoted(out, path);
        if (h.kind == PropertyKind::Compound) {
            out += " compound metadata=";
            metadataText(h.metadata);
            out += '\n';
            for (uint32_t child : archive.property(index).children)
                property(child, path + "/" + archive.header(child).name, indent + "  ");
            return;
        }
        appendf(out, h.kind == PropertyKind::Scalar ? " scalar " : " array ");
        out += podName(h.pod);
        appendf(out, "[%u] metadata=", h.extent);
        metadataText(h.metadata);
        appendf(out, " samples=%u constant=%s ts=%u (", h.sampleCount, h.isConstant() ? "yes" : "no", h.timeSampling);
        out += samplingText(archive.timeSamplings()[h.timeSampling]);
        out += ")\n";
        samples(index, indent + "    ");
    }

    void run()
    {
        appendf(out, "archive version: %d\n", archive.libraryVersion());
        out += "archive metadata: ";
        metadataText(archive.metadata());
        appendf(out, "\ntime samplings: %zu\n", archive.timeSamplings().size());
        for (size_t i = 0; i < archive.timeSamplings().size(); ++i) {
            const TimeSampling& ts = archive.timeSamplings()[i];
            appendf(out, "  ts %zu: %zu (", i, i);
            out += samplingText(ts);
            out += ") storedTimes=[";
            for (size_t t = 0; t < ts.storedTimes.size(); ++t)
                appendf(out, t ? ",%.17g" : "%.17g", ts.storedTimes[t]);
            appendf(out, "] maxNumSamples=%u\n", ts.maxSampleCount);
        }
        out += "objects (pre-order):\n";
        for (const ObjectRecord& object : archive.objects()) {
            out += "object ";
            appendQuoted(out, object.fullName);
            appendf(out, " children=%u schema=", object.childCount);
            const std::string_view schema = object.metadata.get("schema");
            out += schema.empty() ? std::string_view("-") : schema;
            out += " metadata=";
            metadataText(object.metadata);
            out += '\n';
            if (object.topCompound == kNoIndex)
                break;
            for (uint32_t child : archive.property(object.topCompound).children)
                property(child, archive.header(child).name, "  ");
        }
        if (!archive.treeError().empty())
            raiseError(archive.treeError());
    }
};

} // namespace

void dumpOpenArchive(const Archive& archive, std::string& out)
{
    Dumper{archive, out}.run();
}

bool dumpArchive(const std::string& path, std::string& out)
{
    out += "archive: " + baseName(path) + "\n";
    try {
        dumpOpenArchive(*Archive::open(path), out);
        return true;
    } catch (const std::exception& error) {
        // Drop a line left half-written by the fault.
        const size_t lineEnd = out.find_last_of('\n');
        out.resize(lineEnd == std::string::npos ? 0 : lineEnd + 1);
        out += "error: ";
        out += error.what();
        out += '\n';
        return false;
    }
}

} // namespace vmq::abc
