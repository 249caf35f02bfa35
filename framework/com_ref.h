// ComRef<T>: holds one reference on a COM interface and releases it when it goes. Used by
// code that drives filters from outside (the command-line decoder, tests); the framework's
// own classes count their references by hand, as their callers expect.
#pragma once

#include "platform/platform.h"

template <typename T>
class ComRef {
public:
    ComRef() = default;
    // Takes over a reference the caller already holds.
    explicit ComRef(T* p) : m_p(p) {}
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    ComRef(ComRef&& other) noexcept : m_p(other.Detach()) {}
    ComRef& operator=(ComRef&& other) noexcept
    {
        if (this != &other) {
            Reset();
            m_p = other.Detach();
        }
        return *this;
    }
    ~ComRef() { Reset(); }

    T* get() const { return m_p; }
    T* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    // Address for an out-parameter; drops what was held first.
    T** put()
    {
        Reset();
        return &m_p;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }
    void Reset()
    {
        if (m_p) m_p->Release();
        m_p = nullptr;
    }
    // Holds `p` with a reference of its own.
    void Assign(T* p)
    {
        if (p) p->AddRef();
        Reset();
        m_p = p;
    }
    // Gives up the reference without releasing it.
    T* Detach()
    {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }

private:
    T* m_p = nullptr;
};
