#pragma once

#include <functional>
#include <utility>

// One Win32 resource (a kernel or service handle, a registry key, a block the system
// allocated, an impersonation) released exactly once, on every path, when its guard leaves
// scope. The release is the system's call (CloseHandle, RegCloseKey, ...) or, where tests
// stand in for the system, the call table's. Qt-free, Windows only.
template <typename Handle>
class UniqueHandle
{
public:
    using Release = std::function<void(Handle)>;

    UniqueHandle() = default;
    // A null handle is held as none: nothing to release.
    template <typename Function>
    UniqueHandle(Handle handle, Function release) : m_handle(handle), m_release(std::move(release))
    {
    }
    ~UniqueHandle() { reset(); }

    UniqueHandle(const UniqueHandle &) = delete;
    UniqueHandle &operator=(const UniqueHandle &) = delete;
    UniqueHandle(UniqueHandle &&other) noexcept
        : m_handle(std::exchange(other.m_handle, Handle())), m_release(std::move(other.m_release))
    {
    }
    UniqueHandle &operator=(UniqueHandle &&other) noexcept
    {
        if (this != &other) {
            reset();
            m_handle = std::exchange(other.m_handle, Handle());
            m_release = std::move(other.m_release);
        }
        return *this;
    }

    Handle get() const { return m_handle; }
    explicit operator bool() const { return m_handle != Handle(); }

    // Releases the handle now.
    void reset()
    {
        if (m_handle != Handle() && m_release)
            m_release(m_handle);
        m_handle = Handle();
    }

private:
    Handle m_handle = Handle();
    Release m_release;
};
