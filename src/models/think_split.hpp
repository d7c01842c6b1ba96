// Streaming split of a chat model's output into reasoning and answer.
//
// The model writes its reasoning between "<think>" and "</think>"; the stream
// cuts that text into chunks anywhere, a tag included ('<thin' | 'k>'). The
// splitter holds back the tail of the received text that may still turn into
// a tag and hands out everything else, chunk by chunk, as answer text or as
// reasoning text.
//
// The rules that decide what is held back:
// - A whole opening tag outside reasoning (or a whole closing tag inside it)
//   is removed and switches the state; any other tag text is ordinary text.
// - Otherwise every "<" of the held text is a candidate, weighted by the
//   length of the tag prefix the text from it matches (at least 1: "<" is the
//   first character of both tags). The candidate with the longest prefix, the
//   earliest one on a tie, is the cut: text before it goes out, text from it
//   on stays held. Outside reasoning a ">" after the recorded candidate
//   cancels it (so '<b>' markup goes out at once); inside reasoning nothing
//   cancels a candidate.
// - At the end of the input the held text goes out as text of the current
//   kind.
//
// Stated as "rescan the whole held text after every chunk", these rules cost
// quadratic time when a "<" early in a long reasoning keeps everything after
// it held back. This implementation makes the same decisions but keeps the
// scan's progress between chunks, so each byte is looked at a bounded number
// of times:
// - After a chunk that ends without a whole tag, the held text contains no
//   whole tag of the current kind, so the next search for one only looks at
//   the last (tag length - 1) old bytes and the new text.
// - The candidate scan is a left-to-right fold with state (max_partial,
//   cut_pos). A candidate whose match runs into the end of the held text is
//   unsettled (more text may lengthen it); it lies within the last
//   (tag length - 1) bytes. The fold state just before the first unsettled
//   candidate is kept and the fold resumes from there on the next chunk.
// - When the held text is cut at cut_pos, that candidate was the last one to
//   change the fold state, so the state re-based to the new start is the old
//   one shifted: (max_partial, 0).
//
// A stream may instead hold back only what may still be the beginning of
// the tag being looked for (HoldBack::tag_prefix): the longest suffix of the
// held text that is a proper prefix of that tag, at most 7 bytes. Both ways
// hand out the same text in the same order, each kind joined; only how much
// waits at an emission differs. The rules above are HoldBack::candidate.
//
// A stream that begins inside the reasoning may still open with the opening
// tag, written by a model that does not know its prompt opened the block:
// while the received text is a proper prefix of "<think>" it is held, and a
// whole "<think>" at the very start is dropped.
//
// Positions are byte offsets in UTF-8 text. Both tags, "<" and ">" are single
// bytes, so every cut falls on a character boundary of the input.
#pragma once

#include <cassert>
#include <cstddef>
#include <string>
#include <string_view>

namespace cogsift {

enum class HoldBack { candidate, tag_prefix };

class ThinkSplitter {
public:
    static constexpr std::string_view kStartTag = "<think>";
    static constexpr std::string_view kEndTag = "</think>";

    // `start_in_think`: the stream begins inside a reasoning block, as the
    // output of a model whose prompt already opened one does; only a closing
    // tag ends it (an opening tag at the very start is dropped).
    // `hold_back`: what waits for more text (see above).
    explicit ThinkSplitter(bool start_in_think = false, HoldBack hold_back = HoldBack::candidate)
        : start_in_think_(start_in_think), hold_back_(hold_back) {
        reset();
    }

    // One chunk of model text. Returns true when the chunk must be handed on;
    // output() and think() then hold its new answer text and reasoning text
    // (either may be empty, not both) and the pending pieces are consumed.
    // When it returns false, the pending pieces stay for the next chunk.
    bool feed(std::string_view chunk);

    // End of the input. Returns true when the last chunk received must be
    // handed on (again) with output() and think(). Call reset() before using
    // the object for another stream.
    bool finish();

    // Texts of the last emission; valid until the next call of a non-const
    // member. Empty after a call that returned false.
    std::string_view output() const { return output_view_; }
    std::string_view think() const { return think_view_; }

    // True when output() (think()) of the last feed() that emitted is the
    // whole chunk passed to it, byte for byte; the caller may then hand on
    // its original text object. False after a call that did not emit and
    // after finish().
    bool output_is_whole_input() const { return output_whole_; }
    bool think_is_whole_input() const { return think_whole_; }

    bool in_think() const { return in_think_; }
    std::string_view held() const { return buffer_; }

