#pragma once
// Meshes of the shared data folder, read in place. A missing mesh skips the test, except under
// CI=true, where it fails it.
#include "mesh_io.h"
#include "test_paths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace vmq_test {

// The loaded mesh, read once per test run; null when the file cannot be read.
inline const vmq_support::LoadedMesh* sharedMesh(const std::string& file)
{
    static std::map<std::string, vmq_support::LoadedMesh> cache;
    static std::map<std::string, bool> missing;
    if (auto it = cache.find(file); it != cache.end())
        return &it->second;
    if (missing.count(file))
        return nullptr;
    vmq_support::LoadedMesh mesh;
    std::string error;
    if (!vmq_support::loadMesh(vmq_support::sharedPath("data/meshes/" + file), mesh, error)) {
        missing[file] = true;
        return nullptr;
    }
    return &cache.emplace(file, std::move(mesh)).first->second;
}


} // namespace vmq_test

// Declares `mesh` as the shared mesh `file`, or ends the test when it is missing.
#define VMQ_SHARED_MESH(mesh, file)                                              \
    const vmq_support::LoadedMesh* mesh = vmq_test::sharedMesh(file);            \
    if (!mesh) {                                                                 \
        if (vmq_test::sharedDataRequired())                                     \
            FAIL() << "shared mesh " << (file) << " is missing";                 \
        GTEST_SKIP() << "shared mesh " << (file) << " is missing";               \
    }
