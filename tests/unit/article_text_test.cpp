#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <thread>

#include "device/archive.h"
#include "device/plu.h"
#include "link/velko_comm.h"
#include "sim_support.h"

namespace velko::test {
namespace {

TEST(ArticleRecord, HoldsItsFieldsAtTheirBindingOffsetsLittleEndian) {
    ArticleRecord r;
    std::memset(&r, 0xEE, sizeof r);
    std::memcpy(r.code, "12345678901234", 15);
    std::memcpy(r.name, "ABC", 4);
    r.price = 0x01020304;
    r.flag = 1;
    r.group = -2;
    r.quantityCounter = -1;
    r.valueCounter = 0x0A0B0C0D;
    const auto* b = reinterpret_cast<const uint8_t*>(&r);
    EXPECT_EQ(sizeof r, 48u);
    EXPECT_EQ(b[0], '1');
    EXPECT_EQ(b[14], 0);
    EXPECT_EQ(b[15], 'A');
    EXPECT_EQ(b[18], 0);
    EXPECT_EQ(hexOf(Bytes(b + 34, b + 40)), "04 03 02 01 01 FE");
    EXPECT_EQ(hexOf(Bytes(b + 40, b + 48)), "FF FF FF FF 0D 0C 0B 0A");
}

std::string bytes(std::initializer_list<uint8_t> list) {
    return std::string(list.begin(), list.end());
}

TEST(Names, TravelToTheDeviceAsUpperCaseSevenBitText) {
    EXPECT_EQ(VELKOComm::encodeName(""), "");
    EXPECT_EQ(VELKOComm::decodeName(""), "");
    // Łódź
    EXPECT_EQ(VELKOComm::encodeName(bytes({0xA3, 0xF3, 0x64, 0x9F}).c_str()),
              bytes({0x29, 0x5D, 0x44, 0x27}));
    EXPECT_EQ(VELKOComm::decodeName(bytes({0x29, 0x5D, 0x44, 0x27}).c_str()),
              bytes({0xA3, 0xD3, 0x44, 0x8F}));
    EXPECT_EQ(VELKOComm::encodeName("Chleb zytni 0.5kg, (nowy)!"), "CHLEB ZYTNI 0.5KG, (NOWY)!");
    // Both cases of every Polish letter, and the device's character back to the capital.
    const uint8_t upper[] = {0x8C, 0x8F, 0xA3, 0xA5, 0xAF, 0xC6, 0xCA, 0xD1, 0xD3};
    const uint8_t lower[] = {0x9C, 0x9F, 0xB3, 0xB9, 0xBF, 0xE6, 0xEA, 0xF1, 0xF3};
    const char device[] = "^')$_[(\\]";
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(VELKOComm::encodeName(bytes({upper[i]}).c_str()), std::string(1, device[i]));
        EXPECT_EQ(VELKOComm::encodeName(bytes({lower[i]}).c_str()), std::string(1, device[i]));
        EXPECT_EQ(VELKOComm::decodeName(std::string(1, device[i]).c_str()), bytes({upper[i]}));
    }
    // Bytes outside the table pass unchanged, to be refused by the frame check.
    EXPECT_EQ(VELKOComm::encodeName(bytes({0xE9, 0x01}).c_str()), bytes({0xE9, 0x01}));
    // A parenthesis the host wrote comes back as the letter it stands for.
    EXPECT_EQ(VELKOComm::decodeName(VELKOComm::encodeName("a(b)").c_str()),
              bytes({'A', 0xCA, 'B', 0xA3}));
    std::string out = "old";
    VELKOComm::encodeName("abcdef", 3, out);
    EXPECT_EQ(out, "ABC");
}

TEST(Plu, ParsesOneToFourteenDigitsNotAllZero) {
    const struct {
        const char* text;
        bool ok;
        const char* formatted;
    } cases[] = {
        {"5", true, "00000000000005"},
        {"1234", true, "00000000001234"},
        {"12345678901234", true, "12345678901234"},
        {"00000000000123", true, "00000000000123"},
        {"", false, nullptr},
        {"0", false, nullptr},
        {"000", false, nullptr},
        {"00000000000000", false, nullptr},
        {"123456789012345", false, nullptr},
        {"-5", false, nullptr},
        {"+5", false, nullptr},
        {" 5", false, nullptr},
        {"5 ", false, nullptr},
        {"1.5", false, nullptr},
        {"12A", false, nullptr},
    };
    for (const auto& c : cases) {
        Plu plu;
        EXPECT_EQ(plu.parse(c.text), c.ok) << c.text;
        if (c.ok) {
            EXPECT_STREQ(plu.format(), c.formatted) << c.text;
        }
    }
    Plu fresh;
    EXPECT_STREQ(fresh.format(), "00000000000000");
    Plu full;
    ASSERT_TRUE(full.parse("12345678901234"));
    EXPECT_EQ(hexOf(Bytes(full.bytes(), full.bytes() + 7)), "12 34 56 78 90 12 34");
}

TEST(Plu, FormatSharesOneBufferAmongAllValuesOfAThreadAndNoneWithOtherThreads) {
    Plu a, b;
    ASSERT_TRUE(a.parse("1"));
    ASSERT_TRUE(b.parse("2"));
    const char* first = a.format();
    const char* second = b.format();
    EXPECT_EQ(first, second);
    EXPECT_STREQ(first, "00000000000002");

    // Jobs on two lines format codes at the same time; neither sees the other's digits.
    std::atomic<int> wrong{0};
    auto formatMany = [&wrong](const char* code, const char* expected) {
        Plu plu;
        plu.parse(code);
        for (int i = 0; i < 200000; ++i) wrong += std::strcmp(plu.format(), expected) != 0;
    };
    std::thread other(formatMany, "11111111111111", "11111111111111");
    formatMany("22222222222222", "22222222222222");
    other.join();
    EXPECT_EQ(wrong, 0);
}

TEST(Plu, SerializesAsItsSevenBytesThroughABufferedArchive) {
    Plu plu;
    ASSERT_TRUE(plu.parse("1234"));
    Bytes stored;
    int flushes = 0;
    {
        Archive out(
            [&](const uint8_t* b, size_t n) {
                stored.insert(stored.end(), b, b + n);
                ++flushes;
            },
            3);
        plu.serialize(out);
    }
    EXPECT_EQ(hexOf(stored), "00 00 00 00 00 12 34");
    EXPECT_EQ(flushes, 3);  // 3 + 3 + 1

    size_t at = 0;
    Archive in(
        [&](uint8_t* b, size_t capacity) {
            size_t n = std::min(capacity, stored.size() - at);
            std::memcpy(b, stored.data() + at, n);
            at += n;
            return n;
        },
        2);
    Plu loaded;
    loaded.serialize(in);
    EXPECT_STREQ(loaded.format(), "00000000001234");
}

TEST(Plu, IsRegisteredOnceAndCanBeMadeFromItsName) {
    EXPECT_EQ(Plu::registerType(), Plu::registerType());
    const RuntimeType* type = RuntimeType::find("Plu");
    ASSERT_NE(type, nullptr);
    EXPECT_EQ(type->schema, 1u);
    EXPECT_EQ(type->base, &SerialObject::rootType);
    std::unique_ptr<SerialObject> made(createObject("Plu"));
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->runtimeType(), type);
    EXPECT_STREQ(static_cast<Plu*>(made.get())->format(), "00000000000000");
    EXPECT_EQ(createObject("NoSuchType"), nullptr);
}

}  // namespace
}  // namespace velko::test
