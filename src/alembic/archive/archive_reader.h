#pragma once
// The archive layer over the container: archive metadata, time samplings, the object tree and
// every property header, read and checked once when the archive opens, and samples read on
// demand straight from the mapping. The layout is immutable once opened, so any number of
// threads may read samples at the same time.
#include "alembic/archive/ogawa.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vmq::abc {

// Plain-old-data kinds of scalar and array properties, numbered as stored.
enum class Pod : uint8_t {
    Bool = 0,
    U8 = 1,
    I8 = 2,
    U16 = 3,
    I16 = 4,
    U32 = 5,
    I32 = 6,
    U64 = 7,
    I64 = 8,
    F16 = 9,
    F32 = 10,
    F64 = 11,
    String = 12,
    WString = 13,
};
constexpr uint32_t kPodCount = 14;

// Bytes of one value (0 for the string kinds, which have no fixed size).
uint32_t podSize(Pod pod);
// The name metadata and tools use for the kind ("float32_t", "string", ...).
const char* podName(Pod pod);

enum class PropertyKind : uint8_t { Compound, Scalar, Array };

// Key-value pairs, sorted by key; the first occurrence of a key wins.
struct MetaData {
    std::vector<std::pair<std::string, std::string>> entries;

    // The value of `key`, empty when absent.
    std::string_view get(std::string_view key) const;
    // "k=v;k=v" in key order.
    std::string text() const;
};

MetaData parseMetaData(const uint8_t* text, size_t size);

enum class TimeSamplingKind : uint8_t { Uniform, Cyclic, Acyclic };

constexpr uint32_t kAcyclicSamplesPerCycle = 0xFFFFFFFFu;
constexpr double kAcyclicTimePerCycle = 5.6177910464447366e306; // DBL_MAX / 32

struct TimeSampling {
    TimeSamplingKind kind = TimeSamplingKind::Uniform;
    double timePerCycle = 1.0;         // kAcyclicTimePerCycle for acyclic samplings
    uint32_t samplesPerCycle = 1;      // kAcyclicSamplesPerCycle for acyclic samplings
    std::vector<double> storedTimes;   // at least one
    uint32_t maxSampleCount = 0;       // informational
};

struct PropertyHeader {
    std::string name;
    PropertyKind kind = PropertyKind::Compound;
    bool scalarLike = false; // an array whose every stored sample holds one element
    Pod pod = Pod::Bool;
    uint32_t extent = 0;     // values per element, 1 ... 255 (0 for compounds)
    MetaData metadata;
    uint32_t timeSampling = 0;
    uint32_t sampleCount = 0;
    uint32_t firstChanged = 0;
    uint32_t lastChanged = 0;

    // Constant as the reference library reports it: no sample differs in storage from sample 0.
    bool isConstant() const { return firstChanged == 0; }
};

constexpr uint32_t kNoIndex = 0xFFFFFFFFu;

struct PropertyRecord {
    PropertyHeader header;
    uint64_t groupRef = 0;          // the property's group in the file
    uint32_t parent = kNoIndex;     // the compound that holds it; kNoIndex for a top compound
    std::vector<uint32_t> children; // compounds only: sub-properties in index order
};

struct ObjectRecord {
    std::string name;
    std::string fullName;
    MetaData metadata;
    uint32_t parent = kNoIndex;     // kNoIndex for the top object
    std::vector<uint32_t> children; // in index order
    uint32_t childCount = 0;        // child header records; children.size() once the tree is read in full
    uint32_t topCompound = kNoIndex; // compound record with the object's properties
};

// One stored sample, pointing into the mapping.
struct Sample {
    ByteSpan key;              // the stored 16-byte digest; empty for an empty array sample
    ByteSpan values;           // the value bytes after the key
    uint64_t elementCount = 0; // elements (each `extent` values); 1 for scalars
};

class Archive {
public:
    // Opens `path` read-only (memory-mapped). Raises an error naming the file and the fault when
    // the container, the archive records or the time samplings are unusable. A fault in the
    // object tree does not fail the open: the tree read up to it is kept and `treeError` says
    // what is wrong (importers treat a non-empty `treeError` as a failure to open).
    static std::unique_ptr<Archive> open(const std::string& path);
    // The same over `size` bytes at `data`, which must outlive the archive.
    static std::unique_ptr<Archive> openMemory(const uint8_t* data, size_t size, const std::string& name);

    const std::string& name() const { return file_->name(); }
    int32_t formatVersion() const { return formatVersion_; }
    int32_t libraryVersion() const { return libraryVersion_; }
    const MetaData& metadata() const { return metadata_; }
    const std::vector<TimeSampling>& timeSamplings() const { return timeSamplings_; }
    // Objects in pre-order; object 0 is the top object "ABC" with full name "/".
    const std::vector<ObjectRecord>& objects() const { return objects_; }
    const std::vector<PropertyRecord>& properties() const { return properties_; }
    const std::string& treeError() const { return treeError_; }

    const ObjectRecord& object(uint32_t index) const { return objects_[index]; }
    const PropertyRecord& property(uint32_t index) const { return properties_[index]; }
    const PropertyHeader& header(uint32_t index) const { return properties_[index].header; }
    // The sub-property of compound `compound` named `name`, or kNoIndex.
    uint32_t findProperty(uint32_t compound, std::string_view name) const;

    // Sample `index` of scalar or array property `property`, the index clamped to 0 ... n - 1.
    // Raises an error for a property without samples or a sample the file does not hold intact.
    Sample readSample(uint32_t property, int64_t index) const;
    // The strings of a string or wide-string sample (wide strings as UTF-32 code units stored
    // little-endian in each std::u32string).
    std::vector<std::string> readStrings(uint32_t property, const Sample& sample) const;
    std::vector<std::u32string> readWideStrings(uint32_t property, const Sample& sample) const;

    [[noreturn]] void fail(const std::string& what) const { file_->fail(what); }
    const OgawaFile& file() const { return *file_; }

private:
    explicit Archive(std::unique_ptr<OgawaFile> file) : file_(std::move(file)) {}
    void readArchiveRecords();
    void readTree();

    std::unique_ptr<OgawaFile> file_;
    int32_t formatVersion_ = 0;
    int32_t libraryVersion_ = 0;
    MetaData metadata_;
    std::vector<TimeSampling> timeSamplings_;
    std::vector<std::string> indexedMetaData_;
    std::vector<ObjectRecord> objects_;
    std::vector<PropertyRecord> properties_;
    std::string treeError_;
    friend struct TreeWalkAccess;
};

// Copies the values of `sample` into `out` as T (T must have the size of the stored kind).
template <typename T>
void copyValues(const Sample& sample, std::vector<T>& out)
{
    out.resize(size_t(sample.values.size / sizeof(T)));
    if (!out.empty())
        std::memcpy(out.data(), sample.values.data, out.size() * sizeof(T));
}

} // namespace vmq::abc
