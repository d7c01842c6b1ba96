// libFuzzer target: the streaming reasoning splitter against the plain
// reference. The input is the stream's text with '\n' between chunks (so
// "\n\n" makes an empty chunk); a leading byte from '\x01' to '\x03' chooses
// the mode: bit 0 starts the stream inside the reasoning, bit 1 holds back
// only tag prefixes. Any difference aborts.
//
// Build and run (clang):
//   clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined \
//       -o fuzz_think_split tests/splitter/fuzz_think_split.cpp
//   ./fuzz_think_split -dict=tests/splitter/fuzz_think_split.dict -max_len=512 corpus/
#include "../../src/models/think_split.hpp"
#include "reference_split.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

void require(bool ok, const char* what, std::size_t chunk) {
    if (!ok) {
        std::fprintf(stderr, "mismatch at chunk %zu: %s\n", chunk + 1, what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    const unsigned mode = !input.empty() && input.front() >= '\x01' && input.front() <= '\x03' ? input.front() : 0;
    if (mode != 0) input.remove_prefix(1);
    const bool start_in_think = (mode & 1) != 0;
    const bool tag_prefix = (mode & 2) != 0;
    static cogsift::ThinkSplitter fast;  // reused, as a long-lived binding would
    fast.reset(start_in_think, tag_prefix ? cogsift::HoldBack::tag_prefix : cogsift::HoldBack::candidate);
    cogsift_test::ReferenceSplitter ref(start_in_think, tag_prefix);

    std::size_t start = 0, index = 0;
    while (start <= input.size()) {
        std::size_t end = input.find('\n', start);
        if (end == std::string_view::npos) end = input.size();
        const std::string_view chunk = input.substr(start, end - start);
        const bool fe = fast.feed(chunk);
        const bool re = ref.feed(chunk);
        require(fe == re, "emitted", index);
        if (fe) {
            require(fast.output() == ref.output, "output", index);
            require(fast.think() == ref.think, "think", index);
        } else {
            require(fast.output().empty() && fast.think().empty(), "silent texts", index);
        }
        require(fast.in_think() == ref.in_think, "in_think", index);
        require(fast.held() == ref.buffer, "held", index);
        require(fast.output_is_whole_input() == (fe && ref.output == chunk), "output whole", index);
        require(fast.think_is_whole_input() == (fe && ref.think == chunk), "think whole", index);
        start = end + 1;
        ++index;
    }
    const bool fe = fast.finish();
    const bool re = ref.finish();
    require(fe == re, "end emitted", index);
    if (fe) {
        require(fast.output() == ref.output, "end output", index);
        require(fast.think() == ref.think, "end think", index);
    }
    return 0;
}
