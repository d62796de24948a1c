// CSV text of a recording: layout, encoding and the number format.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "core/record/CsvExport.h"
#include "tests/record/RecordTestSupport.h"

namespace tav {
namespace {

std::string G(double v)
{
    char buf[kMaxGChars];
    return std::string(buf, FormatG(buf, v));
}

std::string Printf(double v)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

std::string Export(const std::vector<uint8_t> &packets)
{
    test::ScratchFolder scratch;
    std::string path = scratch.Path() + "/out.csv";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(WriteTransientCsv(fd, packets.data(), uint32_t(packets.size())), 0);
    ::close(fd);
    auto bytes = test::ReadFile(path);
    return std::string(bytes.begin(), bytes.end());
}

TEST(CsvExport, TwoPacketsGiveAHeaderAnd232Lines)
{
    auto packets = test::MakePackets(7, 26667.0f, 2);
    packets.resize(packets.size() + 1000);  // a partial packet is not exported
    std::string text = Export(packets);
    // GBK: "X" then 轴 (D6 E1) 加 (BC D3) 速 (CB D9) 度 (B6 C8).
    EXPECT_EQ(text.substr(0, 9), "X\xD6\xE1\xBC\xD3\xCB\xD9\xB6\xC8");
    EXPECT_EQ(text.substr(0, TransientCsvHeader().size()), TransientCsvHeader());
    size_t crlf = 0, lf = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        lf += text[i] == '\n';
        crlf += text[i] == '\n' && i > 0 && text[i - 1] == '\r';
    }
    EXPECT_EQ(lf, 233u);
    EXPECT_EQ(crlf, 233u);
    // 0.5 g, a hundred-thousandth of a g, -2 g, 26667 Hz.
    std::string line = "0.5,1e-05,-2,26667\r\n";
    EXPECT_EQ(text.substr(TransientCsvHeader().size(), line.size()), line);
    EXPECT_EQ(text.size(), TransientCsvHeader().size() + 232 * line.size());
}

TEST(CsvExport, EmptyRecordingGivesTheHeaderOnlyAndWriteFailuresAreReturned)
{
    EXPECT_EQ(Export({}), TransientCsvHeader());
    EXPECT_EQ(TransientCsvHeader().substr(TransientCsvHeader().size() - 2), "\r\n");

    int full = ::open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    auto packets = test::MakePackets(7, 26667.0f, 3);
    EXPECT_EQ(WriteTransientCsv(full, packets.data(), uint32_t(packets.size())), ENOSPC);
    ::close(full);
}

TEST(CsvExport, NumbersAreExactlyWhatPrintfGPrints)
{
    const double edges[] = {0.0, -0.0, 0.5, 26667, 1e-5, 1e-4, 9.99999e-5, 0.000123456, 123456, 999999, 999999.5,
                            1e6, 1234567, 1.5e-45, -1.17549435e-38, 3.4028235e38, -3.4028235e38,
                            std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                            std::nan(""), -std::nan(""), std::numeric_limits<double>::denorm_min(),
                            std::numeric_limits<double>::max(), 1e-300, 0.1, 2.5, 1e100,
                            // exact ties at the sixth digit, some carrying into the next power
                            1234565, 1234575, 9999995, 999999.5, 0.125, 1.5625e-2, 9.5367431640625e-7, 100000,
                            99999.95, 1e-4f, 1e-5f, 9.99999e-5f, 123456.5, 0.00048828125};
    for (double v : edges)
        EXPECT_EQ(G(v), Printf(v)) << v;
    EXPECT_EQ(G(0.5), "0.5");
    EXPECT_EQ(G(26667), "26667");
    EXPECT_EQ(G(1e-5), "1e-05");
    EXPECT_EQ(G(-std::numeric_limits<double>::infinity()), "-inf");

    // Every kind of float the sensors could send: random bit patterns cover
    // subnormals, infinities and NaNs with any payload and sign.
    std::mt19937 rng(20240305);
    int mismatches = 0;
    for (int i = 0; i < 3000000 && mismatches < 10; ++i) {
        uint32_t bits = rng();
        float f;
        std::memcpy(&f, &bits, 4);
        std::string a = G(f), b = Printf(f);
        if (a != b) {
            ADD_FAILURE() << "bits " << std::hex << bits << ": " << a << " vs " << b;
            ++mismatches;
        }
    }
    // Doubles too (the exact path is taken for far exponents).
    for (int i = 0; i < 500000 && mismatches < 10; ++i) {
        uint64_t bits = (uint64_t(rng()) << 32) | rng();
        double d;
        std::memcpy(&d, &bits, 8);
        if (G(d) != Printf(d)) {
            ADD_FAILURE() << G(d) << " vs " << Printf(d);
            ++mismatches;
        }
    }
    std::uniform_real_distribution<double> exponent(-30.0, 30.0);
    for (int i = 0; i < 500000 && mismatches < 10; ++i) {
        double d = std::pow(10.0, exponent(rng)) * (i % 2 ? -1 : 1);
        if (G(d) != Printf(d)) {
            ADD_FAILURE() << G(d) << " vs " << Printf(d);
            ++mismatches;
        }
    }
    // And plain accelerations in g, where rounding at the sixth digit matters.
    std::uniform_real_distribution<float> g(-20.0f, 20.0f);
    for (int i = 0; i < 1000000 && mismatches < 10; ++i) {
        float f = g(rng);
        if (G(f) != Printf(f)) {
            ADD_FAILURE() << G(f) << " vs " << Printf(f);
            ++mismatches;
        }
    }
}

}  // namespace
}  // namespace tav
