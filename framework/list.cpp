#include "framework/list.h"

#include <new>

CBaseList::CNodeCache::~CNodeCache()
{
    while (m_pHead) {
        CNode* next = m_pHead->Next();
        delete m_pHead;
        m_pHead = next;
    }
}

void CBaseList::CNodeCache::AddToCache(CNode* node)
{
    if (m_iUsed < m_iCacheSize) {
        node->SetNext(m_pHead);
        m_pHead = node;
        ++m_iUsed;
    } else {
        delete node;
    }
}

CBaseList::CNode* CBaseList::CNodeCache::RemoveFromCache()
{
    CNode* node = m_pHead;
    if (node) {
        m_pHead = node->Next();
        --m_iUsed;
    }
    return node;
}

CBaseList::~CBaseList()
{
    // The cache's own destructor frees the spare nodes afterwards.
    RemoveAll();
}

void* CBaseList::GetNext(POSITION& pos) const
{
    CNode* node = ToNode(pos);
    if (!node) return nullptr;
    pos = ToPosition(node->Next());
    return node->GetData();
}

void* CBaseList::Get(POSITION pos) const
{
    CNode* node = ToNode(pos);
    return node ? node->GetData() : nullptr;
}

POSITION CBaseList::Find(void* object) const
{
    for (CNode* node = m_pFirst; node; node = node->Next()) {
        if (node->GetData() == object) return ToPosition(node);
    }
    return nullptr;
}

POSITION CBaseList::AddTail(void* object)
{
    CNode* node = m_Cache.RemoveFromCache();
    if (!node) node = new (std::nothrow) CNode;
    if (!node) return nullptr;
    node->SetData(object);
    node->SetNext(nullptr);
    node->SetPrev(m_pLast);
    if (m_pLast) {
        m_pLast->SetNext(node);
    } else {
        m_pFirst = node;
    }
    m_pLast = node;
    ++m_Count;
    return ToPosition(node);
}

bool CBaseList::AddTail(CBaseList* other)
{
    if (!other) return false;
    // Take exactly as many elements as `other` holds now: when `other` is this list, the
    // walk would otherwise meet the elements it appends and never reach the end.
    int remaining = other->m_Count;
    for (CNode* node = other->m_pFirst; node && remaining > 0; node = node->Next(), --remaining) {
        if (!AddTail(node->GetData())) return false;
    }
    return true;
}

void CBaseList::RemoveAll()
{
    CNode* node = m_pFirst;
    while (node) {
        CNode* next = node->Next();
        delete node;
        node = next;
    }
    m_pFirst = nullptr;
    m_pLast = nullptr;
    m_Count = 0;
}
