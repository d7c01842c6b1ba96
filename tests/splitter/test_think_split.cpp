// Standalone checks of the streaming reasoning splitter:
//   1. the documented examples, as whole streams of chunks (pass-through
//      chunks and the end-of-input flush included), against both the
//      splitter and the plain reference;
//   2. differential runs of the splitter against the reference on random
//      streams full of tag fragments, in both hold-back modes, and of the
//      two modes against each other (same text handed out, each kind
//      joined; at most 7 bytes held in the tag-prefix mode);
//   3. a timing report (not a check) for a realistic and an adversarial
//      stream.
//
// Usage: test_think_split [--iters N] [--seed S] [--bench-chars N] [--no-bench]
// Exit status 0 when every check passes.
#include "../../src/models/think_split.hpp"
#include "reference_split.hpp"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

int g_failures = 0;

std::string escape(std::string_view s) {
    std::string out = "'";
    for (unsigned char c : s) {
        if (c == '\'' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char tmp[8];
            std::snprintf(tmp, sizeof tmp, "\\x%02x", c);
            out += tmp;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "'";
}

// ---------------------------------------------------------------------------
// Whole streams: the chunk objects, pass-through chunks and re-emission of the
// last chunk at the end of the input.

struct Chunk {
    std::string content;
    bool pass_through = false;  // arrives with a reasoning text of its own
    std::string reasoning;
};

Chunk text(std::string s) { return Chunk{std::move(s), false, {}}; }
Chunk pass(std::string content, std::string reasoning) {
    return Chunk{std::move(content), true, std::move(reasoning)};
}

struct Item {
    std::size_t message;  // 1-based index of the chunk object handed on
    std::string content;
    std::string reasoning;
    bool operator==(const Item& o) const {
        return message == o.message && content == o.content && reasoning == o.reasoning;
    }
};

std::string show(const std::vector<Item>& items) {
    std::string out = "[";
    for (const auto& it : items) {
        if (out.size() > 1) out += ", ";
        out += std::to_string(it.message) + ": " + escape(it.content) + " / " +
               escape(it.reasoning);
    }
    return out + "]";
}

using cogsift::HoldBack;

struct FastSide {
    FastSide(bool start_in_think, HoldBack mode) : s(start_in_think, mode) {}
    cogsift::ThinkSplitter s;
    bool feed(std::string_view c) { return s.feed(c); }
    bool finish() { return s.finish(); }
    std::string output() const { return std::string(s.output()); }
    std::string think() const { return std::string(s.think()); }
};

struct ReferenceSide {
    ReferenceSide(bool start_in_think, HoldBack mode) : s(start_in_think, mode == HoldBack::tag_prefix) {}
    cogsift_test::ReferenceSplitter s;
    bool feed(std::string_view c) { return s.feed(c); }
    bool finish() { return s.finish(); }
    std::string output() const { return s.output; }
    std::string think() const { return s.think; }
};

template <class Side>
std::vector<Item> run_stream(std::vector<Chunk> chunks, bool start_in_think, HoldBack mode) {
    Side side(start_in_think, mode);
    std::vector<Item> items;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        Chunk& c = chunks[i];
        if (c.pass_through) {
            items.push_back({i + 1, c.content, c.reasoning});
            continue;
        }
        if (side.feed(c.content)) {
            c.content = side.output();
            c.reasoning = side.think();
            items.push_back({i + 1, c.content, c.reasoning});
        }
    }
    if (side.finish()) {
        // Only possible after at least one chunk: the last one is handed on
        // again with its fields replaced.
        if (chunks.empty()) {
            std::printf("FAIL: end of an empty stream emitted something\n");
            ++g_failures;
        } else {
            items.push_back({chunks.size(), side.output(), side.think()});
        }
    }
    return items;
}

void expect_stream(const char* name, const std::vector<Chunk>& chunks,
                   const std::vector<Item>& expected, bool start_in_think = false,
                   HoldBack mode = HoldBack::candidate) {
    const auto fast = run_stream<FastSide>(chunks, start_in_think, mode);
    const auto ref = run_stream<ReferenceSide>(chunks, start_in_think, mode);
    if (!(fast == expected)) {
        std::printf("FAIL %s (splitter)\n  got      %s\n  expected %s\n", name,
                    show(fast).c_str(), show(expected).c_str());
        ++g_failures;
    }
    if (!(ref == expected)) {
        std::printf("FAIL %s (reference)\n  got      %s\n  expected %s\n", name,
                    show(ref).c_str(), show(expected).c_str());
        ++g_failures;
    }
}

void check_examples() {
    const std::string E;  // empty

    expect_stream("tags cut across chunks", {text("<thin"), text("k>abc</t"), text("hink>xyz")},
                  {{2, E, "abc"}, {3, "xyz", E}});
    expect_stream("plain answer", {text("Hello"), text(" world")},
                  {{1, "Hello", E}, {2, " world", E}});
    expect_stream("one block", {text("<think>plan</think>answer")}, {{1, "answer", "plan"}});
    expect_stream("every block collected", {text("<think>a</think>b<think>c</think>d")},
                  {{1, "bd", "ac"}});
    expect_stream("opening tag inside reasoning is text",
                  {text("<think>x<think>y</think>z")}, {{1, "z", "x<think>y"}});
    expect_stream("closing tag outside reasoning is text", {text("abc</think>def")},
                  {{1, "abc</think>def", E}});
    expect_stream("unfinished opening tag flushed as answer", {text("abc<th")},
                  {{1, "abc", E}, {1, "<th", E}});
    expect_stream("unfinished closing tag flushed as reasoning",
                  {text("<think>abc"), text("</th")}, {{1, E, "abc"}, {2, E, "</th"}});
    expect_stream("reasoning held from a lone <",
                  {text("<think>a < b"), text(" so c"), text("</think>done")},
                  {{1, E, "a "}, {3, "done", "< b so c"}});
    expect_stream("answer held from a lone <", {text("x < y"), text(" and z"), text("!")},
                  {{1, "x ", E}, {3, "< y and z!", E}});
    expect_stream("> cancels the candidate", {text("<b>bold"), text("</b> text")},
                  {{1, "<b>bold", E}, {2, "</b> text", E}});
    expect_stream("longer prefix moves the cut", {text("a<b c<th")},
                  {{1, "a<b c", E}, {1, "<th", E}});
    expect_stream("tie keeps the earliest candidate", {text("a<t b<t")},
                  {{1, "a", E}, {1, "<t b<t", E}});
    expect_stream("empty reasoning pieces still flush", {text("<think></think><think>")},
                  {{1, E, E}});
    expect_stream("pass-through keeps held state",
                  {text("<think>ab"), pass("P", "Q"), text("c</think>d")},
                  {{1, E, "ab"}, {2, "P", "Q"}, {3, "d", "c"}});
    expect_stream("all pass-through, tags untouched",
                  {pass("<think>x", E), pass(E, "</think>"), pass("a<th", "<")},
                  {{1, "<think>x", E}, {2, E, "</think>"}, {3, "a<th", "<"}});
    expect_stream("flush overwrites a pass-through last chunk",
                  {text("abc<th"), pass("q", "r")}, {{1, "abc", E}, {2, "q", "r"}, {2, "<th", E}});
    expect_stream("flush of reasoning onto a pass-through last chunk",
                  {text("<think>a<"), pass(E, E)}, {{1, E, "a"}, {2, E, E}, {2, E, "<"}});

    // Streams that begin inside the reasoning (the prompt opened the block).
    expect_stream("starting in reasoning: closing tag cut across chunks",
                  {text("plan</th"), text("ink>answer")}, {{1, E, "plan"}, {2, "answer", E}}, true);
    expect_stream("starting in reasoning: closing tag first", {text("</think>"), text("answer")},
                  {{2, "answer", E}}, true);
    expect_stream("starting in reasoning: a later opening tag opens another block",
                  {text("a</think>b<think>c</think>d")}, {{1, "bd", "ac"}}, true);
    expect_stream("starting in reasoning: a leading opening tag is dropped", {text("<think>x</think>y")},
                  {{1, "y", "x"}}, true);
    expect_stream("starting in reasoning: a leading opening tag cut anywhere",
                  {text("<"), text(""), text("thi"), text("nk>a<think>b</think>c")}, {{4, "c", "a<think>b"}}, true);
    expect_stream("starting in reasoning: a near tag at the start is reasoning",
                  {text("<thin"), text("g>x</think>y")}, {{2, "y", "<thing>x"}}, true);
    expect_stream("starting in reasoning: a closing tag at the start", {text("<"), text("/think>y")},
                  {{2, "y", E}}, true);
    expect_stream("starting in reasoning: an unfinished leading tag flushes as reasoning", {text("<thi")},
                  {{1, E, "<thi"}}, true);
    expect_stream("starting in reasoning: only the very start", {text("a"), text("<think>b</think>c")},
                  {{1, E, "a"}, {2, "c", "<think>b"}}, true);
    expect_stream("starting in reasoning: never closed", {text("all reasoning <"), text("b")},
                  {{1, E, "all reasoning "}, {2, E, "<b"}}, true);
    expect_stream("starting in reasoning: empty stream", {}, {}, true);
    expect_stream("empty stream", {}, {});
    expect_stream("empty chunks only", {text(""), text("")}, {});
    expect_stream("closed empty block emits nothing",
                  {text("<think>"), text("</think>")}, {});
    expect_stream("end of input inside reasoning with no piece", {text("<think>")},
                  {});
    expect_stream("empty pieces survive a silent chunk",
                  {text("<think></think>"), text("<th"), text("ink>")}, {{3, E, E}});

    // Holding back only a tag prefix: the same streams hand out the same
    // text, sooner.
    const HoldBack T = HoldBack::tag_prefix;
    expect_stream("tag prefix: reasoning after a < goes on", {text("<think>a < b"), text(" so c"), text("</think>done")},
                  {{1, E, "a < b"}, {2, E, " so c"}, {3, "done", E}}, false, T);
    expect_stream("tag prefix: answer after a < goes on", {text("x < y"), text(" and z"), text("!")},
                  {{1, "x < y", E}, {2, " and z", E}, {3, "!", E}}, false, T);
    expect_stream("tag prefix: only the tail that may begin the tag", {text("a<t b<t")},
                  {{1, "a<t b", E}, {1, "<t", E}}, false, T);
    expect_stream("tag prefix: cut tags", {text("<thin"), text("k>abc</t"), text("hink>xyz")},
                  {{2, E, "abc"}, {3, "xyz", E}}, false, T);
    expect_stream("tag prefix: a held empty reasoning piece still flushes", {text("<think></think><think>")},
                  {{1, E, E}}, false, T);
    expect_stream("tag prefix: the longest prefix, not the last <", {text("<think>p </thi<"), text("nk>")},
                  {{1, E, "p </thi"}, {2, E, "<nk>"}}, false, T);
    expect_stream("tag prefix: starting in reasoning", {text("<thi"), text("nk>a<b</"), text("think>c")},
                  {{2, E, "a<b"}, {3, "c", E}}, true, T);

    // The module's demonstration sequence: exactly five items.
    const char* demo[] = {"<think>", "124", "<thin", "k>", "<",   "sup>", "1",   "<",  "/",
                          "sup>",    "223", "<",     "/t", "hin", "k",    ">",   "你好", "。"};
    std::vector<Chunk> demo_chunks;
    for (const char* p : demo) demo_chunks.push_back(text(p));
    expect_stream("demonstration sequence", demo_chunks,
                  {{2, E, "124"},
                   {9, E, "<think><sup>1"},
                   {13, E, "</sup>223"},
                   {17, "你好", E},
                   {18, "。", E}});

    // Whole-input reuse flags.
    struct FlagCase {
        std::vector<std::string> chunks;
        bool emitted, output_whole, think_whole;  // for the last chunk
    };
    const FlagCase flag_cases[] = {
        {{"Hello"}, true, true, false},
        {{"<think>", "plan"}, true, false, true},
        {{"<think>", "plan</think>"}, true, false, false},
        {{"<", "a>"}, true, false, false},
        {{"<", "a><"}, true, false, false},  // same length as the chunk, other text
        {{"x<th"}, true, false, false},
        {{"<think>x", "y"}, true, false, true},
        {{"<think>x<", "y"}, false, false, false},
        {{"中文"}, true, true, false},
    };
    for (const auto& fc : flag_cases) {
        cogsift::ThinkSplitter s;
        bool emitted = false;
        for (const auto& c : fc.chunks) emitted = s.feed(c);
        if (emitted != fc.emitted || s.output_is_whole_input() != fc.output_whole ||
            s.think_is_whole_input() != fc.think_whole) {
            std::printf("FAIL whole-input flags after %s: emitted %d output %d think %d\n",
                        escape(fc.chunks.back()).c_str(), emitted, s.output_is_whole_input(),
                        s.think_is_whole_input());
            ++g_failures;
        }
    }
}

// ---------------------------------------------------------------------------
// Differential runs.

struct Rng {
    std::uint64_t state;
    explicit Rng(std::uint64_t seed) : state(seed) {}
    std::uint64_t next() {  // splitmix64
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
    bool chance(unsigned percent) { return below(100) < percent; }
};

const char* const kPieces[] = {
    "<",  "<",     "<",      ">",       ">",     "/",      "t",    "h",    "i",
    "n",  "k",     "<think>", "</think>", "<th",   "</th",   "</thi", "<thin", "think",
    "a",  " ",     "\xc3\xa9", "你",      "\xf0\x9f\x98\x80", "<b>", "</b>", "<<", "k>",
    "</", "</t",   "hink>",  "ink>",    "<thinkk", "</think", "<think",
};
constexpr std::size_t kPieceCount = sizeof kPieces / sizeof kPieces[0];

std::string random_text(Rng& rng) {
    std::size_t pieces;
    const std::size_t kind = rng.below(100);
    if (kind < 70) {
        pieces = rng.below(16);
    } else if (kind < 95) {
        pieces = rng.below(60);
    } else {
        pieces = 100 + rng.below(600);
    }
    // Some streams lean on a small alphabet so tags and near-tags are dense.
    const std::size_t alphabet = rng.chance(30) ? 12 : kPieceCount;
    std::string s;
    for (std::size_t i = 0; i < pieces; ++i) s += kPieces[rng.below(alphabet)];
    return s;
}

std::vector<std::string> random_chunks(Rng& rng, const std::string& s) {
    std::vector<std::string> chunks;
    const std::size_t max_chunk = rng.chance(20) ? 1 + rng.below(40) : 1 + rng.below(8);
    std::size_t pos = 0;
    while (pos < s.size()) {
        if (rng.chance(8)) chunks.emplace_back();  // empty chunk
        const std::size_t len = 1 + rng.below(max_chunk);
        chunks.push_back(s.substr(pos, len));
        pos += len;
    }
    if (rng.chance(10)) chunks.emplace_back();
    return chunks;
}

std::string show_chunks(const std::vector<std::string>& chunks) {
    std::string out = "[";
    for (const auto& c : chunks) {
        if (out.size() > 1) out += ", ";
        out += escape(c);
    }
    return out + "]";
}

// Returns false (after printing the details) on the first difference.
bool compare_stream(cogsift::ThinkSplitter& fast, const std::vector<std::string>& chunks,
                    std::uint64_t seed, bool start_in_think, HoldBack mode) {
    cogsift_test::ReferenceSplitter ref(start_in_think, mode == HoldBack::tag_prefix);
    auto fail = [&](std::size_t step, const std::string& what) {
        std::printf("MISMATCH seed=%llu%s%s at %s %zu: %s\n  chunks %s\n",
                    static_cast<unsigned long long>(seed), start_in_think ? " (starting in reasoning)" : "",
                    mode == HoldBack::tag_prefix ? " (tag prefix)" : "",
                    step < chunks.size() ? "chunk" : "end", step + 1, what.c_str(),
                    show_chunks(chunks).c_str());
        ++g_failures;
        return false;
    };
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const bool fe = fast.feed(chunks[i]);
        const bool re = ref.feed(chunks[i]);
        if (fe != re) return fail(i, std::string("emitted ") + (fe ? "yes" : "no") + " vs " + (re ? "yes" : "no"));
        if (fe && (fast.output() != ref.output || fast.think() != ref.think)) {
            return fail(i, "got " + escape(fast.output()) + " / " + escape(fast.think()) +
                               ", reference " + escape(ref.output) + " / " + escape(ref.think));
        }
        if (!fe && (!fast.output().empty() || !fast.think().empty())) {
            return fail(i, "texts left over from a silent chunk");
        }
        if (fast.in_think() != ref.in_think || fast.held() != ref.buffer) {
            return fail(i, "held " + escape(fast.held()) + " vs " + escape(ref.buffer));
        }
        const bool out_whole = fe && ref.output == chunks[i];
        const bool think_whole = fe && ref.think == chunks[i];
        if (fast.output_is_whole_input() != out_whole ||
            fast.think_is_whole_input() != think_whole) {
            return fail(i, "whole-input flags");
        }
    }
    const bool fe = fast.finish();
    const bool re = ref.finish();
    if (fe != re) return fail(chunks.size(), std::string("end emitted ") + (fe ? "yes" : "no") + " vs " + (re ? "yes" : "no"));
    if (fe && (fast.output() != ref.output || fast.think() != ref.think)) {
        return fail(chunks.size(), "got " + escape(fast.output()) + " / " + escape(fast.think()) +
                                       ", reference " + escape(ref.output) + " / " +
                                       escape(ref.think));
    }
    return true;
}

// Both modes over one stream: the same answer text and the same reasoning
// text, each joined over the emissions (end of input included); the
// tag-prefix mode never holds more than 7 bytes.
bool modes_agree(const std::vector<std::string>& chunks, std::uint64_t seed, bool start_in_think) {
    cogsift::ThinkSplitter sides[2] = {cogsift::ThinkSplitter(start_in_think, HoldBack::candidate),
                                       cogsift::ThinkSplitter(start_in_think, HoldBack::tag_prefix)};
    std::string output[2], think[2];
    for (int m = 0; m < 2; ++m) {
        for (const auto& c : chunks) {
            if (sides[m].feed(c)) {
                output[m] += sides[m].output();
                think[m] += sides[m].think();
            }
            if (m == 1 && sides[m].held().size() > 7) {
                std::printf("MODES seed=%llu: %zu bytes held\n  chunks %s\n", static_cast<unsigned long long>(seed),
                            sides[m].held().size(), show_chunks(chunks).c_str());
                ++g_failures;
                return false;
            }
        }
        if (sides[m].finish()) {
            output[m] += sides[m].output();
            think[m] += sides[m].think();
        }
    }
    if (output[0] != output[1] || think[0] != think[1]) {
        std::printf("MODES seed=%llu%s: %s / %s vs %s / %s\n  chunks %s\n", static_cast<unsigned long long>(seed),
                    start_in_think ? " (starting in reasoning)" : "", escape(output[0]).c_str(),
                    escape(think[0]).c_str(), escape(output[1]).c_str(), escape(think[1]).c_str(),
                    show_chunks(chunks).c_str());
        ++g_failures;
        return false;
    }
    return true;
}

void differential(std::uint64_t base_seed, std::uint64_t iters) {
    cogsift::ThinkSplitter reused;
    std::uint64_t feeds = 0, bytes = 0;
    int reported = 0;
    for (std::uint64_t n = 0; n < iters; ++n) {
        const std::uint64_t seed = base_seed + n;
        Rng rng(seed);
        const std::string s = random_text(rng);
        const auto chunks = random_chunks(rng, s);
        feeds += chunks.size();
        bytes += s.size();
        const bool start_in_think = rng.chance(25);
        const HoldBack mode = rng.chance(50) ? HoldBack::tag_prefix : HoldBack::candidate;
        bool ok;
        if (rng.chance(90)) {
            reused.reset(start_in_think, mode);
            ok = compare_stream(reused, chunks, seed, start_in_think, mode);
        } else {
            cogsift::ThinkSplitter fresh(start_in_think, mode);
            ok = compare_stream(fresh, chunks, seed, start_in_think, mode);
        }
        ok = ok && modes_agree(chunks, seed, start_in_think);
        if (!ok && ++reported >= 5) {
            std::printf("stopping after %d mismatches\n", reported);
            return;
        }
    }
    std::printf("differential: %llu streams, %llu chunks, %llu bytes (seeds %llu..%llu)\n",
                static_cast<unsigned long long>(iters), static_cast<unsigned long long>(feeds),
                static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(base_seed),
                static_cast<unsigned long long>(base_seed + iters - 1));
}

// ---------------------------------------------------------------------------
// Timing report.

struct Timing {
    double ns_per_chunk;
    std::string output, think;
};

template <class Side>
Timing time_stream(const std::vector<std::string>& chunks) {
    Side side;
    Timing t;
    const auto start = std::chrono::steady_clock::now();
    for (const auto& c : chunks) {
        if (side.feed(c)) {
            t.output += side.output();
            t.think += side.think();
        }
    }
    if (side.finish()) {
        t.output += side.output();
        t.think += side.think();
    }
    const auto stop = std::chrono::steady_clock::now();
    t.ns_per_chunk =
        std::chrono::duration<double, std::nano>(stop - start).count() / static_cast<double>(chunks.size());
    return t;
}

struct FastView {
    cogsift::ThinkSplitter s;
    bool feed(std::string_view c) { return s.feed(c); }
    bool finish() { return s.finish(); }
    std::string_view output() const { return s.output(); }
    std::string_view think() const { return s.think(); }
};

struct PrefixView {
    cogsift::ThinkSplitter s{false, HoldBack::tag_prefix};
    bool feed(std::string_view c) { return s.feed(c); }
    bool finish() { return s.finish(); }
    std::string_view output() const { return s.output(); }
    std::string_view think() const { return s.think(); }
};

struct RefView {
    cogsift_test::ReferenceSplitter s;
    bool feed(std::string_view c) { return s.feed(c); }
    bool finish() { return s.finish(); }
    const std::string& output() const { return s.output; }
    const std::string& think() const { return s.think; }
};

std::string prose(Rng& rng, std::size_t chars, const char* const* markup, std::size_t markups) {
    static const char* const words[] = {"the", "model", "weighs", "each", "option", "so",
                                        "推理", "答案", "é", "and", "then", "x"};
    std::string s;
    std::size_t count = 0;  // characters, not bytes
    while (count < chars) {
        if (markups && rng.chance(3)) {
            const char* m = markup[rng.below(markups)];
            s += m;
            count += std::strlen(m);
        } else {
            const char* w = words[rng.below(sizeof words / sizeof words[0])];
            s += w;
            s += ' ';
            // multi-byte words count one character per code point
            for (const char* p = w; *p; ++p) count += (static_cast<unsigned char>(*p) & 0xc0) != 0x80;
            ++count;
        }
    }
    return s;
}

std::vector<std::string> cut(Rng& rng, const std::string& s, std::size_t min_len,
                             std::size_t max_len) {
    std::vector<std::string> chunks;
    std::size_t pos = 0;
    while (pos < s.size()) {
        std::size_t len = min_len + rng.below(max_len - min_len + 1);
        // keep UTF-8 characters whole, as a model's text chunks are
        while (pos + len < s.size() && (static_cast<unsigned char>(s[pos + len]) & 0xc0) == 0x80) ++len;
        chunks.push_back(s.substr(pos, len));
        pos += len;
    }
    return chunks;
}

void bench_one(const char* name, const std::vector<std::string>& chunks) {
    const Timing fast = time_stream<FastView>(chunks);
    const Timing prefix = time_stream<PrefixView>(chunks);
    const Timing ref = time_stream<RefView>(chunks);
    if (fast.output != ref.output || fast.think != ref.think || prefix.output != ref.output ||
        prefix.think != ref.think) {
        std::printf("FAIL %s: splitter and reference disagree\n", name);
        ++g_failures;
    }
    std::printf("timing %-12s %7zu chunks: splitter %9.1f ns/chunk (tag prefix %9.1f), reference %12.1f ns/chunk\n",
                name, chunks.size(), fast.ns_per_chunk, prefix.ns_per_chunk, ref.ns_per_chunk);
}

void bench(std::size_t adversarial_chars) {
    Rng rng(12345);
    {
        static const char* const think_markup[] = {"a < b", "<sup>2</sup>", "</b>", "<t", "x<y"};
        static const char* const answer_markup[] = {"<b>", "</b>", "a < b", "<br/>"};
        std::string s = "<think>";
        s += prose(rng, 20000, think_markup, 5);
        s += "</think>";
        s += prose(rng, 5000, answer_markup, 4);
        bench_one("realistic", cut(rng, s, 1, 8));
    }
    {
        std::string s = "<think>a<";
        s += prose(rng, adversarial_chars, nullptr, 0);
        bench_one("adversarial", cut(rng, s, 4, 4));
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t iters = 1000000;
    std::uint64_t seed = 1;
    std::size_t bench_chars = 200000;
    bool run_bench = true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "missing value after %s\n", argv[i]);
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--iters") {
            iters = std::strtoull(value(), nullptr, 10);
        } else if (a == "--seed") {
            seed = std::strtoull(value(), nullptr, 10);
        } else if (a == "--bench-chars") {
            bench_chars = std::strtoull(value(), nullptr, 10);
        } else if (a == "--no-bench") {
            run_bench = false;
        } else {
            std::fprintf(stderr, "unknown argument %s\n", argv[i]);
            return 2;
        }
    }

    check_examples();
    std::printf("examples: %s\n", g_failures ? "FAILED" : "ok");
    differential(seed, iters);
    if (run_bench) bench(bench_chars);

    if (g_failures) {
        std::printf("%d failure(s)\n", g_failures);
        return 1;
    }
    std::printf("all checks passed\n");
    return 0;
}
