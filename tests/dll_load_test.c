/* A Windows host that loads pelku_vmq.dll at run time, as plug-ins do: the functions resolve by
 * their plain C names, calls work from a thread of the host's own, and once that thread has ended
 * the library unloads and loads again cleanly. The thread's copy of the error text holds the
 * library until the thread ends, so the thread-exit cleanup must still run after the load hook
 * has asked to switch thread notifications off. */
#include "pelku_vmq_compression.h"

#include "c_check.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdio.h>
#include <string.h>

typedef CompressedMesh* (*CompressMeshFunction)(const MeshDescriptor*, const CompressionSettings*);
typedef void (*ReleaseCompressedMeshFunction)(CompressedMesh*);
typedef const char* (*ErrorStringFunction)(void);

typedef struct Library {
    HMODULE module;
    CompressMeshFunction compressMesh;
    ReleaseCompressedMeshFunction releaseCompressedMesh;
    ErrorStringFunction errorString;
} Library;

/* One triangle; with positions == NULL, no attributes (the call fails with a message). */
static uint32_t compressTriangle(const Library* library, const float* positions)
{
    CompressionSettings settings = PELKU_VMQ_COMPRESSION_SETTINGS_DEFAULT;
    Triangle triangle = {{0, 1, 2}};
    uint32_t group = 0;
    MeshAttribute position;
    MeshDescriptor mesh;
    CompressedMesh* result;
    uint32_t triangles = 0;

    memset(&mesh, 0, sizeof mesh);
    mesh.trianglesBegin = &triangle;
    mesh.trianglesEnd = &triangle + 1;
    mesh.triangleGroupsBegin = &group;
    mesh.triangleGroupsEnd = &group + 1;
    if (positions) {
        position.kind = POSITION;
        position.dataBegin = positions;
        position.dataEnd = positions + 9;
        position.componentCount = 3;
        mesh.attributesBegin = &position;
        mesh.attributesEnd = &position + 1;
    }
    result = library->compressMesh(&mesh, &settings);
    if (result) {
        triangles = result->triangleCount;
        library->releaseCompressedMesh(result);
    }
    return triangles;
}

static const float kPositions[9] = {0, 0, 0, 1, 0, 0, 0, 1, 0};

/* A host thread: one failing call, whose message it reads through its own copy of the text,
 * then one successful call. Returns 0 when both behave. */
static DWORD WINAPI hostThread(LPVOID argument)
{
    const Library* library = (const Library*)argument;
    if (compressTriangle(library, NULL) != 0 || strcmp(library->errorString(), "Input geometry lacks position attribute.") != 0)
        return 1;
    return compressTriangle(library, kPositions) == 1 ? 0 : 2;
}

int main(void)
{
    int round;
    for (round = 0; round < 2; ++round) {
        Library library;
        HANDLE thread;
        DWORD threadResult = 99;

        library.module = LoadLibraryW(L"pelku_vmq.dll");
        CHECK(library.module != NULL);
        library.compressMesh = (CompressMeshFunction)(void (*)(void))GetProcAddress(library.module, "Pelku_Vmq_Compression_CompressMesh");
        library.releaseCompressedMesh =
            (ReleaseCompressedMeshFunction)(void (*)(void))GetProcAddress(library.module, "Pelku_Vmq_Compression_ReleaseCompressedMesh");
        library.errorString =
            (ErrorStringFunction)(void (*)(void))GetProcAddress(library.module, "Pelku_Vmq_Compression_GetCompressionErrorString");
        CHECK(library.compressMesh && library.releaseCompressedMesh && library.errorString);
        CHECK(GetProcAddress(library.module, "Pelku_Vmq_Compression_CompressAlembicFile") != NULL);

        CHECK(compressTriangle(&library, kPositions) == 1);

        thread = CreateThread(NULL, 0, hostThread, &library, 0, NULL);
        CHECK(thread != NULL);
        CHECK(WaitForSingleObject(thread, INFINITE) == WAIT_OBJECT_0);
        CHECK(GetExitCodeThread(thread, &threadResult) && threadResult == 0);
        CloseHandle(thread);

        CHECK(FreeLibrary(library.module));
        CHECK(GetModuleHandleW(L"pelku_vmq.dll") == NULL);
    }
    printf("dll load: ok\n");
    return 0;
}
