// Many prompts scanned at once: a block of them gathered with the GIL held,
// then the first-hit scan of each across threads without it.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "wordsift_matcher.hpp"

namespace wordsift {

// A block of prompts to scan: an ASCII prompt whose image allows it is read
// in place (its UTF-8 form is its own storage, alive as long as the caller
// holds the str), the others as code points end to end.
class PromptBlock {
public:
    // Limits of one block, so a long list is converted a few MB at a time.
    // A run of blocks starts small, so that the threads get to work soon,
    // and grows, so that waking them is paid for by more work each time.
    static constexpr size_t kMaxPrompts = 64 * 1024;
    static constexpr size_t kFirstCodePoints = 1 << 17, kMaxCodePoints = 1 << 18;

    size_t size() const { return prompts_.size(); }
    bool full() const { return size() >= kMaxPrompts || work_ >= limit_; }
    // Code points of all prompts, and of those before prompt i.
    size_t code_points() const { return work_; }
    size_t code_points_before(size_t i) const { return prompts_[i].before; }
    // The ASCII bytes of prompt i read in place, or null when it is code points.
    const uint8_t* ascii(size_t i) const { return prompts_[i].ascii; }
    const Py_UCS4* prompt(size_t i) const { return text_.get() + prompts_[i].start; }
    size_t length(size_t i) const { return prompts_[i].length; }

    // Empties the block, for prompts to be scanned under `fold`, full at
    // `limit` code points.
    void clear(Fold fold, size_t limit) {
        used_ = work_ = 0;
        prompts_.clear();
        fold_ = fold;
        limit_ = limit;
    }
    Fold fold() const { return fold_; }

    // Appends the str `s` (the GIL held); `isascii` as ascii_in_place takes it.
    void add(PyObject* s, const CaseTables& tables, const AsciiTest& isascii) {
        size_t size = 0;
        if (const uint8_t* bytes = ascii_in_place(s, fold_, tables, isascii, size)) {
            prompts_.push_back({0, size, work_, bytes});
            work_ += size;
            return;
        }
        Py_ssize_t n = PyUnicode_GetLength(s);
        if (n < 0) throw_error();
        reserve(used_ + static_cast<size_t>(n));
        if (n && !PyUnicode_AsUCS4(s, text_.get() + used_, n, 0)) throw_error();
        prompts_.push_back({used_, static_cast<size_t>(n), work_, nullptr});
        used_ += static_cast<size_t>(n);
        work_ += static_cast<size_t>(n);
    }

private:
    struct Prompt {
        size_t start, length;  // code points at text_[start, start + length), or ASCII bytes
        size_t before;         // code points of the prompts before it
        const uint8_t* ascii;
    };

    // Room for `total` code points, kept across blocks and never zero-filled.
    void reserve(size_t total) {
        if (total <= capacity_) return;
        size_t capacity = std::max(total, std::max<size_t>(2 * capacity_, 4096));
        std::unique_ptr<Py_UCS4[]> grown(new Py_UCS4[capacity]);
        if (used_) std::copy(text_.get(), text_.get() + used_, grown.get());
        text_ = std::move(grown);
        capacity_ = capacity;
    }