    // Back to the start of a stream (in the state chosen at construction, or
    // by the arguments when given); keeps allocated capacity.
    void reset();
    void reset(bool start_in_think, HoldBack hold_back = HoldBack::candidate);

private:
    std::string_view current_tag() const { return in_think_ ? kEndTag : kStartTag; }
    void begin_call();
    void split(std::size_t old_size);
    // The steps of split(), inlined into it (it runs once per chunk, and a
    // call per step measurably slows the split).
    // Text of the current kind, handed out with the next emission.
    void take_piece(std::string_view piece);
    bool take_whole_tag(std::size_t search_from);
    void hold_partial_tag();
    void hold_tag_prefix();
    bool drop_leading_tag(std::size_t& old_size);
    void scan_partial(std::string_view tag, bool cancel_on_gt, int& max_partial,
                      std::size_t& cut_pos);
    void restart_scan();
    bool settle(bool held_was_empty, std::string_view chunk);

    bool start_in_think_ = false;
    HoldBack hold_back_ = HoldBack::candidate;
    std::string buffer_;   // held-back text, not yet answer or reasoning
    bool in_think_ = false;
    bool awaiting_lead_ = false;  // a leading "<think>" may still arrive

    // Pieces assigned since the last emission, joined. Answer pieces are
    // never empty; reasoning pieces may be, and an empty one still counts at
    // the end of the input, hence the flag.
    std::string pending_output_;
    std::string pending_think_;
    bool think_has_piece_ = false;
    bool emitted_ = false;  // the pending pieces were handed out by the last call

    std::string_view output_view_;
    std::string_view think_view_;
    bool output_whole_ = false;
    bool think_whole_ = false;

