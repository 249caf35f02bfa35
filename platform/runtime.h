// Internal to the native platform: pieces shared by the runtime objects (allocator and
// samples, seeking pass-through, system clock, filter graph, filter mapper, memory stream).
#pragma once

#include "platform/platform.h"

#include <atomic>

namespace platform {

// A COM reference count, safe from any thread. A stray Release on a count already at 0 never
// wraps the count or tears an object down twice.
class RefCount {
public:
    explicit RefCount(ULONG initial = 1) : m_count(initial) {}
    ULONG Increment() { return ++m_count; }
    // Adds a reference only to a live count; answers 0 (and adds nothing) on a count of 0.
    ULONG IncrementIfLive()
    {
        ULONG current = m_count.load();
        while (current != 0 && !m_count.compare_exchange_weak(current, current + 1)) {
        }
        return current == 0 ? 0 : current + 1;
    }
    // The body of an object's Release: drops a reference and calls `destroy` when it was the
    // last; answers the new count, and 0 for a count that was already 0.
    template <class Destroy>
    ULONG Release(Destroy&& destroy)
    {
        const LONG count = Decrement();
        if (count == 0) destroy();
        return count < 0 ? 0 : static_cast<ULONG>(count);
    }
    ULONG Get() const { return m_count.load(); }
    // Parks the count at 1 while an object tears itself down, so that references taken and
    // dropped by the objects it calls during destruction never reach 0 a second time.
    void Stabilise() { m_count.store(1); }
    void Set(ULONG value) { m_count.store(value); }

private:
    // The new count, and -1 for a count that was already 0.
    LONG Decrement()
    {
        ULONG current = m_count.load();
        while (current != 0 && !m_count.compare_exchange_weak(current, current - 1)) {
        }
        return current == 0 ? -1 : static_cast<LONG>(current - 1);
    }

    std::atomic<ULONG> m_count;
};

// A runtime object that offers one interface besides IUnknown and counts its own references;
// it deletes itself (through its virtual destructor) on the last Release. `Iid` names the
// interface. The count starts at 1, the creator's reference.
template <class Interface, const IID* Iid>
class SingleInterfaceObject : public Interface {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == *Iid) {
            *ppv = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return m_ref.Increment(); }
    STDMETHODIMP_(ULONG) Release() override
    {
        return m_ref.Release([this] { delete this; });
    }

protected:
    virtual ~SingleInterfaceObject() = default;

    RefCount m_ref;
};

// IDispatch of a runtime object's dual interface (IMediaControl, IMediaEvent, IMediaPosition)
// when the object offers no automation: no type information, names or calls.
template <class Interface>
class WithoutAutomation : public Interface {
public:
    STDMETHODIMP GetTypeInfoCount(UINT* count) override
    {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override
    {
        if (info) *info = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }
};

// Media type records in COM task memory, with the freeing rules of records handed across
// an interface: the format block is task memory, the record owns one reference on pUnk.

// Deep-copies `src` into `dst` (which holds nothing); E_OUTOFMEMORY leaves `dst` empty.
HRESULT CopyMediaTypeRecord(AM_MEDIA_TYPE& dst, const AM_MEDIA_TYPE& src);
// Frees what a record owns (format block, pUnk) and empties it.
void FreeMediaTypeRecord(AM_MEDIA_TYPE& mt);
// A task-memory copy of `src` for a caller to free with DeleteMediaTypeCopy; null when memory
// runs out.
AM_MEDIA_TYPE* CreateMediaTypeCopy(const AM_MEDIA_TYPE& src);
void DeleteMediaTypeCopy(AM_MEDIA_TYPE* mt);

// The system clock's time now, in 100 ns units from an arbitrary fixed origin; monotonic.
REFERENCE_TIME MonotonicTime();

}  // namespace platform
