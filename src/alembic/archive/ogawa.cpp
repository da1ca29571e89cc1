#include "alembic/archive/ogawa.h"

#include "core/error.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace vmq::abc {

namespace {

constexpr uint64_t kHeaderSize = 16;
const uint8_t kMagic[5] = {'O', 'g', 'a', 'w', 'a'};
const uint8_t kHdf5Magic[8] = {0x89, 'H', 'D', 'F', '\r', '\n', 0x1a, '\n'};

#ifdef _WIN32
// The narrow path as UTF-16 for the wide file API: UTF-8 when it is valid UTF-8 (so every file
// name can be reached), else the ANSI code page that narrow Windows calls would have used.
// Empty when neither converts.
std::wstring widePath(const std::string& path)
{
    for (const UINT codePage : {UINT(CP_UTF8), UINT(CP_ACP)}) {
        const DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
        const int size = int(path.size());
        const int length = MultiByteToWideChar(codePage, flags, path.data(), size, nullptr, 0);
        if (length <= 0)
            continue;
        std::wstring wide(size_t(length), L'\0');
        if (MultiByteToWideChar(codePage, flags, path.data(), size, wide.data(), length) == length)
            return wide;
    }
    return {};
}
#endif

} // namespace

std::unique_ptr<OgawaFile> OgawaFile::openFile(const std::string& path)
{
    std::unique_ptr<OgawaFile> file(new OgawaFile());
    file->name_ = path;
#ifdef _WIN32
    const std::wstring wide = widePath(path);
    HANDLE handle = wide.empty() ? INVALID_HANDLE_VALUE
                                 : CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        file->fail("cannot open the file");
    file->fileHandle_ = handle;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handle, &size))
        file->fail("cannot read the file size");
    file->size_ = uint64_t(size.QuadPart);
    if (file->size_ > 0) {
        HANDLE mapping = CreateFileMappingW(handle, nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (!mapping)
            file->fail("cannot map the file");
        file->mapping_ = mapping;
        file->bytes_ = static_cast<const uint8_t*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
        if (!file->bytes_)
            file->fail("cannot map the file");
    }
#else
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        file->fail("cannot open the file");
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        file->fail("not a regular file");
    }
    file->size_ = uint64_t(info.st_size);
    if (file->size_ > 0) {
        void* mapped = mmap(nullptr, size_t(file->size_), PROT_READ, MAP_PRIVATE, fd, 0);
        if (mapped == MAP_FAILED) {
            ::close(fd);
            file->fail("cannot map the file");
        }
        file->bytes_ = static_cast<const uint8_t*>(mapped);
        file->mapping_ = mapped;
    }
    ::close(fd);
#endif
    file->checkHeader();
    return file;
}

std::unique_ptr<OgawaFile> OgawaFile::openMemory(const uint8_t* data, size_t size, const std::string& name)
{
    std::unique_ptr<OgawaFile> file(new OgawaFile());
    file->name_ = name;
    file->bytes_ = data;
    file->size_ = size;
    file->checkHeader();
    return file;
}

OgawaFile::~OgawaFile()
{
#ifdef _WIN32
    if (bytes_ && mapping_)
        UnmapViewOfFile(bytes_);
    if (mapping_)
        CloseHandle(static_cast<HANDLE>(mapping_));
    if (fileHandle_)
        CloseHandle(static_cast<HANDLE>(fileHandle_));
#else
    if (mapping_)
        munmap(mapping_, size_t(size_));
#endif
}

void OgawaFile::fail(const std::string& what) const
{
    raiseError(name_ + ": " + what);
}

void OgawaFile::checkHeader()
{
    if (size_ >= sizeof(kHdf5Magic) && std::memcmp(bytes_, kHdf5Magic, sizeof(kHdf5Magic)) == 0)
        fail("an HDF5 archive, not an Ogawa archive (only Ogawa archives can be read)");
    if (size_ < kHeaderSize || std::memcmp(bytes_, kMagic, sizeof(kMagic)) != 0)
        fail("not an Ogawa archive (no Ogawa file header)");
    if (bytes_[6] != 0 || bytes_[7] != 1)
        fail("unsupported Ogawa format version " + std::to_string(unsigned(bytes_[6]) << 8 | bytes_[7]));
    if (bytes_[5] != 0xFF)
        fail("the archive was not closed cleanly by its writer");
    rootRef_ = loadLittle<uint64_t>(bytes_ + 8);
    if (isDataRef(rootRef_) || rootRef_ < kHeaderSize)
        fail("invalid root group offset");
    group(rootRef_, "root group");
}

OgawaGroup OgawaFile::group(uint64_t ref, const char* what) const
{
    if (ref == kEmptyGroup)
        return {};
    if (isDataRef(ref))
        fail(std::string("the ") + what + " is a data block where a group is expected");
    if (ref < kHeaderSize || ref > size_ || size_ - ref < 8)
        fail(std::string("the ") + what + " lies outside the file");
    const uint64_t count = loadLittle<uint64_t>(bytes_ + ref);
    if (count > (size_ - ref - 8) / 8)
        fail(std::string("the ") + what + " lists more children than the file holds");
    return {ref, count};
}

uint64_t OgawaFile::child(const OgawaGroup& group, uint64_t index) const
{
    if (index >= group.count)
        fail("a group lacks a required child");
    return loadLittle<uint64_t>(bytes_ + group.offset + 8 + 8 * index);
}

ByteSpan OgawaFile::data(uint64_t ref, const char* what) const
{
    if (!isDataRef(ref))
        fail(std::string("the ") + what + " is a group where a data block is expected");
    const uint64_t offset = ref & ~kDataBit;
    if (offset == 0)
        return {};
    if (offset < kHeaderSize || offset > size_ || size_ - offset < 8)
        fail(std::string("the ") + what + " lies outside the file");
    const uint64_t size = loadLittle<uint64_t>(bytes_ + offset);
    if (size > size_ - offset - 8)
        fail(std::string("the ") + what + " runs past the end of the file");
    return {bytes_ + offset + 8, size};
}

} // namespace vmq::abc
