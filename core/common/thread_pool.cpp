#include "common/thread_pool.h"

#include "common/block_cache.h"
#include "common/rk_call.h"
#include "reliefkit.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace rk {
namespace {

// The CPU quota of the cgroup (v2) the process is in, in whole processors
// rounded up, the smallest along the path to the root; 0 when none applies.
uint32_t cgroup_cpu_limit() {
    std::ifstream membership("/proc/self/cgroup");
    std::string line, path;
    while (std::getline(membership, line)) {
        if (line.rfind("0::", 0) == 0) path = line.substr(3);
    }
    if (path.empty() || path[0] != '/') return 0;
    uint32_t limit = 0;
    for (;;) {
        std::ifstream max("/sys/fs/cgroup" + path + "/cpu.max");
        std::string quota;
        unsigned long long period = 0;
        if (max >> quota >> period && quota != "max" && period > 0) {
            const unsigned long long q = std::stoull(quota);
            const auto cpus = static_cast<uint32_t>(std::max(1ull, (q + period - 1) / period));
            limit = limit == 0 ? cpus : std::min(limit, cpus);
        }
        if (path == "/") break;
        const size_t slash = path.rfind('/');
        path = slash == 0 ? std::string("/") : path.substr(0, slash);
    }
    return limit;
}

uint32_t affinity_count() noexcept {
    for (int cpus = 1024; cpus <= (1 << 16); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (!set) break;
        const size_t bytes = CPU_ALLOC_SIZE(cpus);
        const bool got = ::sched_getaffinity(0, bytes, set) == 0;
        const int count = got ? CPU_COUNT_S(bytes, set) : 0;
        CPU_FREE(set);
        if (got) return count > 0 ? static_cast<uint32_t>(count) : 1;
        if (errno != EINVAL) break;
    }
    const unsigned hw = std::thread::hardware_concurrency();
    return hw ? hw : 1;
}

// One parallel_items call. Lives in its caller's frame; the pool's lock guards
// every field but the function and its context.
struct Task {
    ItemFn item;
    void* context;
    uint32_t count;
    // The caller's rk_ call message: what an item reports on a worker belongs
    // to the call it works for.
    CallMessage* message = current_call_message();
    uint32_t next = 0;        // the first item nobody has taken
    uint32_t unfinished = 0;  // items taken or not yet taken that have not returned
    Task* later = nullptr;    // the next task with items left
};

class Pool;
Pool& pool() noexcept;

// Whether this thread already counts as busy: inside an export, a call's items
// or a worker's.
thread_local bool t_counted = false;

class Pool {
  public:
    // The fork handler is in place before anything can take the lock, so that
    // a child forked while another thread holds it never inherits it held,
    // whether or not any worker was ever started.
    Pool() noexcept {
        (void)::pthread_atfork(nullptr, nullptr, [] { pool().forget_after_fork(); });
    }

    uint32_t limit() noexcept {
        uint32_t n = limit_.load(std::memory_order_acquire);
        if (n == 0) {
            n = fresh_limit(0);
            uint32_t unset = 0;
            if (!limit_.compare_exchange_strong(unset, n, std::memory_order_acq_rel)) n = unset;
        }
        return n;
    }

    void set_limit(uint32_t n) noexcept {
        limit_.store(fresh_limit(n), std::memory_order_release);
        std::lock_guard hold(lock_);
        wake_.notify_all();  // a raised limit lets waiting workers join
    }

    void run(uint32_t count, ItemFn item, void* context) noexcept {
        const uint32_t n = limit();
        if (n <= 1 || count <= 1) {
            for (uint32_t i = 0; i < count; ++i) item(context, i);
            return;
        }
        Task task{item, context, count};
        task.unfinished = count;
        std::unique_lock hold(lock_);
        start_workers(std::min(n, count) - 1);
        enqueue(&task);
        const bool count_me = !t_counted;
        if (count_me) ++busy_, t_counted = true;
        wake_.notify_all();
        work_on(task, hold);
        if (count_me) {
            --busy_, t_counted = false;
            if (first_) wake_.notify_all();  // the core this caller used is free
        }
        done_.wait(hold, [&] { return task.unfinished == 0; });
    }

    void enter() noexcept {
        std::lock_guard hold(lock_);
        ++busy_;
    }

    void leave() noexcept {
        std::lock_guard hold(lock_);
        --busy_;
        if (first_) wake_.notify_all();
    }

    // At exit or unload: the workers are stopped and none starts again. A
    // host thread still inside a call then finishes it on its own thread.
    void close() noexcept {
        {
            std::lock_guard hold(lock_);
            closed_ = true;
        }
        stop();
    }

    void stop() noexcept {
        std::vector<std::thread> leaving;
        {
            std::lock_guard hold(lock_);
            stopping_ = true;
            leaving.swap(workers_);
            wake_.notify_all();
        }
        for (std::thread& t : leaving) t.join();
        std::lock_guard hold(lock_);
        stopping_ = false;
    }

