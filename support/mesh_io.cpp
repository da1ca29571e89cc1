#include "mesh_io.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unordered_map>

namespace vmq_support {

namespace {

bool readFile(const std::string& path, std::string& bytes, std::string& error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot open '" + path + "'";
        return false;
    }
    std::ostringstream buffer;
    buffer << file.rdbuf();
    bytes = buffer.str();
    return true;
}

struct TripleHash {
    size_t operator()(const std::array<int64_t, 3>& k) const
    {
        return size_t(k[0] * 73856093 ^ k[1] * 19349663 ^ k[2] * 83492791);
    }
};

// Parses "p", "p/t", "p//n" or "p/t/n" with 1-based or negative (relative) indices.
bool parseCorner(const char* token, int64_t counts[3], std::array<int64_t, 3>& corner)
{
    corner = {-1, -1, -1};
    const char* at = token;
    for (int part = 0; part < 3; ++part) {
        if (*at == '/' || *at == '\0' || *at == ' ') {
            if (part == 0)
                return false;
        } else {
            char* end = nullptr;
            long long value = std::strtoll(at, &end, 10);
            if (end == at)
                return false;
            int64_t index = value < 0 ? counts[part] + value : value - 1;
            if (index < 0 || index >= counts[part])
                return false;
            corner[part] = index;
            at = end;
        }
        if (*at != '/')
            break;
        ++at;
    }
    return true;
}

bool loadObj(const std::string& bytes, LoadedMesh& mesh, std::string& error)
{
    std::vector<float> p, n, t;
    std::unordered_map<std::array<int64_t, 3>, uint32_t, TripleHash> unified;
    std::unordered_map<std::string, uint32_t> materials;
    uint32_t group = 0;
    bool anyNormal = false, anyTexcoord = false;
    std::vector<std::array<int64_t, 3>> corners;
    std::vector<std::array<int64_t, 3>> vertexKeys;

    std::istringstream in(bytes);
    std::string line;
    size_t lineNumber = 0;
    while (std::getline(in, line)) {
        ++lineNumber;
        const char* s = line.c_str();
        while (*s == ' ' || *s == '\t')
            ++s;
        if (s[0] == 'v' && s[1] == ' ') {
            float x = 0, y = 0, z = 0;
            std::sscanf(s + 2, "%f %f %f", &x, &y, &z);
            p.insert(p.end(), {x, y, z});
        } else if (s[0] == 'v' && s[1] == 'n') {
            float x = 0, y = 0, z = 0;
            std::sscanf(s + 3, "%f %f %f", &x, &y, &z);
            n.insert(n.end(), {x, y, z});
        } else if (s[0] == 'v' && s[1] == 't') {
            float u = 0, v = 0;
            std::sscanf(s + 3, "%f %f", &u, &v);
            t.insert(t.end(), {u, v});
        } else if (std::strncmp(s, "usemtl", 6) == 0) {
            std::string name = line.substr(size_t(s - line.c_str()) + 6);
            name.erase(0, name.find_first_not_of(" \t"));
            name.erase(name.find_last_not_of(" \t\r") + 1);
            auto found = materials.try_emplace(name, uint32_t(mesh.materialNames.size()));
            if (found.second)
                mesh.materialNames.push_back(name);
            group = found.first->second;
        } else if (s[0] == 'f' && s[1] == ' ') {
            int64_t counts[3] = {int64_t(p.size() / 3), int64_t(t.size() / 2), int64_t(n.size() / 3)};
            corners.clear();
            std::istringstream tokens(s + 2);
            std::string token;
            while (tokens >> token) {
                std::array<int64_t, 3> corner;
                if (!parseCorner(token.c_str(), counts, corner)) {
                    error = "bad face corner '" + token + "' on line " + std::to_string(lineNumber);
                    return false;
                }
                corners.push_back(corner);
            }
            if (corners.size() < 3)
                continue;
            std::vector<uint32_t> faceIds(corners.size());
            for (size_t k = 0; k < corners.size(); ++k) {
                auto found = unified.try_emplace(corners[k], uint32_t(vertexKeys.size()));
                if (found.second)
                    vertexKeys.push_back(corners[k]);
                faceIds[k] = found.first->second;
                anyTexcoord |= corners[k][1] >= 0;
                anyNormal |= corners[k][2] >= 0;
            }
            for (size_t k = 1; k + 1 < faceIds.size(); ++k) {
                mesh.indices.insert(mesh.indices.end(), {faceIds[0], faceIds[k], faceIds[k + 1]});
                mesh.groups.push_back(group);
            }
        }
    }
    for (const auto& key : vertexKeys) {
        mesh.positions.insert(mesh.positions.end(), {p[key[0] * 3], p[key[0] * 3 + 1], p[key[0] * 3 + 2]});
        if (anyTexcoord) {
            if (key[1] >= 0)
                mesh.texcoords.insert(mesh.texcoords.end(), {t[key[1] * 2], t[key[1] * 2 + 1]});
            else
                mesh.texcoords.insert(mesh.texcoords.end(), {0.0f, 0.0f});
        }
        if (anyNormal) {
            if (key[2] >= 0)
                mesh.normals.insert(mesh.normals.end(), {n[key[2] * 3], n[key[2] * 3 + 1], n[key[2] * 3 + 2]});
            else
                mesh.normals.insert(mesh.normals.end(), {0.0f, 0.0f, 1.0f});
        }
    }
    if (mesh.materialNames.empty())
        mesh.materialNames.push_back("default");
    return true;
}

struct PlyProperty {
    std::string name;
    std::string type;      // scalar type, or the item type of a list
    std::string countType; // list count type; empty for scalars
};

struct PlyElement {
    std::string name;
    size_t count = 0;
    std::vector<PlyProperty> properties;
};

size_t typeSize(const std::string& type)
{
    if (type == "char" || type == "uchar" || type == "int8" || type == "uint8")
        return 1;
    if (type == "short" || type == "ushort" || type == "int16" || type == "uint16")
        return 2;
    if (type == "double" || type == "float64")
        return 8;
    return 4;
}

double readBinary(const char*& at, const std::string& type)
{
    double value = 0;
    if (type == "char" || type == "int8") { int8_t v; std::memcpy(&v, at, 1); value = v; }
    else if (type == "uchar" || type == "uint8") { uint8_t v; std::memcpy(&v, at, 1); value = v; }
    else if (type == "short" || type == "int16") { int16_t v; std::memcpy(&v, at, 2); value = v; }
    else if (type == "ushort" || type == "uint16") { uint16_t v; std::memcpy(&v, at, 2); value = v; }
    else if (type == "int" || type == "int32") { int32_t v; std::memcpy(&v, at, 4); value = v; }
    else if (type == "uint" || type == "uint32") { uint32_t v; std::memcpy(&v, at, 4); value = v; }
    else if (type == "float" || type == "float32") { float v; std::memcpy(&v, at, 4); value = v; }
    else { double v; std::memcpy(&v, at, 8); value = v; }
    at += typeSize(type);
    return value;
}

bool loadPly(const std::string& bytes, LoadedMesh& mesh, std::string& error)
{
    const size_t headerEnd = bytes.find("end_header");
    if (bytes.compare(0, 3, "ply") != 0 || headerEnd == std::string::npos) {
        error = "not a PLY file";
        return false;
    }
    std::istringstream header(bytes.substr(0, headerEnd));
    std::string line, format;
    std::vector<PlyElement> elements;
    while (std::getline(header, line)) {
        std::istringstream words(line);
        std::string word;
        words >> word;
        if (word == "format") {
            words >> format;
        } else if (word == "element") {
            PlyElement element;
            words >> element.name >> element.count;
            elements.push_back(element);
        } else if (word == "property" && !elements.empty()) {
            PlyProperty property;
            words >> property.type;
            if (property.type == "list")
                words >> property.countType >> property.type;
            words >> property.name;
            elements.back().properties.push_back(property);
        }
    }
    if (format != "ascii" && format != "binary_little_endian") {
        error = "unsupported PLY format '" + format + "'";
        return false;
    }
    size_t bodyStart = bytes.find('\n', headerEnd);
    if (bodyStart == std::string::npos) {
        error = "truncated PLY header";
        return false;
    }
    ++bodyStart;
    const bool ascii = format == "ascii";
    std::istringstream text(ascii ? bytes.substr(bodyStart) : std::string());
    const char* at = bytes.data() + bodyStart;
    const char* end = bytes.data() + bytes.size();
    bool hasNormals = false;

    for (const PlyElement& element : elements) {
        int px = -1, py = -1, pz = -1, nx = -1, ny = -1, nz = -1;
        for (size_t k = 0; k < element.properties.size(); ++k) {
            const std::string& name = element.properties[k].name;
            if (name == "x") px = int(k);
            if (name == "y") py = int(k);
            if (name == "z") pz = int(k);
            if (name == "nx") nx = int(k);
            if (name == "ny") ny = int(k);
            if (name == "nz") nz = int(k);
        }
        if (element.name == "vertex")
            hasNormals = nx >= 0 && ny >= 0 && nz >= 0;
        std::vector<double> scalars(element.properties.size());
        std::vector<uint32_t> list;
        for (size_t item = 0; item < element.count; ++item) {
            list.clear();
            for (size_t k = 0; k < element.properties.size(); ++k) {
                const PlyProperty& property = element.properties[k];
                if (property.countType.empty()) {
                    if (ascii) {
                        text >> scalars[k];
                    } else {
                        if (end - at < ptrdiff_t(typeSize(property.type))) {
                            error = "truncated PLY body";
                            return false;
                        }
                        scalars[k] = readBinary(at, property.type);
                    }
                    continue;
                }
                double countValue = 0;
                if (ascii)
                    text >> countValue;
                else if (end - at >= ptrdiff_t(typeSize(property.countType)))
                    countValue = readBinary(at, property.countType);
                const size_t count = size_t(countValue);
                if (!ascii && end - at < ptrdiff_t(count * typeSize(property.type))) {
                    error = "truncated PLY body";
                    return false;
                }
                for (size_t i = 0; i < count; ++i) {
                    double value = 0;
                    if (ascii)
                        text >> value;
                    else
                        value = readBinary(at, property.type);
                    if (property.name == "vertex_indices" || property.name == "vertex_index")
                        list.push_back(uint32_t(value));
                }
            }
            if (ascii && !text) {
                error = "truncated PLY body";
                return false;
            }
            if (element.name == "vertex") {
                mesh.positions.insert(mesh.positions.end(), {float(scalars[px]), float(scalars[py]), float(scalars[pz])});
                if (hasNormals)
                    mesh.normals.insert(mesh.normals.end(), {float(scalars[nx]), float(scalars[ny]), float(scalars[nz])});
            } else if (element.name == "face") {
                for (size_t k = 1; k + 1 < list.size(); ++k) {
                    mesh.indices.insert(mesh.indices.end(), {list[0], list[k], list[k + 1]});
                    mesh.groups.push_back(0);
                }
            }
        }
        if (element.name == "vertex" && (px < 0 || py < 0 || pz < 0)) {
            error = "PLY vertices lack x, y or z";
            return false;
        }
    }
    for (uint32_t index : mesh.indices) {
        if (index >= mesh.vertexCount()) {
            error = "PLY face uses vertex " + std::to_string(index) + " of " + std::to_string(mesh.vertexCount());
            return false;
        }
    }
    mesh.materialNames.push_back("default");
    return true;
}

} // namespace

