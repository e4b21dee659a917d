// Process-wide slots that are filled once: the module object, and the objects made while it is initialised.
//
// The interpreter's whole lifecycle is expected here, not only the common call:
//  - calls run truly in parallel on a free-threaded build, so the guard does not lean on the interpreter lock;
//  - a thread that waits for another's fill gives up its thread state first (the interpreter lock, or on a
//    free-threaded build its attachment), so the filling thread can always take it back and a stop-the-world
//    pause never waits on the waiting thread;
//  - the filling thread may enter the guard again from inside its fill (the collector runs Python code inside an
//    allocation on 3.8 to 3.11): that is refused, never waited for;
//  - at exit the interpreter ends (up to 3.13, by a forced unwind) or parks (3.14 on) a daemon thread that takes its
//    thread state back. The state is taken back with nothing held, and a fill that unwinds clears its mark on
//    the way out, so no other thread is left waiting on a thread that is gone.
#pragma once

#include <Python.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

namespace tqpy {

// A static object that is never destroyed: nothing of it runs at exit, when a daemon thread may still be inside.
template <class T>
class NoDestructor {
public:
    NoDestructor() noexcept { new (storage_) T(); }  // T() does not throw: a mutex, a condition variable, flags
    NoDestructor(const NoDestructor&) = delete;
    NoDestructor& operator=(const NoDestructor&) = delete;
    T& operator*() { return *std::launder(reinterpret_cast<T*>(storage_)); }
    T* operator->() { return &**this; }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

enum class Fill {
    kBefore,     // the slot was filled already
    kHere,       // this call filled it
    kFailed,     // this call's fill failed (a Python exception is pending); the slot stays empty for a later try
    kReentered,  // called from inside this thread's own fill: refused
};

class OnceGuard {
public:
    // Fills `slot` with make() unless it is filled. make() runs with the thread state held and returns the new
    // object, or nullptr with a Python exception pending.
    template <class T, class Make>
    Fill fill(std::atomic<T*>& slot, Make&& make) {
        for (;;) {
            if (slot.load(std::memory_order_acquire) != nullptr) return Fill::kBefore;
            std::unique_lock<std::mutex> lock(mutex_);  // held for a few plain instructions only
            if (slot.load(std::memory_order_acquire) != nullptr) return Fill::kBefore;
            if (!filling_) {
                filling_ = true;
                filler_ = std::this_thread::get_id();
                lock.unlock();
                Done done(*this);  // however make() ends, a forced unwind included
                T* made = make();
                slot.store(made, std::memory_order_release);
                return made != nullptr ? Fill::kHere : Fill::kFailed;
            }
            if (filler_ == std::this_thread::get_id()) return Fill::kReentered;
            lock.unlock();
            // Another thread fills: wait for it with the thread state given up, then look again.
            PyThreadState* saved = PyEval_SaveThread();
            lock.lock();
            done_.wait(lock, [this] { return !filling_; });
            lock.unlock();
            PyEval_RestoreThread(saved);
        }
    }

private:
    // Clears the mark and wakes the waiters; needs no thread state, so it may run while a thread is unwound.
    class Done {
    public:
        explicit Done(OnceGuard& guard) : guard_(guard) {}
        Done(const Done&) = delete;
        Done& operator=(const Done&) = delete;
        ~Done() {
            std::scoped_lock lock(guard_.mutex_);
            guard_.filling_ = false;
            guard_.done_.notify_all();
        }

    private:
        OnceGuard& guard_;
    };

    std::mutex mutex_;
    std::condition_variable done_;
    bool filling_ = false;    // guarded by mutex_
    std::thread::id filler_;  // guarded by mutex_; meaningful while filling_
};

}  // namespace tqpy
