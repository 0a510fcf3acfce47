// Replays every committed corpus input of every fuzz target, so that an
// input that once found a fault keeps guarding its fix.  A crash or a
// sanitizer report ends the process, a broken invariant aborts: either
// fails the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_target.h"

namespace {

std::map<std::string, fuzz_fn> &targets()
{
    static std::map<std::string, fuzz_fn> all;
    return all;
}

std::vector<std::filesystem::path> corpus_files(const std::string &name)
{
    std::vector<std::filesystem::path> files;
    const std::filesystem::path dir = std::filesystem::path(QS_FUZZ_CORPUS_DIR) / name;
    if (std::filesystem::is_directory(dir))
        for (const auto &entry : std::filesystem::directory_iterator(dir))
            if (entry.is_regular_file())
                files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

TEST(FuzzCorpus, EveryTargetReplaysItsCorpus)
{
    ASSERT_FALSE(targets().empty());
    for (const auto &[name, fn] : targets()) {
        const auto files = corpus_files(name);
        EXPECT_FALSE(files.empty()) << "no corpus for " << name;
        for (const auto &file : files) {
            std::ifstream in(file, std::ios::binary);
            const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
            SCOPED_TRACE(file.string());
            // A copy of exactly the input's size, so that AddressSanitizer
            // sees a read past its end.
            std::vector<uint8_t> input(bytes);
            fn(input.data(), input.size());
        }
    }
}

TEST(FuzzCorpus, EveryCorpusHasItsTarget)
{
    for (const auto &entry : std::filesystem::directory_iterator(QS_FUZZ_CORPUS_DIR))
        EXPECT_TRUE(targets().count(entry.path().filename().string())) << entry.path();
}

} // namespace

bool fuzz_register(const char *name, fuzz_fn fn)
{
    return targets().emplace(name, fn).second;
}