bool loadMesh(const std::string& path, LoadedMesh& mesh, std::string& error)
{
    mesh = LoadedMesh();
    std::string bytes;
    if (!readFile(path, bytes, error))
        return false;
    const std::string extension = path.size() >= 4 ? path.substr(path.size() - 4) : "";
    bool ok = false;
    if (extension == ".obj" || extension == ".OBJ")
        ok = loadObj(bytes, mesh, error);
    else if (extension == ".ply" || extension == ".PLY")
        ok = loadPly(bytes, mesh, error);
    else
        error = "unknown mesh file extension";
    if (!ok)
        error = path + ": " + error;
    return ok;
}

void describe(const LoadedMesh& mesh, LibraryInput& out)
{
    out.attributes = {{POSITION, mesh.positions.data(), mesh.positions.data() + mesh.positions.size(), 3}};
    if (!mesh.normals.empty())
        out.attributes.push_back({NORMAL, mesh.normals.data(), mesh.normals.data() + mesh.normals.size(), 3});
    if (!mesh.texcoords.empty())
        out.attributes.push_back({TEXCOORD, mesh.texcoords.data(), mesh.texcoords.data() + mesh.texcoords.size(), 2});
    out.descriptor = MeshDescriptor{};
    out.descriptor.trianglesBegin = reinterpret_cast<const Triangle*>(mesh.indices.data());
    out.descriptor.trianglesEnd = out.descriptor.trianglesBegin + mesh.triangleCount();
    out.descriptor.attributesBegin = out.attributes.data();
    out.descriptor.attributesEnd = out.attributes.data() + out.attributes.size();
    out.descriptor.triangleGroupsBegin = mesh.groups.data();
    out.descriptor.triangleGroupsEnd = mesh.groups.data() + mesh.groups.size();
}

std::string sharedPath(const std::string& relative)
{
#ifdef PELKU_VMQ_SHARED_DIR
    return std::string(PELKU_VMQ_SHARED_DIR) + "/" + relative;
#else
    return "../shared/" + relative;
#endif
}

} // namespace vmq_support