  private:
    static uint32_t fresh_limit(uint32_t n) noexcept { return n ? n : usable_processors(); }

    void enqueue(Task* task) noexcept {
        Task** end = &first_;
        while (*end) end = &(*end)->later;
        *end = task;
    }

    void unlink(Task* task) noexcept {
        for (Task** at = &first_; *at; at = &(*at)->later) {
            if (*at == task) {
                *at = task->later;
                return;
            }
        }
    }

    // Takes items of task until none is left; the lock is held between items.
    void work_on(Task& task, std::unique_lock<std::mutex>& hold) noexcept {
        while (task.next < task.count) {
            const uint32_t i = task.next++;
            if (task.next == task.count) unlink(&task);
            hold.unlock();
            {
                const CallMessageScope reporting_to(task.message);
                task.item(task.context, i);
            }
            hold.lock();
            if (--task.unfinished == 0) done_.notify_all();
        }
    }

    // A child of fork() has none of the workers and may have copied the lock
    // while held: it starts again with no worker, forgetting (leaking) the
    // records of the threads it does not have, which it could neither join nor
    // detach. Of the busy threads only the forking one goes on, still counted
    // if it forked inside a call (from a sink or write callback): its count
    // is given back when that call ends.
    void forget_after_fork() noexcept {
        ::new (&lock_) std::mutex();
        ::new (&wake_) std::condition_variable();
        ::new (&done_) std::condition_variable();
        ::new (&workers_) std::vector<std::thread>();
        first_ = nullptr;
        busy_ = t_counted ? 1 : 0;
        stopping_ = false;
    }

    // Workers are made when first needed; one that cannot be made leaves the
    // work to the threads there are.
    void start_workers(uint32_t wanted) noexcept {
        while (!closed_ && workers_.size() < wanted) {
            try {
                workers_.emplace_back([this] { worker(); });
            } catch (...) {
                return;
            }
        }
    }

    void worker() noexcept {
        t_counted = true;  // counted in busy_ while on items
        std::unique_lock hold(lock_);
        for (;;) {
            if (stopping_) return;
            if (first_ && busy_ < limit_.load(std::memory_order_acquire)) {
                Task& task = *first_;
                ++busy_;
                work_on(task, hold);
                --busy_;
                continue;
            }
            wake_.wait(hold);
        }
    }

    std::atomic<uint32_t> limit_{0};  // 0 until first asked
    std::mutex lock_;
    std::condition_variable wake_;  // work or room for a worker, or stopping
    std::condition_variable done_;  // some task's last item returned
    std::vector<std::thread> workers_;
    Task* first_ = nullptr;  // tasks with items nobody has taken, oldest first
    uint32_t busy_ = 0;      // threads inside items or running their own call
    bool stopping_ = false;
    bool closed_ = false;  // after exit began: calls run without workers
};

Pool& pool() noexcept {
    // Never destroyed: a host thread may still be inside a call while the
    // process exits, and must find the lock and the tasks intact; a worker
    // record destroyed while its thread runs would end the process.
    alignas(Pool) static unsigned char storage[sizeof(Pool)];
    static Pool* instance = ::new (storage) Pool();
    return *instance;
}

// Joins the workers when the process exits or the library is unloaded, so
// that no worker is left running code that goes away.
struct WorkersStoppedAtExit {
    ~WorkersStoppedAtExit() { pool().close(); }
} workers_stopped_at_exit;

}  // namespace

uint32_t usable_processors() noexcept {
    uint32_t n = affinity_count();
    try {
        const uint32_t quota = cgroup_cpu_limit();
        if (quota) n = std::min(n, quota);
    } catch (...) {
        // An unreadable or odd cgroup file leaves the affinity mask to decide.
    }
    return n;
}

uint32_t thread_count() noexcept {
    return pool().limit();
}

void set_thread_count_to(uint32_t n) noexcept {
    pool().set_limit(n);
}

void stop_workers() noexcept {
    pool().stop();
}

LibraryCall::LibraryCall() noexcept : counted_(!t_counted) {
    if (counted_) {
        pool().enter();
        block_cache_call_started();
        t_counted = true;
    }
}

LibraryCall::~LibraryCall() {
    if (counted_) {
        t_counted = false;
        pool().leave();
        block_cache_call_ended();
    }
}

void parallel_items(uint32_t count, ItemFn item, void* context) noexcept {
    pool().run(count, item, context);
}

}  // namespace rk

extern "C" {

RK_API void set_thread_count(uint32_t n) noexcept {
    rk::set_thread_count_to(n);
}

RK_API uint32_t get_thread_count(void) noexcept {
    return rk::thread_count();
}

}  // extern "C"
