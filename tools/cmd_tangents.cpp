// Input: the word `vertices`, a count V, V records `px py pz nx ny nz u v`, the word
// `triangles`, a count T and T records `a b c` of 0-based vertex numbers. Tokens are separated
// by any white space; `#` starts a comment that runs to the end of the line.
#include "commands.h"

#include "mesh/tangent_frame.h"
#include "pelku_vmq_compression.h"
#include "core/error.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct TokenReader {
    const std::string& text;
    size_t cursor = 0;
    size_t line = 1;

    // The next token, or false at the end of the input.
    bool next(std::string& token, size_t& tokenLine)
    {
        while (cursor < text.size()) {
            const char c = text[cursor];
            if (c == '#') {
                while (cursor < text.size() && text[cursor] != '\n')
                    ++cursor;
            } else if (std::isspace(static_cast<unsigned char>(c))) {
                if (c == '\n')
                    ++line;
                ++cursor;
            } else {
                break;
            }
        }
        if (cursor == text.size())
            return false;
        const size_t start = cursor;
        while (cursor < text.size() && text[cursor] != '#' && !std::isspace(static_cast<unsigned char>(text[cursor])))
            ++cursor;
        token.assign(text, start, cursor - start);
        tokenLine = line;
        return true;
    }
};

struct InputError {
    std::string message;
};

class MeshParser {
public:
    explicit MeshParser(const std::string& text) : reader_{text} {}

    void expectWord(const char* word)
    {
        const std::string token = take(std::string("the word '") + word + "'");
        if (token != word)
            fail("expected the word '" + std::string(word) + "', found '" + token + "'");
    }

    uint64_t count(const char* what)
    {
        const std::string token = take(std::string("the ") + what + " count");
        return unsignedNumber(token, std::string("the ") + what + " count", UINT32_MAX);
    }

    float real(const char* what)
    {
        const std::string token = take(what);
        errno = 0;
        char* end = nullptr;
        const float value = std::strtof(token.c_str(), &end);
        if (end == token.c_str() || *end != '\0')
            fail(std::string("expected a number for ") + what + ", found '" + token + "'");
        return value;
    }

    uint32_t vertexNumber(uint64_t vertexCount)
    {
        const std::string token = take("a vertex number");
        const uint64_t value = unsignedNumber(token, "a vertex number", UINT32_MAX);
        if (value >= vertexCount)
            fail("vertex number " + token + " is out of range; the mesh has " + std::to_string(vertexCount) + " vertices");
        return uint32_t(value);
    }

    void expectEnd()
    {
        std::string token;
        size_t line = 0;
        if (reader_.next(token, line))
            fail("unexpected '" + token + "' after the last triangle", line);
    }

private:
    std::string take(const std::string& what)
    {
        if (!reader_.next(token_, tokenLine_))
            throw InputError{"line " + std::to_string(reader_.line) + ": the input ends where " + what + " should come"};
        return token_;
    }

    uint64_t unsignedNumber(const std::string& token, const std::string& what, uint64_t limit)
    {
        bool digits = !token.empty();
        for (char c : token)
            digits = digits && c >= '0' && c <= '9';
        errno = 0;
        const unsigned long long value = digits ? std::strtoull(token.c_str(), nullptr, 10) : 0;
        if (!digits || errno == ERANGE || value > limit)
            fail("expected a whole number from 0 to " + std::to_string(limit) + " for " + what + ", found '" + token + "'");
        return value;
    }

    [[noreturn]] void fail(const std::string& message) { fail(message, tokenLine_); }
    [[noreturn]] void fail(const std::string& message, size_t line)
    {
        throw InputError{"line " + std::to_string(line) + ": " + message};
    }

    TokenReader reader_;
    std::string token_;
    size_t tokenLine_ = 0;
};

struct TextMesh {
    std::vector<float> positions, normals, texcoords;
    std::vector<vmq::TriangleIndices> triangles;
};

TextMesh parseTextMesh(const std::string& text)
{
    MeshParser parser(text);
    TextMesh mesh;
    parser.expectWord("vertices");
    const uint64_t vertexCount = parser.count("vertex");
    for (uint64_t v = 0; v < vertexCount; ++v) {
        for (const char* what : {"px", "py", "pz"})
            mesh.positions.push_back(parser.real(what));
        for (const char* what : {"nx", "ny", "nz"})
            mesh.normals.push_back(parser.real(what));
        for (const char* what : {"u", "v"})
            mesh.texcoords.push_back(parser.real(what));
    }
    parser.expectWord("triangles");
    const uint64_t triangleCount = parser.count("triangle");
    for (uint64_t t = 0; t < triangleCount; ++t) {
        vmq::TriangleIndices triangle;
        for (uint32_t& v : triangle)
            v = parser.vertexNumber(vertexCount);
        mesh.triangles.push_back(triangle);
    }
    parser.expectEnd();
    return mesh;
}

} // namespace

int runTangents(int argc, char** argv)
{
    if (argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
        std::printf("usage: vmq tangents [INPUT]\n\nPrints the generated tangents (x y z sign) of a text mesh, one line per "
                    "vertex, or \"no tangents\". The mesh is read from INPUT, or from standard input without it: the word "
                    "'vertices', a count V and V records 'px py pz nx ny nz u v', then the word 'triangles', a count T and T "
                    "records 'a b c' of 0-based vertex numbers; '#' starts a comment. Exit status: 0, or 2 for unreadable or "
                    "malformed input.\n");
        return 0;
    }
    if (argc > 2) {
        std::fprintf(stderr, "usage: vmq tangents [INPUT]\n");
        return 2;
    }
    std::string text;
    if (argc == 2) {
        std::ifstream file(argv[1], std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "error: cannot open '%s'\n", argv[1]);
            return 2;
        }
        text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    } else {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    }

    TextMesh mesh;
    try {
        mesh = parseTextMesh(text);
    } catch (const InputError& e) {
        std::fprintf(stderr, "error: malformed mesh input: %s\n", e.message.c_str());
        return 2;
    }

    std::vector<vmq::VertexAttribute> attributes(3);
    attributes[0] = {POSITION, 3, std::move(mesh.positions)};
    attributes[1] = {NORMAL, 3, std::move(mesh.normals)};
    attributes[2] = {TEXCOORD, 2, std::move(mesh.texcoords)};
    try {
        vmq::generateTangentFrame(mesh.triangles, attributes);
    } catch (const vmq::CompressionError& e) {
        std::fprintf(stderr, "error: %s\n", e.what());
        return 2;
    }
    if (attributes.size() < 4) {
        std::printf("no tangents\n");
        return 0;
    }
    const std::vector<float>& tangents = attributes[3].values;
    for (size_t i = 0; i + 3 < tangents.size(); i += 4)
        std::printf("%.9g %.9g %.9g %.9g\n", tangents[i], tangents[i + 1], tangents[i + 2], tangents[i + 3]);
    return 0;
}
