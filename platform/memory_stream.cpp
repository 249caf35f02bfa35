// In-memory streams: CreateStreamOnHGlobal with a null handle gives a stream over a growable
// block of memory that the stream owns and frees with its last reference. Clones share the
// bytes and keep seek pointers of their own.
#include "platform/platform.h"
#include "platform/runtime.h"

#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <vector>

namespace {

// The bytes shared by a stream and its clones.
struct Storage {
    std::mutex lock;
    std::vector<BYTE> bytes;
};

// Streams never grow past what a size_t can index.
constexpr ULONGLONG kMaxSize = std::numeric_limits<size_t>::max() / 2;

class MemoryStream final : public IStream {
public:
    explicit MemoryStream(std::shared_ptr<Storage> storage, ULONGLONG position = 0)
        : m_storage(std::move(storage)), m_position(position)
    {
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ISequentialStream) ||
            IsEqualIID(riid, IID_IStream)) {
            *ppv = static_cast<IStream*>(this);
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

    // S_OK when all `cb` bytes were read, S_FALSE when the end came first (fewer, possibly
    // none, were read).
    STDMETHODIMP Read(void* pv, ULONG cb, ULONG* pcbRead) override
    {
        if (pcbRead) *pcbRead = 0;
        if (!pv && cb) return STG_E_INVALIDPOINTER;
        std::lock_guard<std::mutex> hold(m_storage->lock);
        const auto& bytes = m_storage->bytes;
        ULONG count = 0;
        if (m_position < bytes.size()) {
            ULONGLONG available = bytes.size() - m_position;
            count = available < cb ? static_cast<ULONG>(available) : cb;
            std::memcpy(pv, bytes.data() + m_position, count);
            m_position += count;
        }
        if (pcbRead) *pcbRead = count;
        return count == cb ? S_OK : S_FALSE;
    }

    // Writes all `cb` bytes at the seek pointer, growing the stream (with zeros over any gap
    // left by seeking past the end) as needed; nothing is written when it cannot grow.
    STDMETHODIMP Write(const void* pv, ULONG cb, ULONG* pcbWritten) override
    {
        if (pcbWritten) *pcbWritten = 0;
        if (!pv && cb) return STG_E_INVALIDPOINTER;
        if (cb == 0) return S_OK;
        std::lock_guard<std::mutex> hold(m_storage->lock);
        auto& bytes = m_storage->bytes;
        if (m_position > kMaxSize - cb) return STG_E_MEDIUMFULL;
        ULONGLONG end = m_position + cb;
        if (end > bytes.size()) {
            HRESULT hr = Resize(bytes, end);
            if (FAILED(hr)) return hr;
        }
        std::memcpy(bytes.data() + m_position, pv, cb);
        m_position = end;
        if (pcbWritten) *pcbWritten = cb;
        return S_OK;
    }

    // The pointer may go past the end (a later write fills the gap with zeros) but not
    // before the start: that, or an unknown origin, gives STG_E_INVALIDFUNCTION and leaves
    // it where it was.
    STDMETHODIMP Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override
    {
        std::lock_guard<std::mutex> hold(m_storage->lock);
        ULONGLONG base;
        switch (dwOrigin) {
        case STREAM_SEEK_SET: base = 0; break;
        case STREAM_SEEK_CUR: base = m_position; break;
        case STREAM_SEEK_END: base = m_storage->bytes.size(); break;
        default: return STG_E_INVALIDFUNCTION;
        }
        LONGLONG move = dlibMove.QuadPart;
        ULONGLONG target;
        if (move < 0) {
            ULONGLONG back = 0ull - static_cast<ULONGLONG>(move);
            if (back > base) return STG_E_INVALIDFUNCTION;
            target = base - back;
        } else {
            if (static_cast<ULONGLONG>(move) > kMaxSize - base) return STG_E_INVALIDFUNCTION;
            target = base + static_cast<ULONGLONG>(move);
        }
        m_position = target;
        if (plibNewPosition) plibNewPosition->QuadPart = target;
        return S_OK;
    }

    // Grows with zeros or truncates; the seek pointer stays where it is.
    STDMETHODIMP SetSize(ULARGE_INTEGER libNewSize) override
    {
        if (libNewSize.QuadPart > kMaxSize) return STG_E_MEDIUMFULL;
        std::lock_guard<std::mutex> hold(m_storage->lock);
        return Resize(m_storage->bytes, libNewSize.QuadPart);
    }

    STDMETHODIMP CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                        ULARGE_INTEGER* pcbWritten) override
    {
        if (pcbRead) pcbRead->QuadPart = 0;
        if (pcbWritten) pcbWritten->QuadPart = 0;
        if (!pstm) return STG_E_INVALIDPOINTER;

        // Take a copy of the range first: the target may be this stream or a clone of it.
        std::vector<BYTE> chunk;
        {
            std::lock_guard<std::mutex> hold(m_storage->lock);
            const auto& bytes = m_storage->bytes;
            ULONGLONG available = m_position < bytes.size() ? bytes.size() - m_position : 0;
            ULONGLONG count = available < cb.QuadPart ? available : cb.QuadPart;
            try {
                chunk.assign(bytes.begin() + static_cast<std::ptrdiff_t>(m_position),
                             bytes.begin() + static_cast<std::ptrdiff_t>(m_position + count));
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
        }

        ULONGLONG written = 0;
        HRESULT hr = S_OK;
        while (written < chunk.size()) {
            ULONGLONG left = chunk.size() - written;
            ULONG piece = left > 0x40000000u ? 0x40000000u : static_cast<ULONG>(left);
            ULONG done = 0;
            hr = pstm->Write(chunk.data() + written, piece, &done);
            written += done;
            if (FAILED(hr) || done < piece) break;
        }
        {
            std::lock_guard<std::mutex> hold(m_storage->lock);
            m_position += written;
        }
        if (pcbRead) pcbRead->QuadPart = written;
        if (pcbWritten) pcbWritten->QuadPart = written;
        return FAILED(hr) ? hr : S_OK;
    }

    // Memory has nothing to flush and no transaction to undo.
    STDMETHODIMP Commit(DWORD) override { return S_OK; }
    STDMETHODIMP Revert() override { return S_OK; }

    // Region locking is not supported.
    STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }

