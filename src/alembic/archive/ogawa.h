#pragma once
// The container layer of an archive: a read-only mapping of the file and checked access to its
// groups (lists of child references) and data blocks (byte strings). Every offset, count and size
// is checked against the file before it is used; nothing here trusts the file.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace vmq::abc {

constexpr uint64_t kDataBit = 0x8000000000000000ull;
constexpr uint64_t kEmptyGroup = 0;
constexpr uint64_t kEmptyData = kDataBit;

struct ByteSpan {
    const uint8_t* data = nullptr;
    uint64_t size = 0;
};

inline bool isDataRef(uint64_t ref) { return (ref & kDataBit) != 0; }

template <typename T>
T loadLittle(const uint8_t* p)
{
    T value;
    std::memcpy(&value, p, sizeof(T));
    return value;
}

// A group read from the file: `count` child references stored at `offset` + 8.
struct OgawaGroup {
    uint64_t offset = 0; // 0 for the empty group
    uint64_t count = 0;
};

// Read-only bytes of an archive: a memory mapping of a file, or a caller's buffer.
class OgawaFile {
public:
    // Maps `path` read-only and checks the container header. Raises an error naming the file.
    static std::unique_ptr<OgawaFile> openFile(const std::string& path);
    // Uses `size` bytes at `data` (not copied; they must outlive the result). `name` names the
    // archive in error messages.
    static std::unique_ptr<OgawaFile> openMemory(const uint8_t* data, size_t size, const std::string& name);
    ~OgawaFile();
    OgawaFile(const OgawaFile&) = delete;
    OgawaFile& operator=(const OgawaFile&) = delete;

    const std::string& name() const { return name_; }
    uint64_t size() const { return size_; }
    uint64_t rootRef() const { return rootRef_; }

    // The group behind `ref`; raises an error for a data reference or a group that does not fit.
    OgawaGroup group(uint64_t ref, const char* what) const;
    // Child reference `index` of `group`; raises an error past its count.
    uint64_t child(const OgawaGroup& group, uint64_t index) const;
    // The payload of data reference `ref`; raises an error for a group reference or a block that
    // does not fit.
    ByteSpan data(uint64_t ref, const char* what) const;

    [[noreturn]] void fail(const std::string& what) const;

private:
    OgawaFile() = default;
    void checkHeader();

    std::string name_;
    const uint8_t* bytes_ = nullptr;
    uint64_t size_ = 0;
    uint64_t rootRef_ = 0;
    void* mapping_ = nullptr; // platform mapping handle, null for a caller's buffer
    void* fileHandle_ = nullptr;
};

} // namespace vmq::abc
