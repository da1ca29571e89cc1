#include "alembic/archive/archive_reader.h"

#include "core/error.h"

#include <algorithm>
#include <cmath>
#include <unordered_set>

namespace vmq::abc {

namespace {

constexpr uint32_t kPodSizes[kPodCount] = {1, 1, 1, 2, 2, 4, 4, 8, 8, 2, 4, 8, 0, 0};
const char* const kPodNames[kPodCount] = {"bool_t",  "uint8_t",  "int8_t",   "uint16_t",  "int16_t",
                                          "uint32_t", "int32_t", "uint64_t", "int64_t",   "float16_t",
                                          "float32_t", "float64_t", "string", "wstring"};
constexpr size_t kMaxIndexedMetaData = 65536;
constexpr uint32_t kMaxProxyHops = 16;
constexpr uint32_t kMaxTreeDepth = 512; // nested objects and compounds; keeps the recursion within small thread stacks

bool isStringPod(Pod pod) { return pod == Pod::String || pod == Pod::WString; }

// Reads the fields of a header record, refusing any that run past its block.
struct Cursor {
    const OgawaFile& file;
    const uint8_t* p;
    uint64_t left;
    const char* what;

    void need(uint64_t n)
    {
        if (n > left)
            file.fail(std::string("truncated ") + what);
    }
    uint32_t u32()
    {
        need(4);
        const uint32_t v = loadLittle<uint32_t>(p);
        p += 4;
        left -= 4;
        return v;
    }
    uint8_t u8()
    {
        need(1);
        const uint8_t v = *p;
        p += 1;
        left -= 1;
        return v;
    }
    uint32_t count(uint32_t width)
    {
        if (width == 1)
            return u8();
        if (width == 2) {
            need(2);
            const uint16_t v = loadLittle<uint16_t>(p);
            p += 2;
            left -= 2;
            return v;
        }
        return u32();
    }
    std::string text(uint64_t n)
    {
        need(n);
        std::string s(reinterpret_cast<const char*>(p), size_t(n));
        p += n;
        left -= n;
        return s;
    }
};

// Maps sample index i (already clamped) to the number of the stored sample that holds it.
uint64_t storedSampleNumber(const PropertyHeader& h, uint32_t i)
{
    const uint32_t first = h.firstChanged, last = h.lastChanged;
    if (i < first || (first == 0 && last == 0))
        return 0;
    if (i >= last)
        return uint64_t(last) - first + 1;
    return uint64_t(i) - first + 1;
}

bool multiplyChecked(uint64_t a, uint64_t b, uint64_t& out)
{
    if (a != 0 && b > UINT64_MAX / a)
        return false;
    out = a * b;
    return true;
}

Sample readStoredSample(const OgawaFile& file, const PropertyHeader& h, uint64_t groupRef, int64_t index)
{
    if (h.kind == PropertyKind::Compound)
        file.fail("property '" + h.name + "' is a compound and has no samples");
    if (h.sampleCount == 0)
        file.fail("property '" + h.name + "' has no samples to read");
    const uint32_t i = index < 0 ? 0 : index >= int64_t(h.sampleCount) ? h.sampleCount - 1 : uint32_t(index);
    const uint64_t k = storedSampleNumber(h, i);
    const OgawaGroup group = file.group(groupRef, "property group");
    const uint64_t podBytes = podSize(h.pod);
    Sample sample;
    if (h.kind == PropertyKind::Scalar) {
        if (k >= group.count)
            file.fail("property '" + h.name + "' lacks stored sample " + std::to_string(k));
        const ByteSpan data = file.data(file.child(group, k), "scalar sample");
        if (data.size < 16)
            file.fail("scalar sample of property '" + h.name + "' is too short");
        if (!isStringPod(h.pod) && data.size != 16 + uint64_t(h.extent) * podBytes)
            file.fail("scalar sample of property '" + h.name + "' has " + std::to_string(data.size - 16) +
                      " value bytes, expected " + std::to_string(uint64_t(h.extent) * podBytes));
        sample.key = {data.data, 16};
        sample.values = {data.data + 16, data.size - 16};
        sample.elementCount = 1;
        return sample;
    }
    if (k >= group.count / 2)
        file.fail("property '" + h.name + "' lacks stored sample " + std::to_string(k));
    const ByteSpan data = file.data(file.child(group, 2 * k), "array sample");
    const ByteSpan dims = file.data(file.child(group, 2 * k + 1), "array dimensions");
    if (data.size == 0)
        return sample;
    if (data.size < 16)
        file.fail("array sample of property '" + h.name + "' is too short to hold its key");
    sample.key = {data.data, 16};
    sample.values = {data.data + 16, data.size - 16};
    uint64_t product = 1;
    bool productValid = dims.size >= 8;
    for (uint64_t d = 0; d + 8 <= dims.size && productValid; d += 8)
        productValid = multiplyChecked(product, loadLittle<uint64_t>(dims.data + d), product);
    if (isStringPod(h.pod)) {
        if (!productValid)
            file.fail("string sample of property '" + h.name + "' has no usable dimensions");
        sample.elementCount = product;
        return sample;
    }
    const uint64_t elementBytes = uint64_t(h.extent) * podBytes;
    uint64_t storedBytes = 0;
    if (productValid && multiplyChecked(product, elementBytes, storedBytes) && storedBytes == sample.values.size) {
        sample.elementCount = product;
        return sample;
    }
    if (sample.values.size % elementBytes != 0)
        file.fail("array sample of property '" + h.name + "' is not a whole number of elements");
    sample.elementCount = sample.values.size / elementBytes;
    return sample;
}

template <typename Unit, typename Text>
std::vector<Text> splitStrings(const OgawaFile& file, const PropertyHeader& h, const Sample& sample)
{
    const uint64_t units = sample.values.size / sizeof(Unit);
    uint64_t wanted = 0;
    if (!multiplyChecked(sample.elementCount, h.extent, wanted) || wanted > units + 1)
        file.fail("string sample of property '" + h.name + "' claims more strings than it holds");
    std::vector<Text> strings(static_cast<size_t>(wanted));
    uint64_t s = 0;
    Text current;
    for (uint64_t u = 0; u < units && s < wanted; ++u) {
        const Unit unit = loadLittle<Unit>(sample.values.data + u * sizeof(Unit));
        if (unit == 0)
            strings[size_t(s++)].swap(current);
        else
            current.push_back(typename Text::value_type(unit));
    }
    return strings;
}

} // namespace

uint32_t podSize(Pod pod) { return kPodSizes[uint32_t(pod)]; }
const char* podName(Pod pod) { return kPodNames[uint32_t(pod)]; }

std::string_view MetaData::get(std::string_view key) const
{
    auto it = std::lower_bound(entries.begin(), entries.end(), key,
                               [](const auto& entry, std::string_view k) { return entry.first < k; });
    if (it != entries.end() && it->first == key)
        return it->second;
    return {};
}

std::string MetaData::text() const
{
    std::string out;
    for (const auto& [key, value] : entries) {
        if (!out.empty())
            out += ';';
        out += key;
        out += '=';
        out += value;
    }
    return out;
}

MetaData parseMetaData(const uint8_t* text, size_t size)
{
    MetaData md;
    const std::string_view s(reinterpret_cast<const char*>(text), size);
    size_t pos = 0;
    while (pos <= s.size()) {
        const size_t semi = s.find(';', pos), eq = s.find('=', pos);
        if (eq == std::string_view::npos || (semi != std::string_view::npos && eq > semi))
            break;
        const std::string_view key = s.substr(pos, eq - pos);
        const std::string_view value =
            s.substr(eq + 1, semi == std::string_view::npos ? std::string_view::npos : semi - eq - 1);
        auto it = std::lower_bound(md.entries.begin(), md.entries.end(), key,
                                   [](const auto& entry, std::string_view k) { return entry.first < k; });
        if (it == md.entries.end() || it->first != key)
            md.entries.insert(it, {std::string(key), std::string(value)});
        if (semi == std::string_view::npos)
            break;
        pos = semi + 1;
    }
    return md;
}

// The recursive walk over the object and compound groups, guarded against cycles, runaway depth
// and graphs whose shared groups would expand without bound.
struct TreeWalkAccess {
    Archive& a;
    const OgawaFile& file;
    std::unordered_set<uint64_t> path; // groups on the current path
    uint64_t budget;