    std::unique_ptr<Py_UCS4[]> text_;
    size_t capacity_ = 0, used_ = 0, work_ = 0;
    std::vector<Prompt> prompts_;
    Fold fold_ = Fold::Exact;
    size_t limit_ = kMaxCodePoints;
};

// Below this many code points a thread of its own costs more than it saves.
constexpr size_t kMinCodePointsPerThread = 32 * 1024;

// out[i] = the matcher's answer for prompt i of `block`, for i in [first, last).
inline void scan_prompts(const Matcher& matcher, Fold fold, const CaseTables& tables, const PromptBlock& block,
                         size_t first, size_t last, Matcher::Result* out) {
    for (size_t i = first; i < last; ++i)
        out[i] = block.ascii(i) ? matcher.scan_ascii(block.ascii(i), block.length(i), fold != Fold::Exact)
                                : matcher.scan(block.prompt(i), block.length(i), fold, tables);
}

// Worker threads that scan blocks of prompts for as long as the pool lives,
// so that the calling thread can convert the next block (the GIL held) while
// they scan this one. start() hands a block to the workers and returns at
// once; finish() joins in scanning it and returns when every prompt of it is
// answered. Prompts are taken some code points' worth at a time, so
// threads that get the harder ones take fewer. Neither touches a Python
// object: the block, the matcher and the tables must stay alive and
// unchanged until finish() returns, which is called without the GIL. The
// destructor stops the workers and joins them (a block still being scanned
// is left unfinished).
class ScanPool {
public:
    // Up to `workers` threads besides the calling one; fewer when the system
    // refuses more (none is fine: finish() then scans alone).
    explicit ScanPool(size_t workers) {
        threads_.reserve(workers);
        for (size_t k = 0; k < workers; ++k) {
            try {
                threads_.emplace_back([this] { work(); });
            } catch (const std::system_error&) {
                break;
            }
        }
    }
    ScanPool(const ScanPool&) = delete;
    ScanPool& operator=(const ScanPool&) = delete;
    ~ScanPool() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
            ++events_;
        }
        wake_.notify_all();
        for (std::thread& t : threads_) t.join();
    }

    void start(const Matcher& matcher, Fold fold, const CaseTables& tables, const PromptBlock& block,
               Matcher::Result* out) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            job_ = Job{&matcher, fold, &tables, &block, out};
            next_ = answered_ = 0;
            error_ = nullptr;
            ++events_;
        }
        wake_.notify_all();
    }

    void finish() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (scan_some(lock)) {
        }
        wait(lock, done_, [this] { return answered_ == job_.block->size(); });
        job_.block = nullptr;
        if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
    }

private:
    // Code points of the prompts a thread takes at once (at least one
    // prompt): enough work that handing the lock between threads costs
    // little, little enough that the threads end a block close together.
    static constexpr size_t kTake = 16384;
    static constexpr std::chrono::microseconds kSpin{200};

    struct Job {
        const Matcher* matcher = nullptr;
        Fold fold = Fold::Exact;
        const CaseTables* tables = nullptr;
        const PromptBlock* block = nullptr;
        Matcher::Result* out = nullptr;
    };

    bool work_left() const { return job_.block && next_ < job_.block->size(); }

    // Takes the next few prompts of the job and scans them, the lock
    // released meanwhile; false when none is left.
    bool scan_some(std::unique_lock<std::mutex>& lock) {
        if (!work_left()) return false;
        Job job = job_;
        const PromptBlock& block = *job.block;
        size_t first = next_, last = first + 1;
        while (last < block.size() && block.code_points_before(last) - block.code_points_before(first) < kTake) ++last;
        next_ = last;
        lock.unlock();
        std::exception_ptr error;
        try {
            scan_prompts(*job.matcher, job.fold, *job.tables, *job.block, first, last, job.out);
        } catch (...) {
            error = std::current_exception();
        }
        lock.lock();
        if (error && !error_) error_ = error;
        answered_ += last - first;
        if (answered_ == job.block->size()) {
            ++events_;
            done_.notify_all();
        }
        return true;
    }

    // Waits on `cv` until ready(), the lock held. A wait between blocks is
    // short, and waking a sleeping thread takes the system tens of
    // microseconds: so it first spins a while, the lock released, until
    // something happens.
    template <class Ready>
    void wait(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, Ready ready) {
        if (ready()) return;
        uint32_t seen = events_.load(std::memory_order_relaxed);
        lock.unlock();
        auto until = std::chrono::steady_clock::now() + kSpin;
        for (unsigned k = 1; events_.load(std::memory_order_acquire) == seen; ++k) {
            if (k % 64 == 0 && std::chrono::steady_clock::now() > until) break;
            pause();
        }
        lock.lock();
        cv.wait(lock, ready);
    }
    static void pause() {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }

    void work() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wait(lock, wake_, [this] { return stop_ || work_left(); });
            if (stop_) return;
            scan_some(lock);
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_, done_;
    Job job_;                 // the block being scanned (block null between jobs)
    size_t next_ = 0;         // its first prompt not yet taken
    size_t answered_ = 0;     // its prompts scanned
    std::exception_ptr error_;
    bool stop_ = false;
    std::atomic<uint32_t> events_{0};  // bumped, under the lock, by every change a waiter waits for
    std::vector<std::thread> threads_;
};

}  // namespace wordsift
