// Test-only reference: the streaming reasoning split written out step by
// step in its plainest form (the whole held text is rescanned after every
// chunk; the pending pieces are kept as lists). The production splitter must
// make exactly the same decisions.
//
// With `tag_prefix` the cut is instead at the longest suffix of the held
// text that is a proper prefix of the tag looked for. A stream that starts
// in the reasoning holds its text while it is a proper prefix of the opening
// tag and drops a whole opening tag at its very start.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace cogsift_test {

class ReferenceSplitter {
public:
    const std::string start_tag = "<think>";
    const std::string end_tag = "</think>";

    // `start_in_think`: the stream begins inside a reasoning block.
    explicit ReferenceSplitter(bool start_in_think = false, bool tag_prefix = false)
        : in_think(start_in_think), awaiting_lead(start_in_think), tag_prefix(tag_prefix) {}

    std::string buffer;
    bool in_think;
    bool awaiting_lead;
    bool tag_prefix;
    std::vector<std::string> pending_output;
    std::vector<std::string> pending_think;

    // Texts of the last emission.
    std::string output;
    std::string think;

    // A chunk that is split (not a pass-through one). Returns whether it is
    // emitted, with `output` and `think` as its new texts.
    bool feed(std::string_view content) {
        output.clear();
        think.clear();
        buffer += content;
        if (awaiting_lead) {
            if (buffer.size() < start_tag.size() && start_tag.compare(0, buffer.size(), buffer) == 0) return false;
            if (buffer.compare(0, start_tag.size(), start_tag) == 0) buffer = buffer.substr(start_tag.size());
            awaiting_lead = false;
        }
        split_step();
        std::string out_joined;
        for (const auto& p : pending_output) out_joined += p;
        std::string think_joined;
        for (const auto& p : pending_think) think_joined += p;
        if (!out_joined.empty() || !think_joined.empty()) {
            output = out_joined;
            think = think_joined;
            pending_output.clear();
            pending_think.clear();
            return true;
        }
        return false;
    }

    // End of input: whether the last chunk is emitted (again).
    bool finish() {
        output.clear();
        think.clear();
        if (!in_think && !buffer.empty()) {
            output = buffer;
            think = "";
            return true;
        }
        if (in_think) {
            if (!buffer.empty()) pending_think.push_back(buffer);
            if (!pending_think.empty()) {
                output = "";
                for (const auto& p : pending_think) think += p;
                return true;
            }
        }
        return false;
    }

private:
    void split_step() {
        for (;;) {
            if (!in_think) {
                const auto start_pos = buffer.find(start_tag);
                if (start_pos != std::string::npos) {
                    std::string output_part = buffer.substr(0, start_pos);
                    if (!output_part.empty()) pending_output.push_back(output_part);
                    buffer = buffer.substr(start_pos + start_tag.size());
                    in_think = true;
                    continue;
                }
                long cut_pos = -1;
                const long max_partial = partial_scan(start_tag, true, cut_pos);
                if (max_partial > 0) {
                    std::string output_part = buffer.substr(0, cut_pos);
                    if (!output_part.empty()) pending_output.push_back(output_part);
                    buffer = buffer.substr(cut_pos);
                } else {
                    if (!buffer.empty()) pending_output.push_back(buffer);
                    buffer.clear();
                }
                return;
            }
            const auto end_pos = buffer.find(end_tag);
            if (end_pos != std::string::npos) {
                std::string think_part = buffer.substr(0, end_pos);
                pending_think.push_back(think_part);
                buffer = buffer.substr(end_pos + end_tag.size());
                in_think = false;
                continue;
            }
            long cut_pos = -1;
            const long max_partial = partial_scan(end_tag, false, cut_pos);
            if (max_partial > 0) {
                std::string think_part = buffer.substr(0, cut_pos);
                pending_think.push_back(think_part);
                buffer = buffer.substr(cut_pos);
            } else {
                if (!buffer.empty()) pending_think.push_back(buffer);
                buffer.clear();
            }
            return;
        }
    }

    long partial_scan(const std::string& tag, bool start_scan, long& cut_pos) const {
        if (tag_prefix) return suffix_scan(tag, cut_pos);
        const long n = static_cast<long>(buffer.size());
        long max_partial = 0;
        cut_pos = -1;
        for (long i = 0; i < n; ++i) {
            if (start_scan && max_partial > 0 && buffer[i] == '>') {
                max_partial = 0;
                cut_pos = -1;
            }
            if (buffer[i] != '<') continue;
            for (long k = 1; k <= static_cast<long>(tag.size()); ++k) {
                if (i + k > n) break;
                if (buffer.compare(i, k, tag, 0, k) == 0) {
                    if (k > max_partial) {
                        max_partial = k;
                        cut_pos = i;
                    }
                } else {
                    break;
                }
            }
        }
        return max_partial;
    }

    // The longest suffix of the held text that is a proper prefix of `tag`.
    long suffix_scan(const std::string& tag, long& cut_pos) const {
        const long n = static_cast<long>(buffer.size());
        for (long k = static_cast<long>(tag.size()) - 1; k > 0; --k) {
            if (k <= n && buffer.compare(n - k, k, tag, 0, k) == 0) {
                cut_pos = n - k;
                return k;
            }
        }
        cut_pos = -1;
        return 0;
    }
};

}  // namespace cogsift_test