    struct ChildHeader {
        std::string name;
        MetaData metadata;
    };

    MetaData metaDataAt(uint32_t index, Cursor& c)
    {
        if (index == 0)
            return {};
        if (index - 1 >= a.indexedMetaData_.size())
            file.fail(std::string("metadata index ") + std::to_string(index) + " of a " + c.what +
                      " is beyond the indexed metadata table");
        const std::string& text = a.indexedMetaData_[index - 1];
        return parseMetaData(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    }

    void enter(uint64_t ref)
    {
        if (path.size() >= kMaxTreeDepth)
            file.fail("the object tree is nested too deeply");
        if (ref != kEmptyGroup && !path.insert(ref).second)
            file.fail("the object tree contains a cycle");
        if (budget == 0)
            file.fail("the object tree expands to more records than the file can hold");
        --budget;
    }

    void leave(uint64_t ref) { path.erase(ref); }

    // A name that occurs twice, or empty.
    static std::string_view firstDuplicate(std::vector<std::string_view>& names)
    {
        std::sort(names.begin(), names.end());
        const auto it = std::adjacent_find(names.begin(), names.end());
        return it == names.end() ? std::string_view() : *it;
    }

    std::vector<ChildHeader> objectHeaders(const OgawaGroup& group)
    {
        std::vector<ChildHeader> headers;
        if (group.count == 0)
            return headers;
        const uint64_t last = file.child(group, group.count - 1);
        if (!isDataRef(last))
            return headers;
        const ByteSpan block = file.data(last, "object header block");
        if (block.size <= 32)
            return headers;
        Cursor c{file, block.data, block.size - 32, "object header record"};
        while (c.left > 0) {
            ChildHeader h;
            const uint32_t nameLength = c.u32();
            if (nameLength == 0)
                file.fail("an object header record has an empty name");
            h.name = c.text(nameLength);
            const uint8_t index = c.u8();
            if (index == 255) {
                const uint32_t length = c.u32();
                c.need(length);
                h.metadata = parseMetaData(c.p, length);
                c.p += length;
                c.left -= length;
            } else {
                h.metadata = metaDataAt(index, c);
            }
            headers.push_back(std::move(h));
        }
        std::vector<std::string_view> names;
        for (const ChildHeader& h : headers)
            names.push_back(h.name);
        if (const auto twice = firstDuplicate(names); !twice.empty())
            file.fail("two child objects are named '" + std::string(twice) + "'");
        return headers;
    }

    std::vector<std::pair<PropertyHeader, uint64_t>> propertyHeaders(uint64_t ref)
    {
        std::vector<std::pair<PropertyHeader, uint64_t>> headers;
        const OgawaGroup group = file.group(ref, "compound property group");
        if (group.count == 0)
            return headers;
        const uint64_t last = file.child(group, group.count - 1);
        if (!isDataRef(last))
            return headers;
        const ByteSpan block = file.data(last, "property header block");
        Cursor c{file, block.data, block.size, "property header record"};
        while (c.left > 0) {
            PropertyHeader h;
            const uint32_t info = c.u32();
            const uint32_t type = info & 3, hint = (info >> 2) & 3;
            if (hint == 3)
                file.fail("a property header has an invalid size hint");
            const uint32_t width = hint == 0 ? 1 : hint == 1 ? 2 : 4;
            const uint32_t metaIndex = (info >> 20) & 0xFF;
            if (type == 0) {
                h.kind = PropertyKind::Compound;
            } else {
                h.kind = type == 1 ? PropertyKind::Scalar : PropertyKind::Array;
                h.scalarLike = type == 3;
                const uint32_t pod = (info >> 4) & 0xF;
                if (pod >= kPodCount)
                    file.fail("a property header has an invalid data type " + std::to_string(pod));
                h.pod = Pod(pod);
                h.extent = (info >> 12) & 0xFF;
                if (h.extent == 0)
                    file.fail("a property header has extent 0");
                h.sampleCount = c.count(width);
                if (info & 0x200) {
                    h.firstChanged = c.count(width);
                    h.lastChanged = c.count(width);
                } else if (info & 0x800) {
                    h.firstChanged = h.lastChanged = 0;
                } else {
                    h.firstChanged = 1;
                    h.lastChanged = h.sampleCount - 1;
                }
                h.timeSampling = (info & 0x100) ? c.count(width) : 0;
                if (h.timeSampling >= a.timeSamplings_.size())
                    file.fail("a property header refers to time sampling " + std::to_string(h.timeSampling) +
                              ", which the archive does not have");
            }
            const uint32_t nameLength = c.count(width);
            if (nameLength == 0)
                file.fail("a property header has an empty name");
            h.name = c.text(nameLength);
            if (metaIndex == 255) {
                const uint32_t length = c.count(width);
                c.need(length);
                h.metadata = parseMetaData(c.p, length);
                c.p += length;
                c.left -= length;
            } else {
                h.metadata = metaDataAt(metaIndex, c);
            }
            const uint64_t index = headers.size();
            if (index + 1 >= group.count)
                file.fail("property '" + h.name + "' has no group in its compound");
            const uint64_t childRef = file.child(group, index);
            if (isDataRef(childRef))
                file.fail("property '" + h.name + "' is stored as a data block where a group is expected");
            headers.emplace_back(std::move(h), childRef);
        }
        std::vector<std::string_view> names;
        for (const auto& h : headers)
            names.push_back(h.first.name);
        if (const auto twice = firstDuplicate(names); !twice.empty())
            file.fail("two properties are named '" + std::string(twice) + "'");
        return headers;
    }

    uint32_t walkCompound(uint64_t ref, PropertyHeader header, uint32_t parent)
    {
        enter(ref);
        const uint32_t index = uint32_t(a.properties_.size());
        a.properties_.push_back({std::move(header), ref, parent, {}});
        if (parent != kNoIndex)
            a.properties_[parent].children.push_back(index);
        auto headers = propertyHeaders(ref);
        for (auto& [h, childRef] : headers) {
            if (h.kind == PropertyKind::Compound) {
                walkCompound(childRef, std::move(h), index);
                continue;
            }
            if (budget == 0)
                file.fail("the object tree expands to more records than the file can hold");
            --budget;
            file.group(childRef, "property group"); // checked here so that sample reads find it intact
            a.properties_[index].children.push_back(uint32_t(a.properties_.size()));
            a.properties_.push_back({std::move(h), childRef, index, {}});
        }
        leave(ref);
        return index;
    }

    // The group and metadata of the object at `fullPath`, following instance proxies on the way.
    std::pair<uint64_t, MetaData> resolvePath(const std::string& fullPath, uint32_t hops)
    {
        if (hops > kMaxProxyHops)
            file.fail("instance proxies refer to each other without end");
        uint64_t ref = file.child(file.group(file.rootRef(), "root group"), 2);
        MetaData metadata = a.metadata_;
        size_t pos = 0;
        while (pos < fullPath.size()) {
            size_t next = fullPath.find('/', pos);
            if (next == std::string::npos)
                next = fullPath.size();
            const std::string part = fullPath.substr(pos, next - pos);
            pos = next + 1;
            if (part.empty())
                continue;
            const OgawaGroup group = file.group(ref, "object group");
            const auto headers = objectHeaders(group);
            size_t i = 0;
            while (i < headers.size() && headers[i].name != part)
                ++i;
            if (i == headers.size())
                file.fail("instance source '" + fullPath + "' does not exist");
            if (i + 1 >= group.count || isDataRef(file.child(group, i + 1)))
                file.fail("invalid object data group for '" + part + "'");
            ref = file.child(group, i + 1);
            metadata = headers[i].metadata;
            if (metadata.get("isInstance") == "1")
                std::tie(ref, metadata) = resolvePath(instanceSource(ref, part), hops + 1);
        }
        return {ref, metadata};
    }

    std::string instanceSource(uint64_t objectRef, const std::string& name)
    {
        const OgawaGroup group = file.group(objectRef, "object group");
        if (group.count == 0 || isDataRef(file.child(group, 0)))
            file.fail("instance proxy '" + name + "' has no property data");
        for (const auto& [h, ref] : propertyHeaders(file.child(group, 0))) {
            if (h.name != ".instanceSource")
                continue;
            if (h.kind != PropertyKind::Scalar || h.pod != Pod::String || h.extent != 1)
                file.fail("instance proxy '" + name + "' has a malformed source property");
            const Sample sample = readStoredSample(file, h, ref, 0);
            auto strings = splitStrings<uint8_t, std::string>(file, h, sample);
            return strings.empty() ? std::string() : strings[0];
        }
        file.fail("instance proxy '" + name + "' names no source");
    }

    void walkObject(uint64_t ref, std::string name, std::string fullName, MetaData metadata, uint32_t parent)
    {
        for (uint32_t hops = 0; metadata.get("isInstance") == "1"; ++hops) {
            if (hops > kMaxProxyHops)
                file.fail("instance proxies refer to each other without end");
            std::tie(ref, metadata) = resolvePath(instanceSource(ref, fullName), hops);
        }
        enter(ref);
        const OgawaGroup group = file.group(ref, "object group");
        const auto headers = objectHeaders(group);
        const uint32_t index = uint32_t(a.objects_.size());
        a.objects_.push_back({std::move(name), std::move(fullName), metadata, parent, {}, uint32_t(headers.size()), kNoIndex});
        if (parent != kNoIndex)
            a.objects_[parent].children.push_back(index);
        if (group.count == 0 || isDataRef(file.child(group, 0)))
            file.fail("object '" + a.objects_[index].fullName + "' has no property data");
        PropertyHeader top;
        top.metadata = std::move(metadata);
        const uint32_t compound = walkCompound(file.child(group, 0), std::move(top), kNoIndex);
        a.objects_[index].topCompound = compound;
        const std::string base = a.objects_[index].fullName == "/" ? std::string() : a.objects_[index].fullName;
        for (size_t i = 0; i < headers.size(); ++i) {
            if (i + 1 >= group.count || isDataRef(file.child(group, i + 1)))
                file.fail("invalid object data group for child '" + headers[i].name + "' of '" +
                          a.objects_[index].fullName + "'");
            walkObject(file.child(group, i + 1), headers[i].name, base + "/" + headers[i].name,
                       headers[i].metadata, index);
        }
        leave(ref);
    }
};

std::unique_ptr<Archive> Archive::open(const std::string& path)
{
    std::unique_ptr<Archive> archive(new Archive(OgawaFile::openFile(path)));
    archive->readArchiveRecords();
    archive->readTree();
    return archive;
}

std::unique_ptr<Archive> Archive::openMemory(const uint8_t* data, size_t size, const std::string& name)
{
    std::unique_ptr<Archive> archive(new Archive(OgawaFile::openMemory(data, size, name)));
    archive->readArchiveRecords();
    archive->readTree();
    return archive;
}

void Archive::readArchiveRecords()
{
    const OgawaFile& f = *file_;
    const OgawaGroup root = f.group(f.rootRef(), "root group");
    if (root.count < 6)
        f.fail("not a valid archive (the root group has " + std::to_string(root.count) + " children, expected 6)");
    for (uint64_t i : {0, 1, 3, 4, 5})
        if (!isDataRef(f.child(root, i)))
            f.fail("not a valid archive (root child " + std::to_string(i) + " is not a data block)");
    if (isDataRef(f.child(root, 2)))
        f.fail("not a valid archive (the top object is not a group)");

    const ByteSpan format = f.data(f.child(root, 0), "archive format version");
    formatVersion_ = format.size == 4 ? loadLittle<int32_t>(format.data) : -1;
    if (formatVersion_ != 0)
        f.fail("unsupported archive format version " + std::to_string(formatVersion_));
    const ByteSpan library = f.data(f.child(root, 1), "library version");
    libraryVersion_ = library.size == 4 ? loadLittle<int32_t>(library.data) : 0;
    if (libraryVersion_ < 9999)
        f.fail("unsupported library version " + std::to_string(libraryVersion_));

    const ByteSpan meta = f.data(f.child(root, 3), "archive metadata");
    metadata_ = parseMetaData(meta.data, size_t(meta.size));

    const ByteSpan times = f.data(f.child(root, 4), "time samplings");
    Cursor c{f, times.data, times.size, "time sampling"};
    while (c.left > 0) {
        if (c.left < 16)
            f.fail("truncated time sampling");
        TimeSampling ts;
        ts.maxSampleCount = c.u32();
        std::memcpy(&ts.timePerCycle, c.p, 8);
        c.p += 8;
        c.left -= 8;
        const uint32_t count = c.u32();
        if (count == 0 || uint64_t(count) * 8 > c.left)
            f.fail("time sampling " + std::to_string(timeSamplings_.size()) + " has invalid sample times");
        ts.storedTimes.resize(count);
        std::memcpy(ts.storedTimes.data(), c.p, size_t(count) * 8);
        c.p += uint64_t(count) * 8;
        c.left -= uint64_t(count) * 8;
        if (ts.timePerCycle == kAcyclicTimePerCycle) {
            ts.kind = TimeSamplingKind::Acyclic;
            ts.samplesPerCycle = kAcyclicSamplesPerCycle;
        } else {
            if (!(ts.timePerCycle > 0.0 && ts.timePerCycle < kAcyclicTimePerCycle) || count == 0xFFFFFFFFu)
                f.fail("time sampling " + std::to_string(timeSamplings_.size()) + " has an invalid time per cycle");
            ts.kind = count == 1 ? TimeSamplingKind::Uniform : TimeSamplingKind::Cyclic;
            ts.samplesPerCycle = count;
        }
        for (uint32_t t = 1; t < count; ++t)
            if (!(ts.storedTimes[t] > ts.storedTimes[t - 1]))
                f.fail("time sampling " + std::to_string(timeSamplings_.size()) + " has times out of order");
        if (ts.kind == TimeSamplingKind::Cyclic && ts.storedTimes.back() - ts.storedTimes.front() > ts.timePerCycle)
            f.fail("time sampling " + std::to_string(timeSamplings_.size()) + " spans more than its cycle");
        timeSamplings_.push_back(std::move(ts));
    }

    const ByteSpan indexed = f.data(f.child(root, 5), "indexed metadata");
    if (indexed.size > kMaxIndexedMetaData)
        f.fail("the indexed metadata table is unexpectedly big");
    Cursor m{f, indexed.data, indexed.size, "indexed metadata string"};
    while (m.left > 0) {
        const uint8_t length = m.u8();
        indexedMetaData_.push_back(m.text(length));
    }
}

void Archive::readTree()
{
    TreeWalkAccess walk{*this, *file_, {}, file_->size() / 8 + 4096};
    try {
        walk.walkObject(file_->child(file_->group(file_->rootRef(), "root group"), 2), "ABC", "/", metadata_, kNoIndex);
    } catch (const CompressionError& error) {
        if (objects_.empty())
            throw; // without its top object the archive cannot be used at all
        treeError_ = error.what();
        if (treeError_.empty())
            treeError_ = name() + ": unreadable object tree";
    }
}

uint32_t Archive::findProperty(uint32_t compound, std::string_view name) const
{
    if (compound == kNoIndex)
        return kNoIndex;
    for (uint32_t child : properties_[compound].children)
        if (properties_[child].header.name == name)
            return child;
    return kNoIndex;
}

Sample Archive::readSample(uint32_t property, int64_t index) const
{
    const PropertyRecord& record = properties_[property];
    return readStoredSample(*file_, record.header, record.groupRef, index);
}

std::vector<std::string> Archive::readStrings(uint32_t property, const Sample& sample) const
{
    return splitStrings<uint8_t, std::string>(*file_, properties_[property].header, sample);
}

std::vector<std::u32string> Archive::readWideStrings(uint32_t property, const Sample& sample) const
{
    return splitStrings<uint32_t, std::u32string>(*file_, properties_[property].header, sample);
}

} // namespace vmq::abc
