// Many prompts scanned at once: their code points gathered end to end with
// the GIL held, then the first-hit scan of each across threads without it.
#pragma once

#include <algorithm>
#include <exception>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "wordsift_matcher.hpp"

namespace wordsift {

// A block of prompts as code points, end to end: prompt i is
// text[starts[i], starts[i + 1]).
class PromptBlock {
public:
    // Limits of one block, so a long list is converted a few MB at a time.
    static constexpr size_t kMaxPrompts = 64 * 1024;
    static constexpr size_t kMaxCodePoints = 1 << 18;

    size_t size() const { return starts_.size() - 1; }
    bool full() const { return size() >= kMaxPrompts || used_ >= kMaxCodePoints; }
    size_t code_points() const { return used_; }
    const Py_UCS4* prompt(size_t i) const { return text_.get() + starts_[i]; }
    size_t length(size_t i) const { return starts_[i + 1] - starts_[i]; }

    void clear() {
        used_ = 0;
        starts_.assign(1, 0);
    }

    // Appends the code points of the str `s` (the GIL held).
    void add(PyObject* s) {
        Py_ssize_t n = PyUnicode_GetLength(s);
        if (n < 0) throw_error();
        reserve(used_ + static_cast<size_t>(n));
        if (n && !PyUnicode_AsUCS4(s, text_.get() + used_, n, 0)) throw_error();
        used_ += static_cast<size_t>(n);
        starts_.push_back(used_);
    }

private:
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
    size_t capacity_ = 0, used_ = 0;
    std::vector<size_t> starts_{0};
};

// Below this many code points a thread of its own costs more than it saves.
constexpr size_t kMinCodePointsPerThread = 32 * 1024;

// out[i] = the matcher's answer for prompt i of `block`, for i in [first, last).
inline void scan_prompts(const Matcher& matcher, Fold fold, const CaseTables& tables, const PromptBlock& block,
                         size_t first, size_t last, Matcher::Result* out) {
    for (size_t i = first; i < last; ++i) out[i] = matcher.scan(block.prompt(i), block.length(i), fold, tables);
}

// Scans every prompt of `block` into `out` (block.size() results) on up to
// `threads` threads, the calling one included, each taking a run of prompts
// of about equal code points. Touches no Python object: call it without the
// GIL. Every thread started is joined before it returns or throws; a thread
// that cannot be started leaves its run to the calling thread.
inline void scan_block(const Matcher& matcher, Fold fold, const CaseTables& tables, const PromptBlock& block,
                       size_t threads, Matcher::Result* out) {
    size_t n = block.size();
    threads = std::max<size_t>(1, std::min({threads, n, block.code_points() / kMinCodePointsPerThread}));
    // run k is [bounds[k], bounds[k + 1])
    std::vector<size_t> bounds(threads + 1, n);
    bounds[0] = 0;
    for (size_t k = 1, i = 0; k < threads; ++k) {
        size_t target = block.code_points() / threads * k;
        while (i < n && block.prompt(i) - block.prompt(0) < static_cast<std::ptrdiff_t>(target)) ++i;
        bounds[k] = i;
    }
    std::vector<std::exception_ptr> errors(threads);
    auto run = [&](size_t k) {
        try {
            scan_prompts(matcher, fold, tables, block, bounds[k], bounds[k + 1], out);
        } catch (...) {
            errors[k] = std::current_exception();
        }
    };
    struct Joiner {
        std::vector<std::thread> started;
        ~Joiner() {
            for (std::thread& t : started) t.join();
        }
    } joiner;
    joiner.started.reserve(threads - 1);
    for (size_t k = 1; k < threads; ++k) {
        try {
            joiner.started.emplace_back(run, k);
        } catch (const std::system_error&) {
            break;  // the runs not handed out are the calling thread's
        }
    }
    run(0);
    for (size_t k = joiner.started.size() + 1; k < threads; ++k) run(k);
    for (std::thread& t : joiner.started) t.join();
    joiner.started.clear();
    for (const std::exception_ptr& e : errors)
        if (e) std::rethrow_exception(e);
}

}  // namespace wordsift
