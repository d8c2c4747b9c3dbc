#pragma once

#include <cstdlib>
#include <memory>

// What a C library hands over for the caller to release, released exactly once on every path:
// Freed<T> for memory the caller must free() (sd-login's texts and lists, sd-bus's paths),
// Released<T, call> for an object with its library's own call (X509_free, closedir, ...).
// Qt-free, every platform.

struct FreeMemory {
    void operator()(void *p) const { std::free(p); }
};

template <typename T>
using Freed = std::unique_ptr<T, FreeMemory>;

template <auto release>
struct ReleaseWith {
    template <typename T>
    void operator()(T *p) const { release(p); }
};

template <typename T, auto release>
using Released = std::unique_ptr<T, ReleaseWith<release>>;