    // A stream over memory has no name; only the type and size are filled in.
    STDMETHODIMP Stat(STATSTG* pstatstg, DWORD) override
    {
        if (!pstatstg) return STG_E_INVALIDPOINTER;
        std::memset(pstatstg, 0, sizeof *pstatstg);
        pstatstg->type = STGTY_STREAM;
        std::lock_guard<std::mutex> hold(m_storage->lock);
        pstatstg->cbSize.QuadPart = m_storage->bytes.size();
        return S_OK;
    }

    // A second stream over the same bytes, its seek pointer starting where this one's is.
    STDMETHODIMP Clone(IStream** ppstm) override
    {
        if (!ppstm) return STG_E_INVALIDPOINTER;
        ULONGLONG position;
        {
            std::lock_guard<std::mutex> hold(m_storage->lock);
            position = m_position;
        }
        *ppstm = new (std::nothrow) MemoryStream(m_storage, position);
        return *ppstm ? S_OK : E_OUTOFMEMORY;
    }

private:
    ~MemoryStream() = default;

    static HRESULT Resize(std::vector<BYTE>& bytes, ULONGLONG size)
    {
        try {
            bytes.resize(static_cast<size_t>(size));
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (const std::length_error&) {
            return STG_E_MEDIUMFULL;
        }
        return S_OK;
    }

    std::shared_ptr<Storage> m_storage;
    ULONGLONG m_position;  // guarded by m_storage->lock
    platform::RefCount m_ref;
};

}  // namespace

HRESULT CreateStreamOnHGlobal(HGLOBAL hGlobal, BOOL, LPSTREAM* ppstm)
{
    if (!ppstm) return E_INVALIDARG;
    *ppstm = nullptr;
    // This platform has no global memory handles: only a fresh block can back a stream.
    if (hGlobal) return E_INVALIDARG;
    std::shared_ptr<Storage> storage;
    try {
        storage = std::make_shared<Storage>();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    *ppstm = new (std::nothrow) MemoryStream(std::move(storage));
    return *ppstm ? S_OK : E_OUTOFMEMORY;
}
