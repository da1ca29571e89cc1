// Archive file names through the exported call: a name with non-ASCII characters, given in UTF-8,
// reaches the same file on every platform (on Windows through the wide file API, with the ANSI
// code page as the fallback for names that are not UTF-8), and paths that name no archive fail
// cleanly.
#include "importer_test_support.h"
#include "pelku_vmq_compression.h"
#include "record_digest.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

std::string utf8(const fs::path& path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// The sequence digest of the archive at `path`, or 0 with the error text when it fails.
uint64_t compressedDigest(const std::string& path, std::string& error)
{
    const SequenceSettings settings{};
    CompressedSequence* sequence = Pelku_Vmq_Compression_CompressAlembicFile(path.c_str(), &settings, 2, nullptr, nullptr);
    error = Pelku_Vmq_Compression_GetCompressionErrorString();
    if (!sequence)
        return 0;
    const uint64_t digest = vmq_support::sequenceDigest(*sequence);
    Pelku_Vmq_Compression_ReleaseCompressedSequence(sequence);
    return digest;
}

// A scratch folder, by default with non-ASCII characters in its name, removed at the end of the test.
struct ScratchFolder {
    fs::path path;
    explicit ScratchFolder(const std::u8string& name = u8"k\u00e4yt\u00f6_\u65e5\u672c")
        : path(fs::path(vmq_test::tempPath("paths")) / fs::path(name))
    {
        fs::create_directories(path);
    }
    ~ScratchFolder()
    {
        std::error_code ignored;
        fs::remove_all(path.parent_path(), ignored);
    }
};

const std::string kFixture = "deform_24.abc";

// A writable copy of a (possibly read-only) fixture: Windows cannot delete a read-only file.
void copyFixture(const std::string& from, const fs::path& to)
{
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    fs::permissions(to, fs::perms::owner_write, fs::perm_options::add);
}

} // namespace

TEST(ArchivePath, NonAsciiNameInUtf8ReadsTheSameArchive)
{
    REQUIRE_IMPORTER_FIXTURES();
    const std::string original = importer_test::fixturePath(kFixture);
    std::string error;
    const uint64_t expected = compressedDigest(original, error);
    ASSERT_NE(expected, 0u) << error;

    ScratchFolder folder;
    const fs::path copy = folder.path / fs::path(u8"\u00e5\u00e4\u00f6 \u0436\u00df\u20ac.abc");
    copyFixture(original, copy);
    EXPECT_EQ(compressedDigest(utf8(copy), error), expected) << error;
    EXPECT_EQ(error, "");
}

#ifdef _WIN32
// A caller that passes the ANSI code page, as narrow Windows calls take it, still reaches the file
// when those bytes are not UTF-8 (any single accented letter of a Western code page).
TEST(ArchivePath, AnsiCodePageNameIsTheFallback)
{
    REQUIRE_IMPORTER_FIXTURES();
    const std::string original = importer_test::fixturePath(kFixture);
    ScratchFolder folder(u8"ansi");
    const fs::path copy = folder.path / fs::path(u8"caf\u00e9.abc");
    copyFixture(original, copy);

    const std::wstring wide = copy.wstring();
    BOOL lossy = FALSE;
    std::string ansi(size_t(WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, &lossy)), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, ansi.data(), int(ansi.size()), nullptr, &lossy);
    ansi.pop_back(); // the terminator
    if (lossy || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, ansi.data(), int(ansi.size()), nullptr, 0) > 0)
        GTEST_SKIP() << "the ANSI code page (" << GetACP() << ") writes this name as UTF-8 or cannot write it";

    std::string error;
    const uint64_t expected = compressedDigest(original, error);
    EXPECT_EQ(compressedDigest(ansi, error), expected) << error;
}
#endif

// Paths that name no readable archive: the call fails with the archive error and leaks nothing.
TEST(ArchivePath, PathsWithoutAnArchiveFail)
{
    ScratchFolder folder;
    const fs::path empty = folder.path / "empty.abc";
    std::ofstream(empty).close();
    const fs::path text = folder.path / "text.abc";
    std::ofstream(text) << "not an archive, but longer than a header";
    for (const fs::path& path : {folder.path / "missing.abc", empty, text, folder.path}) {
        std::string error;
        EXPECT_EQ(compressedDigest(utf8(path), error), 0u) << path;
        EXPECT_EQ(error, "Failed to open the Alembic file or it contains no polygon meshes.") << path;
    }
}
