// Damaged TIFF, PCX and DCX files: every outcome of the readers is 0 or
// -8002, a failure leaves no file, and nothing outside their buffers is
// touched (this file also runs in a build with AddressSanitizer, with a
// larger corpus in CI: SKIPMAIL_MUTATION_FILES).
#include "fax/apf_file.h"
#include "image_input_helpers.h"
#include "serial/ad_except.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>

namespace {

// Headers, directories and tables are hit more often than image data.
std::size_t Position(const TSeedFiles::File& seed, std::mt19937& rng, std::size_t size)
{
    auto pick = [&](std::size_t n) { return n == 0 ? 0 : rng() % n; };
    if (rng() % 3 == 0)
        return pick(std::min(size, seed.DataBegin + 16));
    if (rng() % 2 == 0 && seed.DataEnd < size)
        return seed.DataEnd + pick(size - seed.DataEnd);
    return pick(size);
}

TEST(ImageInputMutation, DamagedFilesGiveResultCodes)
{
    TScratch dir;
    const TSeedFiles seeds(dir);
    const char* env = std::getenv("SKIPMAIL_MUTATION_FILES");
    const int files = env ? std::atoi(env) : 500;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(10);
    const std::string in = dir.Path("damaged.img"), apf = dir.Path("damaged.apf");
    std::mt19937 rng(20240611);
    int round = 0, converted = 0;
    for (; round < files && std::chrono::steady_clock::now() < deadline; ++round) {
        const auto& seed = seeds.Files[static_cast<std::size_t>(round) % seeds.Files.size()];
        WriteFile(in, Mutate(seed.Bytes, rng,
                             [&](std::size_t size) { return Position(seed, rng, size); }));
        const bool fine = rng() % 2;
        const auto options = static_cast<uint16_t>(rng() % 8); // doubling, halving, centring
        const int rc = ConvertImage(seed.Kind, in, apf, fine, rng() % 2 * 50, options);
        ASSERT_TRUE(rc == 0 || rc == AdErr::ecBadGraphicsFormat) << seed.Name << " " << rc;
        TFaxHeaderRec h;
        if (rc == 0) {
            ASSERT_EQ(ApfReadHeader(apf, h), 0);
            ASSERT_GE(h.PageCount, 1);
            ++converted;
            std::filesystem::remove(apf);
        } else {
            ASSERT_FALSE(std::filesystem::exists(apf)) << seed.Name;
        }
    }
    std::printf("%d damaged files read, %d of them converted\n", round, converted);
}

} // namespace
