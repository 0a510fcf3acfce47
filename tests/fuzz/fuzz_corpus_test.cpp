// Replays every committed corpus input, so that an input that once found a fault keeps guarding its fix.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/fuzz/fuzz_target.h"

// Every target replays its corpus, and every corpus has its target.
TEST(FuzzCorpus, EveryTargetReplaysItsCorpus)
{
    std::map<std::string, std::vector<std::filesystem::path>> corpora;
    for (const auto &dir : std::filesystem::directory_iterator(QS_FUZZ_CORPUS_DIR))
        for (const auto &entry : std::filesystem::directory_iterator(dir.path()))
            corpora[dir.path().filename().string()].push_back(entry.path());
    for (const auto &[name, files] : corpora)
        EXPECT_TRUE(fuzz_targets().count(name)) << "no target for the corpus " << name;
    ASSERT_FALSE(fuzz_targets().empty());
    for (const auto &[name, fn] : fuzz_targets()) {
        EXPECT_FALSE(corpora[name].empty()) << "no corpus for " << name;
        std::ranges::sort(corpora[name]); // the same order on every run
        for (const auto &file : corpora[name]) {
            std::ifstream in(file, std::ios::binary);
            SCOPED_TRACE(file.string());
            // Exactly the input's size, so that AddressSanitizer sees a read past its end.
            std::vector<uint8_t> input{std::istreambuf_iterator<char>(in), {}};
            fn(input.data(), input.size());
        }
    }
}
