// A value that the control thread changes while a streaming thread reads it without a lock:
// a filter's run state, a pin's flushing and run-time error flags, the event sink.
#pragma once

#include <atomic>

// Reads and writes as a plain T, with every access atomic, so a streaming thread that reads
// it without the filter lock sees either the old value or the new one, never a torn value.
// It orders nothing else: code that needs more than one consistent field takes the lock.
template <class T>
class CAtomicField {
public:
    CAtomicField(T value) : m_Value(value) {}

    CAtomicField(const CAtomicField&) = delete;
    CAtomicField& operator=(const CAtomicField&) = delete;

    operator T() const { return m_Value.load(std::memory_order_acquire); }
    CAtomicField& operator=(T value)
    {
        m_Value.store(value, std::memory_order_release);
        return *this;
    }

    // For pointer fields: one read, then the call.
    T operator->() const { return m_Value.load(std::memory_order_acquire); }

private:
    std::atomic<T> m_Value;
};
