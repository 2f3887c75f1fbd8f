// Process-wide instance holder. Instance() creates the object on first use
// with a non-throwing allocation and throws the C string "memory is not
// enough" when that fails. No lock: the daemon creates its singletons on the
// event-loop thread before any concurrency could arise.
#pragma once

#include <new>

template <typename T>
class Singleton {
public:
    static T *Instance() {
        if (s_pInstance == nullptr) {
            s_pInstance = new (std::nothrow) T();
            if (s_pInstance == nullptr) throw "memory is not enough";
        }
        return s_pInstance;
    }

    // The instance if it exists, without creating one (safe in a signal
    // handler, which must not allocate).
    static T *Peek() { return s_pInstance; }

    static void Reset(T *p) { s_pInstance = p; }

protected:
    Singleton() = default;
    static T *s_pInstance;
};

template <typename T>
T *Singleton<T>::s_pInstance = nullptr;
