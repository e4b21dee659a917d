// Telquant instances: their layout, and where their memory comes from and goes back to.
//
// An instance of the Telquant type is made as PyObject_New makes an object (PyObject_Malloc, then PyObject_Init,
// which takes a reference to the type), not by the generic allocation, which clears the block first; its
// deallocation gives the block back with PyObject_Free. On a build with the interpreter lock, up to kFreeBlocks
// freed blocks are kept for the next instances instead, as the interpreter keeps freed floats: a kept block is no
// object (its reference to the type was released as for any instance) and is set up afresh when taken. The lock
// orders every take and give, for neither calls anything that could release it. A free-threaded build keeps no
// blocks, which its threads would contend for.
#pragma once

#include <Python.h>

#include <cstddef>

#include "quantity.hpp"

#ifdef __SANITIZE_ADDRESS__
#define TQ_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TQ_ADDRESS_SANITIZER 1
#endif
#endif
#ifdef TQ_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
#endif

namespace tqpy {

struct TelquantObject {
    PyObject_HEAD
    tq::Quantity q;
    std::size_t readers;  // changed only atomically, by Reader (reader_count.hpp)
};

#ifndef Py_GIL_DISABLED
inline constexpr std::size_t kFreeBlocks = 16;
// The kept blocks, blocks[0..count); changed only with the interpreter lock held. Plain data, never destroyed.
struct FreeBlocks {
    void* blocks[kFreeBlocks];
    std::size_t count;
};
inline FreeBlocks g_free_blocks{};
#endif

// A new object of the Telquant type `type`, or nullptr with MemoryError.
inline PyObject* new_instance(PyTypeObject* type) {
#ifndef Py_GIL_DISABLED
    if (g_free_blocks.count != 0) {
        void* block = g_free_blocks.blocks[--g_free_blocks.count];
#ifdef TQ_ADDRESS_SANITIZER
        ASAN_UNPOISON_MEMORY_REGION(block, sizeof(TelquantObject));
#endif
        return PyObject_Init(static_cast<PyObject*>(block), type);
    }
#endif
    return reinterpret_cast<PyObject*>(PyObject_New(TelquantObject, type));
}

// Gives back the block of a Telquant whose deallocation is under way (the type's reference is the caller's).
inline void release_instance(PyObject* obj) {
#ifndef Py_GIL_DISABLED
    if (g_free_blocks.count != kFreeBlocks) {
#ifdef TQ_ADDRESS_SANITIZER
        ASAN_POISON_MEMORY_REGION(obj, sizeof(TelquantObject));  // a use after the deallocation is still reported
#endif
        g_free_blocks.blocks[g_free_blocks.count++] = obj;
        return;
    }
#endif
    PyObject_Free(obj);
}

}  // namespace tqpy
