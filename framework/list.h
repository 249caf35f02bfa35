// A doubly linked list of untyped object pointers and its typed face. The list never owns,
// frees or touches the objects it stores; it has no lock of its own.
#pragma once

// Opaque handle to one element of a list (the address of its node); null means no element.
typedef struct tagPOSITION* POSITION;

class CBaseList {
public:
    // One element: its neighbours and the stored pointer.
    class CNode {
    public:
        CNode* Prev() const { return m_pPrev; }
        CNode* Next() const { return m_pNext; }
        void* GetData() const { return m_pObject; }

        void SetPrev(CNode* node) { m_pPrev = node; }
        void SetNext(CNode* node) { m_pNext = node; }
        void SetData(void* object) { m_pObject = object; }

    private:
        CNode* m_pPrev = nullptr;
        CNode* m_pNext = nullptr;
        void* m_pObject = nullptr;
    };

    // Spare nodes kept for reuse, chained through their next links.
    class CNodeCache {
    public:
        explicit CNodeCache(int cacheSize) : m_iCacheSize(cacheSize) {}
        ~CNodeCache();

        CNodeCache(const CNodeCache&) = delete;
        CNodeCache& operator=(const CNodeCache&) = delete;

        // Keeps `node` for reuse, or frees it when the cache is full.
        void AddToCache(CNode* node);
        // A held node, or null when the cache is empty.
        CNode* RemoveFromCache();

    private:
        int m_iCacheSize;
        int m_iUsed = 0;
        CNode* m_pHead = nullptr;
    };

    static constexpr int kNodeCacheSize = 10;

    CBaseList() : m_Cache(kNodeCacheSize) {}
    ~CBaseList();

    // Nodes belong to one list; copying one would free them twice.
    CBaseList(const CBaseList&) = delete;
    CBaseList& operator=(const CBaseList&) = delete;

    int GetCount() const { return m_Count; }
    POSITION GetHeadPosition() const { return ToPosition(m_pFirst); }

    // The object at `pos`, moving `pos` to the next element (null after the last). A null
    // position gives null and stays null.
    void* GetNext(POSITION& pos) const;
    // The object at `pos`; null for a null position.
    void* Get(POSITION pos) const;
    // Position of the first element (from the head) that stores `object`, or null.
    POSITION Find(void* object) const;

    // Appends `object`; null when no node could be had, and the list is then unchanged.
    POSITION AddTail(void* object);
    // Appends every object of `other`, head to tail. False at the first element that could
    // not be appended (those already appended stay); true otherwise. Appending a list to
    // itself appends each of its elements once.
    bool AddTail(CBaseList* other);

    // Frees every node; the list is empty afterwards and can be filled again.
    void RemoveAll();

private:
    static POSITION ToPosition(CNode* node) { return reinterpret_cast<POSITION>(node); }
    static CNode* ToNode(POSITION pos) { return reinterpret_cast<CNode*>(pos); }

    CNode* m_pFirst = nullptr;
    CNode* m_pLast = nullptr;
    int m_Count = 0;
    CNodeCache m_Cache;
};

// The same list, with objects going in and coming out as T*.
template <class T>
class CGenericList : public CBaseList {
public:
    T* GetNext(POSITION& pos) const { return static_cast<T*>(CBaseList::GetNext(pos)); }
    T* Get(POSITION pos) const { return static_cast<T*>(CBaseList::Get(pos)); }
    POSITION Find(T* object) const { return CBaseList::Find(object); }
    POSITION AddTail(T* object) { return CBaseList::AddTail(object); }
    bool AddTail(CGenericList<T>* other) { return CBaseList::AddTail(static_cast<CBaseList*>(other)); }
};