    // Saved fold of the candidate scan for the current tag over buffer_:
    // positions [0, scan_pos_) are folded into (scan_max_, scan_cut_).
    // scan_cut_ == npos stands for "no candidate" (cut_pos -1).
    static constexpr std::size_t kNone = std::string_view::npos;
    std::size_t scan_pos_ = 0;
    int scan_max_ = 0;
    std::size_t scan_cut_ = kNone;
};

inline void ThinkSplitter::reset(bool start_in_think, HoldBack hold_back) {
    start_in_think_ = start_in_think;
    hold_back_ = hold_back;
    reset();
}

inline void ThinkSplitter::reset() {
    buffer_.clear();
    in_think_ = start_in_think_;
    awaiting_lead_ = start_in_think_;
    pending_output_.clear();
    pending_think_.clear();
    think_has_piece_ = false;
    emitted_ = false;
    output_view_ = {};
    think_view_ = {};
    output_whole_ = think_whole_ = false;
    restart_scan();
}

inline void ThinkSplitter::restart_scan() {
    scan_pos_ = 0;
    scan_max_ = 0;
    scan_cut_ = kNone;
}

inline void ThinkSplitter::begin_call() {
    if (emitted_) {
        pending_output_.clear();
        pending_think_.clear();
        think_has_piece_ = false;
        emitted_ = false;
    }
    output_view_ = {};
    think_view_ = {};
    output_whole_ = think_whole_ = false;
}

inline bool ThinkSplitter::feed(std::string_view chunk) {
    begin_call();
    // Pending answer pieces are always empty between calls and pending
    // reasoning pieces hold no text then, so with nothing held everything
    // handed out comes from this chunk.
    const bool held_was_empty = buffer_.empty();
    std::size_t old_size = buffer_.size();
    buffer_.append(chunk);
    if (awaiting_lead_ && !drop_leading_tag(old_size)) return false;
    split(old_size);
    return settle(held_was_empty, chunk);
}

// At the start of a stream that begins inside the reasoning: false while
// buffer_ is a proper prefix of the opening tag (nothing is pending then);
// drops a whole leading opening tag.
inline bool ThinkSplitter::drop_leading_tag(std::size_t& old_size) {
    const std::size_t n = buffer_.size() < kStartTag.size() ? buffer_.size() : kStartTag.size();
    if (std::string_view(buffer_).substr(0, n) == kStartTag.substr(0, n)) {
        if (n < kStartTag.size()) return false;
        buffer_.erase(0, kStartTag.size());
        old_size = 0;  // what was held before was part of the tag
    }
    awaiting_lead_ = false;
    return true;
}

inline bool ThinkSplitter::settle(bool held_was_empty, std::string_view chunk) {
    if (pending_output_.empty() && pending_think_.empty()) return false;
    emitted_ = true;
    output_view_ = pending_output_;
    think_view_ = pending_think_;
    // With nothing held before, the pieces are disjoint slices of the chunk,
    // in order: if one kind is as long as the chunk, it is the chunk.
    // Otherwise held text came first and only a comparison tells.
    auto whole = [&](const std::string& piece) {
        return piece.size() == chunk.size() && (held_was_empty || piece == chunk);
    };
    output_whole_ = whole(pending_output_);
    think_whole_ = whole(pending_think_);
    return true;
}

inline bool ThinkSplitter::finish() {
    begin_call();
    if (!in_think_) {
        if (buffer_.empty()) return false;
        output_view_ = buffer_;
        emitted_ = true;
        return true;
    }
    if (!buffer_.empty()) {
        pending_think_.append(buffer_);
        think_has_piece_ = true;
    }
    if (!think_has_piece_) return false;
    think_view_ = pending_think_;
    emitted_ = true;
    return true;
}

inline void ThinkSplitter::split(std::size_t old_size) {
    // buffer_[0, old_size) holds no whole current tag: a new one must end in
    // the appended text.
    std::size_t search_from = 0;
    {
        const std::size_t keep = current_tag().size() - 1;
        if (old_size > keep) search_from = old_size - keep;
    }
    while (take_whole_tag(search_from)) search_from = 0;
    hold_partial_tag();
}

[[gnu::always_inline]] inline void ThinkSplitter::take_piece(std::string_view piece) {
    if (in_think_) {
        pending_think_.append(piece);
        think_has_piece_ = true;
    } else {
        pending_output_.append(piece);
    }
}

// Hands out the text before the first whole current tag at or after
// `search_from`, removes the tag and switches the state; false when buffer_
// has no such tag.
[[gnu::always_inline]] inline bool ThinkSplitter::take_whole_tag(std::size_t search_from) {
    const std::string_view tag = current_tag();
    const std::string_view text = buffer_;
    const std::size_t pos = text.find(tag, search_from);
    if (pos == std::string_view::npos) return false;
    take_piece(text.substr(0, pos));
    buffer_.erase(0, pos + tag.size());
    in_think_ = !in_think_;
    restart_scan();
    return true;
}

// buffer_ holds no whole current tag: hands out the text before the cut and
// holds the rest back, or hands out all of it when no candidate is left.
[[gnu::always_inline]] inline void ThinkSplitter::hold_partial_tag() {
    if (hold_back_ == HoldBack::tag_prefix) {
        hold_tag_prefix();
        return;
    }
    const std::string_view text = buffer_;
    int max_partial = 0;
    std::size_t cut_pos = kNone;
    scan_partial(current_tag(), !in_think_, max_partial, cut_pos);
    if (max_partial == 0) {
        if (!text.empty()) take_piece(text);
        buffer_.clear();
        restart_scan();
        return;
    }
    take_piece(text.substr(0, cut_pos));
    if (cut_pos == 0) return;
    if (cut_pos < scan_pos_) {
        // The cut candidate settled before the saved point and nothing
        // changed the fold after it.
        assert(scan_max_ == max_partial && scan_cut_ == cut_pos);
        scan_pos_ -= cut_pos;
        scan_cut_ = 0;
    } else {
        // Cut at an unsettled candidate: what is left is shorter than the
        // tag; fold it again next time.
        restart_scan();
    }
    buffer_.erase(0, cut_pos);
}

// buffer_ holds no whole current tag: holds back its longest suffix that is
// a proper prefix of the tag and hands out the text before it (an empty
// reasoning piece too, as a cut does in the candidate mode).
inline void ThinkSplitter::hold_tag_prefix() {
    const std::string_view text = buffer_;
    const std::string_view tag = current_tag();
    const std::size_t n = text.size();
    // The earliest "<" of the last (tag length - 1) bytes from which the
    // rest of the text is the beginning of the tag.
    std::size_t cut = n > tag.size() - 1 ? n - (tag.size() - 1) : 0;
    for (cut = text.find('<', cut); cut != kNone; cut = text.find('<', cut + 1))
        if (text.substr(cut) == tag.substr(0, n - cut)) break;
    if (cut == kNone) {
        if (!text.empty()) take_piece(text);
        buffer_.clear();
        return;
    }
    take_piece(text.substr(0, cut));
    buffer_.erase(0, cut);
}

// Folds the candidates of buffer_ from the saved point to the end and gives
// the final (max_partial, cut_pos); saves the fold state just before the
// first candidate whose match runs into the end of buffer_ (or at the end
// when there is none). buffer_ holds no whole `tag`.
inline void ThinkSplitter::scan_partial(std::string_view tag, bool cancel_on_gt,
                                        int& max_partial, std::size_t& cut_pos) {
    const char* const data = buffer_.data();
    const std::size_t n = buffer_.size();
    int best = scan_max_;
    std::size_t cut = scan_cut_;
    bool saved = false;
    for (std::size_t i = scan_pos_; i < n; ++i) {
        const char c = data[i];
        if (cancel_on_gt && c == '>') {
            best = 0;
            cut = kNone;
            continue;
        }
        if (c != '<') continue;
        const std::size_t limit = tag.size() < n - i ? tag.size() : n - i;
        std::size_t k = 1;
        while (k < limit && data[i + k] == tag[k]) ++k;
        assert(k < tag.size());
        if (!saved && i + k == n) {
            scan_pos_ = i;
            scan_max_ = best;
            scan_cut_ = cut;
            saved = true;
        }
        if (static_cast<int>(k) > best) {
            best = static_cast<int>(k);
            cut = i;
        }
    }
    if (!saved) {
        scan_pos_ = n;
        scan_max_ = best;
        scan_cut_ = cut;
    }
    max_partial = best;
    cut_pos = cut;
}

}  // namespace cogsift
