// Many prompts scanned at once: their code points gathered end to end with
// the GIL held, then the first-hit scan of each across threads without it.
#pragma once

#include <algorithm>
#include <exception>
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
    static constexpr size_t kMaxCodePoints = 1 << 20;

    size_t size() const { return starts_.size() - 1; }
    bool full() const { return size() >= kMaxPrompts || text_.size() >= kMaxCodePoints; }
    size_t code_points() const { return text_.size(); }
    const Py_UCS4* prompt(size_t i) const { return text_.data() + starts_[i]; }
    size_t length(size_t i) const { return starts_[i + 1] - starts_[i]; }

    void clear() {
        text_.clear();
        starts_.assign(1, 0);
    }

    // Appends the code points of the str `s` (the GIL held).
    void add(PyObject* s) {
        Py_ssize_t n = PyUnicode_GetLength(s);
        if (n < 0) throw_error();
        size_t at = text_.size();
        text_.resize(at + static_cast<size_t>(n));
        if (n && !PyUnicode_AsUCS4(s, text_.data() + at, n, 0)) {
            text_.resize(at);
            throw_error();
        }
        starts_.push_back(text_.size());
    }

private:
    std::vector<Py_UCS4> text_;
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
