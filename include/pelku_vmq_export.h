/*
 * pelku_vmq: how the exported functions are declared, for every public header.
 *
 * On Windows the library is pelku_vmq.dll: hosts (MSVC, clang-cl, mingw) import its functions,
 * the library's own build (PELKU_VMQ_BUILD) exports them. Elsewhere they are the shared object's
 * only visible symbols. Every exported function has C linkage, the platform's default calling
 * convention and an undecorated name Pelku_Vmq_Compression_<Operation>.
 */
#ifndef PELKU_VMQ_EXPORT_H
#define PELKU_VMQ_EXPORT_H

#if defined(_WIN32)
#if defined(PELKU_VMQ_BUILD)
#define PELKU_VMQ_API __declspec(dllexport)
#else
#define PELKU_VMQ_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define PELKU_VMQ_API __attribute__((visibility("default")))
#else
#define PELKU_VMQ_API
#endif

#endif /* PELKU_VMQ_EXPORT_H */
